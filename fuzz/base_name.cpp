// base_name of any text: the part after the last separator.
#include "fuzz_input.h"
#include "text.h"

static bool is_separator(char c) { return c == '\\' || c == '/' || c == ':'; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExactText path(fuzz_texts(data, size, 1)[0]);
  const size_t length = strlen(path.data);
  const char* name = base_name(path.data);
  // Inside its argument, at its end or just after a separator, and holding
  // none itself.
  FUZZ_CHECK(name >= path.data && name <= path.data + length);
  FUZZ_CHECK(name == path.data || is_separator(name[-1]));
  for (const char* p = name; *p; ++p) FUZZ_CHECK(!is_separator(*p));
  return 0;
}
