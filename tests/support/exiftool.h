// Running exiftool (and other programs) from the differential tests.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kd::test {

// What a shell command writes to standard output (empty if it cannot start).
std::string commandOutput(const std::string& cmd);

// Standard output of `exiftool OPTIONS 'path'...`; its complaints are dropped.
std::string exiftoolOutput(const std::string& options, const std::vector<std::string>& paths);

// The "-Group:Name=value" lines of `exiftool -args OPTIONS`, per file, in the
// order exiftool prints them, as ("Group:Name", "value") pairs.
using ExiftoolArgs = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;
ExiftoolArgs exiftoolArgs(const std::string& options, const std::vector<std::string>& paths);

}  // namespace kd::test
