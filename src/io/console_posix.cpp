// SPDX-License-Identifier: MIT
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

#include "io/console.hpp"

namespace psrate {

bool is_terminal(int fd) { return ::isatty(fd) != 0; }

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The locale's character set, told from its name (language_territory.codeset@modifier)
// as the C library resolves it: LC_ALL, else LC_CTYPE, else LANG, the first one set.
// Read from the name, not with setlocale: loading the locale's tables would map
// and touch some 400 KiB for two words of text.
bool utf8_locale() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    name = std::getenv(variable);
    if (name != nullptr && *name != '\0') break;
  }
  std::string_view locale = name ? name : "";
  size_t dot = locale.find('.');
  if (dot == std::string_view::npos) return false;
  std::string_view codeset = locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
  std::string folded;
  for (char c : codeset)
    if (c != '-') folded += lower(c);
  return folded == "utf8";
}

}  // namespace

// The locale's character set alone decides, wherever the text goes: a pipe into
// less or a log file is read on the same system as the terminal.
Encoding console_encoding(int) {
  static const bool utf8 = utf8_locale();
  return utf8 ? Encoding::Utf8 : Encoding::ShiftJis;
}

}  // namespace psrate
