// Bounded text routines: every copy and every formatting into a field stops
// at the field's size minus one and terminates the text.
#include <stdio.h>
#include <string.h>

#include "zorvel_int.h"

size_t str_copy(char* dst, size_t size, const char* src) {
  size_t i = 0;
  if (size == 0) return 0;
  for (; i + 1 < size && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
  return i;
}

int str_vformat(char* dst, size_t size, const char* format, va_list args) {
  if (size == 0) return -1;
#if defined(_MSC_VER)
  int n = vsnprintf(dst, size, format, args);
  if (n < 0 || (size_t)n >= size) {
    dst[size - 1] = 0;
    return -1;
  }
  return n;
#else
  // The Microsoft runtime leaves an exactly fitting text unterminated.
  int n = _vsnprintf(dst, size - 1, format, args);
  dst[size - 1] = 0;
  if (n < 0) return -1;
  dst[n] = 0;
  return n;
#endif
}

int str_format(char* dst, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = str_vformat(dst, size, format, args);
  va_end(args);
  return n;
}

// Windows reads '/' as a separator too; build paths often use it.
const char* base_name(const char* path) {
  if (!path) return "";
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  return name;
}
