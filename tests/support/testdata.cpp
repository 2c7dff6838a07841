#include "support/testdata.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kd::test {
namespace {

namespace fs = std::filesystem;

const fs::path kBundled = fs::path(KELDRA_SOURCE_DIR) / "tests" / "data";

// Failures are reported only from inside a running test: a parameter
// generator runs while the program lists its tests, where a printed failure
// would be taken for a test name.
bool inTest() { return ::testing::UnitTest::GetInstance()->current_test_info() != nullptr; }

std::string corpusNote() {
  const std::optional<std::string> corpus = corpusDir();
  return corpus ? "the corpus " + *corpus : std::string("no corpus configured");
}

}  // namespace

std::optional<std::string> corpusDir() {
  std::string dir = KELDRA_CORPUS_DIR;
  if (dir.empty()) {
    const char* env = std::getenv("KELDRA_CORPUS_DIR");
    if (env != nullptr) dir = env;
  }
  if (dir.empty()) return std::nullopt;
  return dir;
}

std::string testdataPath(const std::string& relative) {
  std::error_code ec;
  fs::path bundled = kBundled / relative;
  if (fs::is_regular_file(bundled, ec)) return bundled.string();
  if (const std::optional<std::string> corpus = corpusDir()) {
    fs::path inCorpus = fs::path(*corpus) / relative;
    if (fs::is_regular_file(inCorpus, ec)) return inCorpus.string();
  }
  if (inTest()) {
    ADD_FAILURE() << "missing testdata file " << relative << " (neither in " << kBundled.string()
                  << " nor in " << corpusNote() << ")";
  }
  return bundled.string();
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

std::vector<uint8_t> readTestdata(const std::string& relative) {
  return readFileBytes(testdataPath(relative));
}

namespace {

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<fs::path> roots = {kBundled};
  if (const std::optional<std::string> corpus = corpusDir()) roots.emplace_back(*corpus);
  std::vector<std::string> out;
  for (const fs::path& root : roots) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root / folder, ec)) {
      if (entry.is_regular_file()) out.push_back(folder + "/" + entry.path().filename().string());
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

std::vector<std::string> listTestdata(const std::string& folder) {
  std::vector<std::string> out = filesIn(folder);
  if (out.empty() && inTest()) {
    ADD_FAILURE() << "no testdata files under " << folder << " (neither in " << kBundled.string()
                  << " nor in " << corpusNote() << ")";
  }
  return out;
}

std::vector<std::string> listTestdata(std::initializer_list<const char*> folders) {
  std::vector<std::string> out;
  std::string names;
  for (const char* folder : folders) {
    for (std::string& f : filesIn(folder)) out.push_back(std::move(f));
    names += std::string(names.empty() ? "" : ", ") + folder;
  }
  if (out.empty() && inTest()) {
    ADD_FAILURE() << "no testdata files under " << names << " (neither in " << kBundled.string()
                  << " nor in " << corpusNote() << ")";
  }
  return out;
}

std::string FileTestName::operator()(const ::testing::TestParamInfo<std::string>& info) const {
  std::string name = info.param;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

::testing::AssertionResult toolInstalled(const std::string& program, const std::string& package) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  constexpr fs::perms kAnyExec =
      fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::error_code ec;
    const fs::path candidate = fs::path(dir) / program;
    if (fs::is_regular_file(candidate, ec) &&
        (fs::status(candidate, ec).permissions() & kAnyExec) != fs::perms::none) {
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure()
         << "peer program " << program << " is not installed (Debian package " << package
         << "; scripts/deps.sh installs it)";
}

}  // namespace kd::test
