// Error descriptions and the raising functions.
#include <string.h>

#include "zorvel_int.h"
// After the lean windows.h of the internal header.
#include <winsock2.h>

// Set at load: the socket texts are string resources of this module.
HMODULE g_module;

enum { TEXT_SIZE = 4096 };  // caller's text and description of a raise

static const char s_no_description[] = "No description.";

// Cuts a system text after its last full stop, closing parenthesis or any
// byte from '.' up; drops the line break and punctuation behind it. Returns
// false when no character qualifies (the text is left as it was).
static bool trim_description(char* text) {
  for (size_t i = strlen(text); i > 0; --i) {
    unsigned char c = (unsigned char)text[i - 1];
    if (c >= '.' || c == ')') {
      text[i] = 0;
      return true;
    }
  }
  return false;
}

// Asks the system's message table for code's text; true when text came.
// A text with inserts ("%1") comes as it stands, markers included. On
// failure the buffer is left empty, whatever the call wrote into it.
static bool system_text(DWORD code, char* buffer, DWORD size) {
  memset(buffer, 0, size);
  DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     NULL, code, 0, buffer, size, NULL);
  buffer[n ? size - 1 : 0] = 0;
  return n != 0;
}

int resource_text(DWORD id, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = 0;
  int n = LoadStringA(g_module, (UINT)(id & 0xFFFF), buffer, size);
  if (n <= 0) {
    buffer[0] = 0;
    return 0;
  }
  buffer[size - 1] = 0;
  return n;
}

const char* os_error_text(DWORD code) {
  char* description = ctx_place()->description;
  if (system_text(code, description, PLACE_FIELD) &&
      trim_description(description))
    return description;
  if (resource_text(code, description, PLACE_FIELD) > 0) {
    description[PLACE_FIELD - 1] = 0;
    return description;
  }
  return s_no_description;
}

// ------------------------------------------------------------ raising

// Place recorded by the thread: base name of the file and the line.
static const char* place_file(void) { return base_name(ctx_place()->file); }
static int place_line(void) { return ctx_place()->line; }

void __cdecl kxraise(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CError raised(CError::arg_list, 0, place_line(), place_file(), format, args);
  va_end(args);
  throw raised;
}

void __cdecl kxraisec(unsigned long code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CError raised(CError::arg_list, code, place_line(), place_file(), format,
                args);
  va_end(args);
  throw raised;
}

void __cdecl kxraiseos(const char* format, ...) {
  DWORD last_error = GetLastError();
  COSError raised(0, place_line(), place_file());
  char text[TEXT_SIZE];
  va_list args;
  va_start(args, format);
  str_vformat(text, sizeof text, format, args);
  va_end(args);

  char description[TEXT_SIZE];
  system_text(last_error, description, sizeof description);
  trim_description(description);
  str_format(raised.message, sizeof raised.message,
             "(%s at %d): %s OS error description is '%s'.", raised.file,
             raised.line, text, description);
  throw raised;
}

void __cdecl kxraisesoc(const char* format, ...) {
  DWORD code = (DWORD)WSAGetLastError();
  CSocError raised(code, place_line(), place_file());
  char text[TEXT_SIZE];
  va_list args;
  va_start(args, format);
  str_vformat(text, sizeof text, format, args);
  va_end(args);

  char socket_text[TEXT_SIZE];
  resource_text(code, socket_text, sizeof socket_text);
  str_format(raised.message, sizeof raised.message, "(%s at %d): %s %s.",
             raised.file, raised.line, text, socket_text);
  throw raised;
}
