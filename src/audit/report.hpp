// SPDX-License-Identifier: MIT
// The audit's two forms: a screen of aligned lines, and one JSON object.
#pragma once

#include <string>
#include <string_view>

#include "audit/audit.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

// One English sentence with the finding's figures.
std::string finding_message(Finding finding, const Measurement& m, const Verdict& v);

// The command line that applies the suggested rate: psrate [--resync] [--past-end] FILE RATE,
// the file name quoted for a POSIX shell where it needs it.
std::string fix_command(std::string_view path, const Verdict& v);

void put_report(OutBuffer& out, std::string_view path, const Measurement& m, const Verdict& v);
void put_json_report(OutBuffer& out, std::string_view path, const Measurement& m, const Verdict& v);

}  // namespace psrate
