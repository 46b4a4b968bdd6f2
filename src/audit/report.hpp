// SPDX-License-Identifier: MIT
// The audit's two forms: a screen of aligned lines, and one JSON object.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "audit/audit.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

// One English sentence with the finding's figures.
std::string finding_message(Finding finding, const Measurement& m, const Verdict& v);

// A word for a POSIX shell: as it is when it needs no quotes, else in single quotes.
std::string posix_shell_word(std::string_view s);
// A word for cmd.exe: in double quotes when it holds a blank or one of &|<>^%().
std::string windows_shell_word(std::string_view s);

// The command line that applies the suggested rate: psrate [--resync] [--past-end] FILE RATE,
// the file name quoted for the shell of the system psrate runs on where it needs it.
std::string fix_command(std::string_view path, const Verdict& v);

// The ffmpeg command that remuxes FILE for the profile into FILE-remux.mpg
// (the extension of FILE replaced).
std::string remux_command(std::string_view path, const ProfileRow& row);

// The command that applies the verdict: psrate --fix FILE for a rewrite, the
// remux command for a remux; empty otherwise.
std::string verdict_command(std::string_view path, const Verdict& v);

void put_report(OutBuffer& out, std::string_view path, const Measurement& m, const Verdict& v);
struct JoinedFiles;
// The files of the joined stream whose reports follow (nullptr for one file):
// offsets name their file too, the report lists the files, and the commands
// name every part.
void set_report_parts(const JoinedFiles* parts);

// Words on lines of at most 80 columns.
void put_wrapped_text(OutBuffer& out, std::string_view text);

// The verdict and the command that applies it, as the report ends.
void put_verdict_lines(OutBuffer& out, std::string_view path, const Verdict& v);

nlohmann::ordered_json json_report(std::string_view path, const Measurement& m, const Verdict& v);
// One JSON object, indented, ASCII, and a line feed.
void put_json(OutBuffer& out, const nlohmann::ordered_json& j);
void put_json_report(OutBuffer& out, std::string_view path, const Measurement& m, const Verdict& v);

}  // namespace psrate
