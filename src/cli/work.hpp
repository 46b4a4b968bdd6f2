// SPDX-License-Identifier: MIT
// The units of work of a run over several files: each FILE operand, each
// stream file of a folder, each title set of a DVD folder (its VOB files
// joined), or, with --join, all of them as one stream.
#pragma once

#include <string>
#include <vector>

#include "io/byte_source.hpp"
#include "io/joined_source.hpp"
#include "io/stream_file.hpp"

namespace psrate {

struct WorkUnit {
  std::vector<std::string> paths;  // one file, or the parts of one stream in order
  std::string name;                // as the reports show it
  bool failed = false;             // a folder that could not be read: `error` says why
  bool empty_folder = false;       // ... or one without a stream file
  FileError error;
};

// The operand as units of work: a file is one; a folder its stream files
// (.mpg .mpeg .vob .m2p .mpv .dat, any case), sorted by name; a DVD folder
// (named VIDEO_TS, or holding VTS_nn_m.VOB files) its title sets, each
// VTS_nn_1.VOB to VTS_nn_9.VOB joined, and each VTS_nn_0.VOB and
// VIDEO_TS.VOB on its own.
void expand_operand(const char* operand, std::vector<WorkUnit>& units);

// All units as one stream, in the order given (--join).
WorkUnit joined_unit(const std::vector<WorkUnit>& units);

// The name of a stream of several files: "A + B + C", or "A + ... + Z (N files)".
std::string joined_name(const std::vector<std::string>& paths);

// A unit opened as a byte source: one file, or its parts joined.
struct OpenedUnit {
  StreamFile file;
  JoinedFiles joined;
  bool is_joined = false;
  ByteSource source;
  std::string failed_path;  // the file a failure concerns
};

// False with failed_path and the error set when a file cannot be opened.
bool open_unit(OpenedUnit& opened, const WorkUnit& unit, OpenMode mode);
// The error of the last failed call on the unit's files.
const FileError& unit_error(const OpenedUnit& opened);
// The file the last failure concerns.
const std::string& unit_failed_path(OpenedUnit& opened);

}  // namespace psrate
