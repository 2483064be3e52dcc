#include "errors_util.h"

namespace eu {

std::string system_text(DWORD code) {
  char buffer[300] = {};
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, buffer,
                      sizeof buffer, NULL))
    return std::string();
  std::string text = buffer;
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

void wsa_set_last_error(int code) {
  typedef void(WINAPI * SetFn)(int);
  HMODULE ws2 = LoadLibraryA("ws2_32.dll");
  SetFn set = ws2 ? (SetFn)(void*)GetProcAddress(ws2, "WSASetLastError") : NULL;
  if (set) set(code);
}

}  // namespace eu
