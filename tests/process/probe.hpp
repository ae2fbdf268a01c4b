#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/error.hpp"

namespace trelk::test {

inline std::filesystem::path probe_path() { return std::filesystem::path(TRELK_TEST_PROGRAMS) / "process_probe"; }

inline std::vector<std::string> read_lines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& candidate : lines) {
    if (candidate == line) return true;
  }
  return false;
}

// Lines that begin with prefix, with the prefix removed.
inline std::vector<std::string> lines_with(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& line : lines) {
    if (line.starts_with(prefix)) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

// Generous: the machine running the tests may be heavily loaded.
inline bool wait_for_line(const std::filesystem::path& file, const std::string& line,
                          std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (has_line(read_lines(file), line)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Sets or unsets one environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value == nullptr) {
      ::unsetenv(name_.c_str());
    } else {
      ::setenv(name_.c_str(), value, 1);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Runs f and checks that it throws Error with exactly this code and message.
template <class F>
void expect_error(F&& f, const std::string& code, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "expected " << code << ": " << message;
  } catch (const trelk::Error& error) {
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(std::string(error.what()), message);
  }
}

}  // namespace trelk::test
