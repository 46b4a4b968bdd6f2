// SPDX-License-Identifier: MIT
#include <clocale>
#include <cstring>

#include <langinfo.h>
#include <unistd.h>

#include "io/console.hpp"

namespace psrate {

bool is_terminal(int fd) { return ::isatty(fd) != 0; }

// The locale's character set alone decides, wherever the text goes: a pipe into
// less or a log file is read on the same system as the terminal. The locale is
// loaded only when text in it is about to be written.
Encoding console_encoding(int) {
  static const bool utf8_locale = [] {
    std::setlocale(LC_CTYPE, "");
    return std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
  }();
  return utf8_locale ? Encoding::Utf8 : Encoding::ShiftJis;
}

}  // namespace psrate
