// Real files for tests, and the peer programs differential tests call.
//
// Relative names follow one layout ("codec/png/pngsuite_basn0g01.png"). A
// name resolves to the copy bundled in tests/data/ first, then to the
// optional corpus directory: the wider collection the differential tests
// also walk when one is configured (-DKELDRA_CORPUS_DIR=DIR at configure
// time, or the KELDRA_CORPUS_DIR environment variable when the tests run).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace kd::test {

// The corpus directory, when one is configured.
std::optional<std::string> corpusDir();

// Absolute path of a test file. A name found neither in tests/data/ nor in
// the corpus fails the running test.
std::string testdataPath(const std::string& relative);

// Contents of a test file (empty and a test failure if missing).
std::vector<uint8_t> readTestdata(const std::string& relative);

// Every regular file of a folder ("codec/png") in tests/data/ and in the
// corpus, as sorted relative names without repeats. An empty list fails the
// running test; called outside a test (a parameter generator during test
// listing) it never reports anything.
std::vector<std::string> listTestdata(const std::string& folder);

// The same over several folders, in the order given; a folder may be empty
// (one that only the corpus fills), the whole list may not.
std::vector<std::string> listTestdata(std::initializer_list<const char*> folders);

// Name generator for test suites over file names ("codec/png/a-b.png" gives
// "codec_png_a_b_png"): gtest takes letters, digits and '_' only.
struct FileTestName {
  std::string operator()(const ::testing::TestParamInfo<std::string>& info) const;
};

std::vector<uint8_t> readFileBytes(const std::string& path);

// Success when `program` is on the PATH; otherwise a failure naming the
// Debian package that provides it:
//   ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
::testing::AssertionResult toolInstalled(const std::string& program, const std::string& package);

}  // namespace kd::test
