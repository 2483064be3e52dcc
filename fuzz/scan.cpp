// scan's driver with any format and source. Input: one byte whose bits make
// destinations null, the format, NUL, the source. The driver runs on exact
// heap copies, as scan makes them, without scan's guard: a fault here is a
// finding, not a result of 1.
#include <algorithm>

#include "fuzz_input.h"
#include "text.h"

namespace {

enum { kDestinations = 16 };

void scan_variadic(char* src, char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  scan_fields(src, fmt, &args);
  va_end(args);
}

void scan_into(char* src, char* fmt, char** d) {
  scan_variadic(src, fmt, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8],
                d[9], d[10], d[11], d[12], d[13], d[14], d[15]);
}

std::string without_blanks(const char* text) {
  std::string out;
  for (; *text; ++text)
    if (!fuzz_is_blank(*text)) out += *text;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const unsigned nulls = data[0];
  std::vector<std::string> t = fuzz_texts(data + 1, size - 1, 2);
  const std::string& fmt = t[0];
  const std::string& src = t[1];
  // Every conversion takes a destination, and each begins at a '%'.
  if (std::count(fmt.begin(), fmt.end(), '%') > kDestinations) return 0;

  ExactText fmt_copy(fmt);
  ExactText src_copy(src);
  // Each destination holds the longest field the source can give, or a
  // double; nothing may be stored past it.
  const size_t room = std::max(src.size() + 1, sizeof(double));
  char* d[kDestinations];
  for (int i = 0; i < kDestinations; ++i)
    d[i] = (i < 8 && (nulls >> i & 1)) ? nullptr : (char*)calloc(room, 1);

  scan_into(src_copy.data, fmt_copy.data, d);

  // The temporary terminators are all put back; the source loses blanks
  // only, never other text.
  FUZZ_CHECK(fmt == fmt_copy.data);
  FUZZ_CHECK(without_blanks(src_copy.data) == without_blanks(src.c_str()));
  for (int i = 0; i < kDestinations; ++i) {
    if (!d[i]) continue;
    // Longer than a double: only a text conversion stores that, and a field
    // is a piece of the source.
    if (strnlen(d[i], room) > sizeof(double)) {
      FUZZ_CHECK(strnlen(d[i], room) < room);
      FUZZ_CHECK(src.find(d[i]) != std::string::npos);
    }
    free(d[i]);
  }
  return 0;
}
