// Input files of the benchmarks, found the way the tests find theirs: the
// copy bundled in tests/data/ first, then the corpus directory given with
// -DKELDRA_CORPUS_DIR=DIR (some inputs, such as the large photograph, live
// only there). A missing input stops the program with its name.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

inline std::vector<std::filesystem::path> dataRoots() {
  std::vector<std::filesystem::path> roots = {std::filesystem::path(KELDRA_SOURCE_DIR) / "tests" /
                                              "data"};
  if (std::string(KELDRA_CORPUS_DIR).size() > 0) roots.emplace_back(KELDRA_CORPUS_DIR);
  return roots;
}

// Absolute path of an input ("codec/jpeg/irs_cat.jpg").
inline std::string dataPath(const std::string& relative) {
  for (const auto& root : dataRoots()) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(root / relative, ec)) return (root / relative).string();
  }
  std::fprintf(stderr, "missing benchmark input %s (not in tests/data/%s)\n", relative.c_str(),
               std::string(KELDRA_CORPUS_DIR).empty() ? "; configure with -DKELDRA_CORPUS_DIR=DIR"
                                                      : " nor in the corpus");
  std::exit(1);
}

// Every file of a folder ("metadata/gps") in tests/data/ and the corpus,
// sorted by name, each name once.
inline std::vector<std::string> dataFolder(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& root : dataRoots()) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(root / folder, ec)) {
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::vector<std::string> paths;
  for (const std::string& n : names) paths.push_back(dataPath(folder + "/" + n));
  return paths;
}

}  // namespace bench
