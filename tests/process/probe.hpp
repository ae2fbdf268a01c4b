#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// Generous: the machine running the tests may be heavily loaded.
inline bool wait_for_line(const std::filesystem::path& file, const std::string& line) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < end) {
    if (has_line(read_lines(file), line)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Sets (or, with nullptr, unsets) one environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    value ? ::setenv(name_.c_str(), value, 1) : ::unsetenv(name_.c_str());
  }
  ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace trelk::test
