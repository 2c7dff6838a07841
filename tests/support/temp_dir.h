// A fresh temporary folder, removed with everything in it at the end of
// the test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace kd::test {

class TempDir {
 public:
  TempDir() {
    const std::string tmpl =
        (std::filesystem::temp_directory_path() / "keldra_test_XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (const char* made = mkdtemp(buf.data())) path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Entries in the folder.
  size_t count() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path_), {}));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace kd::test
