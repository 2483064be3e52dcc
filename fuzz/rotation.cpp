// A profile entry against a slot's path: rotation_match and
// running_rotation_match with trim. Input:
// key, NUL, value, NUL, slot path.
#include <ctype.h>

#include "fuzz_input.h"
#include "text.h"

namespace {

// text is trimmed of original: only blanks were taken, at either end.
bool is_trimmed_of(const std::string& text, const std::string& original) {
  if (!text.empty() &&
      (fuzz_is_blank(text.front()) || fuzz_is_blank(text.back())))
    return false;
  size_t at = original.find(text);
  if (text.empty()) at = 0;
  if (at == std::string::npos) return false;
  for (size_t i = 0; i < original.size(); ++i) {
    bool inside = i >= at && i < at + text.size();
    if (!inside && !fuzz_is_blank(original[i])) return false;
  }
  return true;
}

std::string lower(std::string s) {
  for (char& c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string after_backslash(const std::string& s) {
  size_t slash = s.rfind('\\');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

}  // namespace

// running_rotation_match on the same entry: the same name and count, and a
// size only after a second comma.
static void check_running(const std::vector<std::string>& t) {
  ExactText key(t[0]);
  ExactText value(t[1]);
  int keep = 0x7fff1234;
  unsigned long long limit = 99;
  bool match =
      running_rotation_match(key.data, value.data, t[2].c_str(), &keep, &limit);
  FUZZ_CHECK(is_trimmed_of(key.data, t[0]));
  FUZZ_CHECK(is_trimmed_of(value.data, t[1]));
  if (!match) {
    FUZZ_CHECK(keep == 0x7fff1234 && limit == 99);
    return;
  }
  const std::string v = value.data;
  FUZZ_CHECK(lower(key.data) == "rotate_running");
  const size_t comma = v.find(',');
  FUZZ_CHECK(comma != std::string::npos);
  FUZZ_CHECK(keep == atoi(v.c_str() + comma + 1));
  FUZZ_CHECK(limit <= 1ULL << 62);
  if (v.find(',', comma + 1) == std::string::npos) FUZZ_CHECK(limit == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> t = fuzz_texts(data, size, 3);
  check_running(t);
  ExactText key(t[0]);
  ExactText value(t[1]);
  const std::string& path = t[2];
  const int untouched = 0x7fff1234;
  int keep = untouched;
  bool match = rotation_match(key.data, value.data, path.c_str(), &keep);

  FUZZ_CHECK(is_trimmed_of(key.data, t[0]));
  FUZZ_CHECK(is_trimmed_of(value.data, t[1]));
  std::string again = key.data;
  trim(&again[0]);
  FUZZ_CHECK(again == key.data);  // trimming twice changes nothing
  if (!match) {
    FUZZ_CHECK(keep == untouched);
    return 0;
  }
  // A match is a "rotate" entry whose name, before the first comma, has the
  // slot file's name at the start of its own, and a 16-bit count: the number
  // after the comma.
  const std::string v = value.data;
  FUZZ_CHECK(lower(key.data) == "rotate");
  FUZZ_CHECK(keep >= -32768 && keep <= 32767);
  FUZZ_CHECK(v.size() < ROTATION_NAME);
  const size_t comma = v.find(',');
  FUZZ_CHECK(comma != std::string::npos);
  FUZZ_CHECK(keep == atoi(v.c_str() + comma + 1));  // the count as written
  std::string name = v.substr(0, comma);
  trim(&name[0]);
  name = name.c_str();
  const std::string slot_name = lower(after_backslash(path));
  FUZZ_CHECK(
      lower(after_backslash(name)).compare(0, slot_name.size(), slot_name) ==
      0);
  return 0;
}
