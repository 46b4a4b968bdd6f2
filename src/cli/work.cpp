// SPDX-License-Identifier: MIT
#include "cli/work.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <string_view>

namespace psrate {
namespace {

WorkUnit unit_of(std::vector<std::string> paths, std::string name) {
  WorkUnit u;
  u.paths = std::move(paths);
  u.name = std::move(name);
  return u;
}

std::string lower(std::string_view s) {
  std::string l(s);
  for (char& c : l) c = char(std::tolower(static_cast<unsigned char>(c)));
  return l;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool stream_file_name(std::string_view name) {
  static constexpr std::array<std::string_view, 6> kExtensions{".mpg", ".mpeg", ".vob",
                                                               ".m2p", ".mpv",  ".dat"};
  std::string l = lower(name);
  for (std::string_view e : kExtensions)
    if (l.size() > e.size() && l.compare(l.size() - e.size(), e.size(), e) == 0) return true;
  return false;
}

// VTS_nn_m.VOB, any case: nn and m, else -1.
bool title_set_part(std::string_view name, int& title, int& part) {
  std::string l = lower(name);
  if (l.size() != 12 || l.compare(0, 4, "vts_") != 0 || l[6] != '_' || l.compare(8, 4, ".vob") != 0)
    return false;
  if (!std::isdigit(static_cast<unsigned char>(l[4])) ||
      !std::isdigit(static_cast<unsigned char>(l[5])) ||
      !std::isdigit(static_cast<unsigned char>(l[7])))
    return false;
  title = (l[4] - '0') * 10 + (l[5] - '0');
  part = l[7] - '0';
  return true;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) return dir + name;
  return dir + "/" + name;
}

// The regular files directly in a folder, sorted by name.
bool folder_files(const std::string& dir, std::vector<std::string>& names, FileError& error) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    error = {FileErrorKind::System, static_cast<unsigned long>(errno)};
    return false;
  }
  while (const dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && is_regular(join_path(dir, name))) names.push_back(name);
  }
  closedir(d);
  // by name, case aside (VTS_01_2.VOB before vts_01_3.vob), then as stored
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    std::string la = lower(a), lb = lower(b);
    return la != lb ? la < lb : a < b;
  });
  return true;
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() && slash != std::string::npos) return base_name(path.substr(0, slash));
  return base;
}

bool dvd_folder(const std::string& dir, const std::vector<std::string>& names) {
  if (lower(base_name(dir)) == "video_ts") return true;
  int title = 0, part = 0;
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return title_set_part(n, title, part); });
}

// A title set by its first part and the number of its last:
// "VIDEO_TS/VTS_01_1..3.VOB".
// Parts 1 to m without a gap; else the parts are named one by one.
std::string title_set_name(const std::vector<std::string>& paths) {
  const std::string& first = paths.front();
  std::string last = base_name(paths.back());
  int title = 0, part = 0;
  bool whole = title_set_part(base_name(first), title, part) && part == 1 &&
               title_set_part(last, title, part) && size_t(part) == paths.size();
  if (paths.size() == 1 || !whole) return joined_name(paths);
  return first.substr(0, first.size() - 4) + ".." + last[7] + first.substr(first.size() - 4);
}

// VIDEO_TS.VOB and each VTS_nn_0.VOB alone, VTS_nn_1.VOB .. VTS_nn_9.VOB joined.
void title_sets(const std::string& dir, const std::vector<std::string>& names,
                std::vector<WorkUnit>& units) {
  for (const std::string& n : names) {
    int title = 0, part = 0;
    if (lower(n) == "video_ts.vob" || (title_set_part(n, title, part) && part == 0)) {
      units.push_back(unit_of({join_path(dir, n)}, join_path(dir, n)));
      continue;
    }
    if (!title_set_part(n, title, part) || part == 0) continue;
    int last_title = -1, last_part = 0;
    if (!units.empty() && !units.back().paths.empty())
      title_set_part(base_name(units.back().paths.back()), last_title, last_part);
    if (part > 1 && last_title == title && last_part >= 1)
      units.back().paths.push_back(join_path(dir, n));
    else
      units.push_back(unit_of({join_path(dir, n)}, ""));
  }
  for (WorkUnit& u : units)
    if (u.name.empty()) u.name = title_set_name(u.paths);
}

}  // namespace

std::string joined_name(const std::vector<std::string>& paths) {
  if (paths.size() == 1) return paths[0];
  if (paths.size() <= 3) {
    std::string name = paths[0];
    for (size_t i = 1; i < paths.size(); ++i) name += " + " + paths[i];
    return name;
  }
  return paths.front() + " + ... + " + paths.back() + " (" + std::to_string(paths.size()) +
         " files)";
}

void expand_operand(const char* operand, std::vector<WorkUnit>& units) {
  std::string dir = operand;
  if (!is_directory(dir)) {
    units.push_back(unit_of({dir}, dir));
    return;
  }
  std::vector<std::string> names;
  FileError error;
  if (!folder_files(dir, names, error)) {
    WorkUnit failed = unit_of({dir}, dir);
    failed.failed = true;
    failed.error = error;
    units.push_back(failed);
    return;
  }
  size_t before = units.size();
  if (dvd_folder(dir, names)) {
    title_sets(dir, names, units);
  } else {
    for (const std::string& n : names)
      if (stream_file_name(n)) units.push_back(unit_of({join_path(dir, n)}, join_path(dir, n)));
  }
  if (units.size() == before) {  // said, not passed over
    WorkUnit empty = unit_of({dir}, dir);
    empty.failed = true;
    empty.empty_folder = true;
    units.push_back(empty);
  }
}

WorkUnit joined_unit(const std::vector<WorkUnit>& units) {
  WorkUnit all;
  for (const WorkUnit& u : units) {
    if (u.failed && !all.failed) {
      all.failed = true;
      all.error = u.error;
    }
    all.paths.insert(all.paths.end(), u.paths.begin(), u.paths.end());
  }
  all.name = joined_name(all.paths);
  return all;
}

bool open_unit(OpenedUnit& o, const WorkUnit& unit, OpenMode mode) {
  o.is_joined = unit.paths.size() > 1;
  if (!o.is_joined) {
    o.failed_path = unit.paths[0];
    if (!file_open(o.file, unit.paths[0].c_str(), mode)) return false;
    o.source = file_source(o.file);
    return true;
  }
  if (!join_files(o.joined, unit.paths, mode)) {
    o.failed_path = unit.paths[o.joined.failed_part];
    return false;
  }
  o.source = joined_source(o.joined);
  return true;
}

const FileError& unit_error(const OpenedUnit& o) {
  return o.is_joined ? o.joined.error : o.file.error;
}

const std::string& unit_failed_path(OpenedUnit& o) {
  if (o.is_joined && o.joined.failed_part < o.joined.parts.size())
    o.failed_path = o.joined.parts[o.joined.failed_part].path;
  return o.failed_path;
}

}  // namespace psrate
