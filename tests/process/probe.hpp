#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

inline std::filesystem::path probe_path() { return std::filesystem::path(TRELK_TEST_PROGRAMS) / "process_probe"; }

inline std::vector<std::string> read_lines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Lines that begin with prefix, with the prefix removed.
inline std::vector<std::string> lines_with(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& line : lines)
    if (line.starts_with(prefix)) found.push_back(line.substr(prefix.size()));
  return found;
}

inline bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline bool wait_for_line(const std::filesystem::path& file, const std::string& line) {
  return eventually([&] { return has_line(read_lines(file), line); }, std::chrono::seconds(60));
}

}  // namespace trelk::test
