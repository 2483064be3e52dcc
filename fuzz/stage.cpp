// The CR LF stager with any bytes, NULs included, of any length.
#include "fuzz_input.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = (char*)malloc(size ? size : 1);
  memcpy(text, data, size);
  char* stage = (char*)malloc(STAGE_SIZE);  // exactly the staging area
  const size_t n = msg_stage(text, text + size, stage);
  FUZZ_CHECK(n < STAGE_SIZE);
  const std::string staged(stage, n);

  // The whole line with a CR before every LF, and where each pair's CR went.
  std::string full;
  std::vector<bool> pair_cr;
  for (size_t i = 0; i < size; ++i) {
    if (text[i] == '\n') {
      full += '\r';
      pair_cr.resize(full.size());
      pair_cr.back() = true;
    }
    full += text[i];
  }
  pair_cr.resize(full.size() + 1);

  if (staged != full) {
    // Cut, only when too long; ended with CR LF; before that end the line as
    // written, never a CR torn from its LF.
    FUZZ_CHECK(full.size() > STAGE_SIZE - 2);
    FUZZ_CHECK(n >= 2 && staged.compare(n - 2, 2, "\r\n") == 0);
    const bool own_end = full.compare(0, n, staged) == 0;
    const size_t body = own_end ? n : n - 2;
    FUZZ_CHECK(full.compare(0, body, staged, 0, body) == 0);
    FUZZ_CHECK(own_end || body == 0 || !pair_cr[body - 1]);
  }
  free(stage);
  free(text);
  return 0;
}
