// SPDX-License-Identifier: MIT
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <io.h>

#include "io/console.hpp"

namespace psrate {

bool is_terminal(int fd) {
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode;
  return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode);
}

// A pipe or a file gets Shift_JIS; a console shows the bytes in its output
// code page, so UTF-8 only when that page is 65001.
Encoding console_encoding(int fd) {
  if (!is_terminal(fd)) return Encoding::ShiftJis;
  return ::GetConsoleOutputCP() == CP_UTF8 ? Encoding::Utf8 : Encoding::ShiftJis;
}

}  // namespace psrate
