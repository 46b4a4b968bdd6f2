// SPDX-License-Identifier: MIT
// Replays fuzz inputs through the fuzz target's checks without libFuzzer:
//   psrate_replay FILE|DIR...
// Every file (directories are read one level deep) is checked through the
// 1 MiB window, the fuzzers' small one and the smallest one the pass takes.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "check.hpp"
#include "ps/walk.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (fs::is_directory(argv[i], ec)) {
      for (const fs::directory_entry& e : fs::directory_iterator(argv[i], ec))
        if (e.is_regular_file() && e.path().filename().string()[0] != '.')
          files.push_back(e.path());
    } else if (fs::is_regular_file(argv[i], ec)) {
      files.emplace_back(argv[i]);
    } else {
      std::fprintf(stderr, "psrate_replay: no such file or directory: %s\n", argv[i]);
      return 1;
    }
  }
  std::sort(files.begin(), files.end());
  int passed = 0, failed = 0;
  for (const fs::path& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    std::string breach;
    size_t window = 0;
    for (size_t w : {psrate::kWindowSize, size_t(512), psrate::kMinWindowSize}) {
      breach = psrate::fuzz::check_input(bytes.data(), bytes.size(), w);
      window = w;
      if (!breach.empty()) break;
    }
    if (breach.empty()) {
      ++passed;
    } else {
      ++failed;
      std::printf("FAILED %s (window %zu): %s\n", path.c_str(), window, breach.c_str());
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
