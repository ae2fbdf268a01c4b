// Shared pieces of the benchmark programs: a scratch directory, timing and a shell runner.
#pragma once

#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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

// Time and peak resident memory of one run.
struct Run {
  double seconds = 1e300;
  long peak_kib = 0;
};

// The work runs in a child process of its own, so that its peak memory is its own.
template <typename Work>
Run in_child(Work&& work) {
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      work();
      ::_exit(0);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "bench: %s\n", error.what());
      ::_exit(1);
    }
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("a measured run failed");
  return {std::chrono::duration<double>(Clock::now() - start).count(), usage.ru_maxrss};
}

// A file of size bytes (a whole number of MiB) of a fixed pattern; each block also goes to consume.
inline void write_pattern_file(const fs::path& file, std::uint64_t size,
                               const std::function<void(std::string_view)>& consume = {}) {
  std::ofstream out(file, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 24);
  for (std::uint64_t written = 0; written < size; written += block.size()) {
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    if (consume) consume(std::string_view(block.data(), block.size()));
  }
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace trelk::bench
