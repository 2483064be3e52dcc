// What the fuzz targets share: an input cut into texts, and a property
// check that stops the run with the property's text (libFuzzer then keeps
// the input as a crash artifact).
#ifndef ZORVEL_FUZZ_INPUT_H
#define ZORVEL_FUZZ_INPUT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#define FUZZ_CHECK(condition)                                                \
  do {                                                                       \
    if (!(condition)) {                                                      \
      fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, \
              __LINE__);                                                     \
      abort();                                                               \
    }                                                                        \
  } while (0)

// The input as count texts: each of the first count - 1 ends at a NUL byte,
// the last takes the rest up to a NUL. Missing texts are empty.
inline std::vector<std::string> fuzz_texts(const uint8_t* data, size_t size,
                                           size_t count) {
  std::vector<std::string> texts;
  const char* p = (const char*)data;
  const char* end = p + size;
  for (size_t i = 0; i < count; ++i) {
    const char* nul = (const char*)memchr(p, 0, (size_t)(end - p));
    const char* stop = nul ? nul : end;
    texts.emplace_back(p, stop);
    p = nul ? nul + 1 : end;
  }
  return texts;
}

// A heap copy of exactly the text and its terminator: the sanitizer sees a
// read or write one byte past it.
struct ExactText {
  char* data;
  explicit ExactText(const std::string& text)
      : data((char*)malloc(text.size() + 1)) {
    memcpy(data, text.c_str(), text.size() + 1);
  }
  ~ExactText() { free(data); }
  ExactText(const ExactText&) = delete;
  ExactText& operator=(const ExactText&) = delete;
};

inline bool fuzz_is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

#endif
