// resolve_path's joiner. Input: a flags byte (1: the executable's path is
// known, 2: resolve in place), the executable's path, NUL, the name.
#include "fuzz_input.h"
#include "text.h"

namespace {

// The result is a front part of the executable's path followed by an end
// part of the name, with at most the executable's directory in front.
bool joins(const std::string& result, const std::string& exe,
           const std::string& src) {
  for (size_t k = 0; k <= result.size() && k <= exe.size(); ++k) {
    if (result.compare(0, k, exe, 0, k) != 0) break;
    const size_t tail = result.size() - k;
    if (tail <= src.size() &&
        result.compare(k, tail, src, src.size() - tail, tail) == 0)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool known = data[0] & 1;
  const bool in_place = data[0] & 2;
  std::vector<std::string> t = fuzz_texts(data + 1, size - 1, 2);
  const std::string exe = known ? t[0] : std::string();
  const std::string& src = t[1];
  if (in_place && src.size() >= PATH_SIZE) return 0;

  ExactText exe_copy(exe);
  ExactText src_copy(src);
  char* dst = (char*)malloc(PATH_SIZE);  // exactly a path field
  memset(dst, '#', PATH_SIZE);
  if (in_place) memcpy(dst, src.c_str(), src.size() + 1);
  const char* name = in_place ? dst : src_copy.data;
  int result = path_build(dst, name, known ? exe_copy.data : nullptr);

  FUZZ_CHECK(result == 0 || result == 1);
  if (result == 0) {
    const size_t length = strnlen(dst, PATH_SIZE);
    FUZZ_CHECK(length < PATH_SIZE);
    const std::string r(dst, length);
    FUZZ_CHECK(joins(r, exe, src));
    if (src.size() >= 2 && src[1] == ':') FUZZ_CHECK(r == src);
    if (!src.empty() && src[0] != '.' && src[1] != ':') {
      // A plain name stays whole behind the directory.
      FUZZ_CHECK(r.size() >= src.size() &&
                 r.compare(r.size() - src.size(), src.size(), src) == 0);
      const std::string dir = r.substr(0, r.size() - src.size());
      FUZZ_CHECK(dir.empty() || dir.back() == '\\');
    }
    if (!src.empty() && src[0] == '.' && src[1] != ':')
      FUZZ_CHECK(!r.empty() && r.find('\\') != std::string::npos);
  } else {
    // Only a name that does not fit, or a dotted one, is refused.
    FUZZ_CHECK(!src.empty());
  }
  free(dst);
  return 0;
}
