#include "support/testdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kd::test {

std::string testdataPath(const std::string& relative) {
  std::string path = std::string(KELDRA_TESTDATA_DIR) + "/" + relative;
  EXPECT_TRUE(std::filesystem::is_regular_file(path)) << "missing testdata file " << path;
  return path;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

std::vector<uint8_t> readTestdata(const std::string& relative) {
  return readFileBytes(testdataPath(relative));
}

std::vector<std::string> listTestdata(const std::string& folder) {
  std::vector<std::string> out;
  std::filesystem::path root(KELDRA_TESTDATA_DIR);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root / folder, ec)) {
    if (entry.is_regular_file()) out.push_back(folder + "/" + entry.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  EXPECT_FALSE(out.empty()) << "no testdata files under " << (root / folder);
  return out;
}

}  // namespace kd::test
