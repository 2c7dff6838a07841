// Paths to the shared sample files and small file helpers for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kd::test {

// Absolute path of a file under the shared testdata folder
// ("codec/png/pngsuite_basn0g01.png"). A missing file fails the current
// test: the folder is always present where the tests run.
std::string testdataPath(const std::string& relative);

// Contents of a shared testdata file (empty and a test failure if missing).
std::vector<uint8_t> readTestdata(const std::string& relative);

// Every regular file of a testdata folder ("codec/png"), sorted by name,
// as paths relative to the testdata root. Fails the test when empty.
std::vector<std::string> listTestdata(const std::string& folder);

std::vector<uint8_t> readFileBytes(const std::string& path);

}  // namespace kd::test
