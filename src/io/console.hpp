// SPDX-License-Identifier: MIT
// Text for the console: Shift_JIS bytes, or the same text in UTF-8 where the
// system reads UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace psrate {

enum class Encoding : uint8_t { ShiftJis, Utf8 };

enum class Text : uint8_t {
  InvalidArguments,  // 引数が不正です。
  CannotOpen,        // 読み取りファイルが開けませんでした。
  SeekError,         // シークエラーです
  ReadError,         // 読み取りエラーです
  WriteError,        // 書き込みエラーです
  Progress,          // 処理:
  Bytes,             // バイト
  Count,
};

inline constexpr std::array<std::string_view, size_t(Text::Count)> kShiftJisTexts{
    "\x88\xf8\x90\x94\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\x81\x42\n",
    "\x93\xc7\x82\xdd\x8e\xe6\x82\xe8\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8a\x4a\x82\xaf"
    "\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81\x42\n",
    "\x83\x56\x81\x5b\x83\x4e\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n",
    "\x93\xc7\x82\xdd\x8e\xe6\x82\xe8\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n",
    "\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n",
    "\x8f\x88\x97\x9d: ",
    "\x83\x6f\x83\x43\x83\x67",
};

inline constexpr std::array<std::string_view, size_t(Text::Count)> kUtf8Texts{
    "引数が不正です。\n",
    "読み取りファイルが開けませんでした。\n",
    "シークエラーです\n",
    "読み取りエラーです\n",
    "書き込みエラーです\n",
    "処理: ",
    "バイト",
};

constexpr std::string_view text(Text t, Encoding e) {
  return (e == Encoding::Utf8 ? kUtf8Texts : kShiftJisTexts)[size_t(t)];
}

inline constexpr int kStdout = 1;
inline constexpr int kStderr = 2;

// True when fd is a terminal (a console on Windows).
bool is_terminal(int fd);

// UTF-8 when the locale's character set is UTF-8, whatever fd is (on Windows:
// only a console whose output code page is 65001); else Shift_JIS.
Encoding console_encoding(int fd);

}  // namespace psrate
