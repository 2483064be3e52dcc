#include "errors_util.h"

#include <gtest/gtest.h>

namespace eu {

std::string system_text(DWORD code) {
  char buffer[300] = {};
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, buffer,
                      sizeof buffer, NULL))
    return std::string();
  std::string text = buffer;
  const std::string end = ".\r\n";
  if (text.size() < end.size() ||
      text.compare(text.size() - end.size(), end.size(), end) != 0) {
    ADD_FAILURE() << "system text of " << code << " ends otherwise: " << text;
    return text;
  }
  return text.substr(0, text.size() - 2);
}

void wsa_set_last_error(int code) {
  typedef void(WINAPI * SetFn)(int);
  HMODULE ws2 = LoadLibraryA("ws2_32.dll");
  SetFn set = ws2 ? (SetFn)(void*)GetProcAddress(ws2, "WSASetLastError") : NULL;
  if (set) set(code);
}

}  // namespace eu
