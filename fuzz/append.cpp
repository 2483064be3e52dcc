// The bounded append of a line: "%s" of any length at any cursor. Input: two
// bytes for the cursor's offset in the message buffer, one for the format,
// then the argument.
#include "fuzz_input.h"
#include "text.h"

namespace {

const char kOverflow[] = "!!! MAX_BUF_SIZE is exceeded";
const char* const kFormats[] = {"%s", "%s\n", "[%s]"};
const char* const kAround[][2] = {{"", ""}, {"", "\n"}, {"[", "]"}};

int format_at(char* cursor, size_t room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = msg_format_at(cursor, room, format, args);
  va_end(args);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t offset = (data[0] | (size_t)data[1] << 8) % (MESSAGE_SIZE + 1);
  const unsigned which = data[2] % 3;
  const std::string arg = fuzz_texts(data + 3, size - 3, 1)[0];

  char* buffer = (char*)malloc(MESSAGE_SIZE);  // exactly the line buffer
  memset(buffer, '#', MESSAGE_SIZE);
  char* cursor = buffer + offset;
  const size_t room = MESSAGE_SIZE - offset;
  const int n = format_at(cursor, room, kFormats[which], arg.c_str());

  const size_t limit = room < APPEND_LIMIT ? room : APPEND_LIMIT;
  for (size_t i = 0; i < offset; ++i) FUZZ_CHECK(buffer[i] == '#');
  for (size_t i = limit; i < room; ++i) FUZZ_CHECK(cursor[i] == '#');
  if (room == 0) {
    FUZZ_CHECK(n == 0);
  } else {
    FUZZ_CHECK(n >= 0 && (size_t)n < limit);
    FUZZ_CHECK(cursor[n] == 0);
    const std::string got(cursor, n);
    const std::string whole = kAround[which][0] + arg + kAround[which][1];
    if (whole.size() < limit)
      FUZZ_CHECK(got == whole);
    else if (sizeof kOverflow - 1 < limit)
      FUZZ_CHECK(got == kOverflow);
    else
      FUZZ_CHECK(got.empty());
  }
  free(buffer);
  return 0;
}
