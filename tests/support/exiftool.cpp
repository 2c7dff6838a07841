#include "support/exiftool.h"

#include <cstdio>

namespace kd::test {

std::string commandOutput(const std::string& cmd) {
  std::string out;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string exiftoolOutput(const std::string& options, const std::vector<std::string>& paths) {
  std::string cmd = "exiftool " + options;
  for (const std::string& p : paths) cmd += " '" + p + "'";
  return commandOutput(cmd + " 2>/dev/null");
}

ExiftoolArgs exiftoolArgs(const std::string& options, const std::vector<std::string>& paths) {
  const std::string out = exiftoolOutput("-args " + options, paths);
  ExiftoolArgs files;
  // With one file exiftool prints no "======== path" header.
  std::string current = paths.size() == 1 ? paths[0] : "";
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    if (line.rfind("======== ", 0) == 0) {
      current = line.substr(9);
      continue;
    }
    size_t eq = line.find('=');
    if (line.empty() || line[0] != '-' || eq == std::string::npos) continue;
    files[current].emplace_back(line.substr(1, eq - 1), line.substr(eq + 1));
  }
  return files;
}

}  // namespace kd::test
