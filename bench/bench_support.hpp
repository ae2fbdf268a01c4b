// Shared pieces of the benchmark programs: a scratch directory, timing and a shell runner.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace trelk::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A private scratch directory, removed with its contents on every path.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "trelk-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch directory");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

template <typename F>
double seconds(F&& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best of several runs: the figure least disturbed by the rest of the machine.
template <typename F>
double best_seconds(int rounds, F&& run) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) best = std::min(best, seconds(run));
  return best;
}

inline void shell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("command failed: " + command);
}

inline std::string quoted(const fs::path& path) {
  std::string text(1, '\'');
  text.append(path.string()).push_back('\'');
  return text;
}

}  // namespace trelk::bench
