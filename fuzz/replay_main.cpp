// Runs a fuzz target over every file of the directories given on the command
// line, so corpora and past crashers run as ordinary tests without libFuzzer.
//   X_fuzzer_replay CORPUS_DIR [CRASHERS_DIR...]
// The corpus directory must exist and hold at least one file: a replay of
// nothing would pass without testing anything. The other directories may be
// missing. A crash or sanitizer report fails the test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Replays every regular file under `dir`; returns how many there were.
size_t replay(const std::filesystem::path& dir) {
  size_t count = 0;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [CRASHERS_DIR...]\n", argv[0]);
    return 2;
  }
  const size_t corpus = replay(argv[1]);
  if (corpus == 0) {
    std::fprintf(stderr, "no inputs in the corpus directory %s\n", argv[1]);
    return 1;
  }
  size_t others = 0;
  for (int i = 2; i < argc; ++i) others += replay(argv[i]);
  std::printf("replayed %zu corpus inputs and %zu others\n", corpus, others);
  return 0;
}
