#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace trelk::test {

struct Outcome {
  int status = -1;  // exit status, or 128 + N for a signal
  std::string out;
  std::string err;
};

// A program started with a clean environment (only the given variables), its standard streams
// captured to files in a private directory. The destructor kills and reaps it if still running, then removes them.
class Started {
 public:
  Started(const std::filesystem::path& program, const std::vector<std::string>& arguments,
          const std::map<std::string, std::string>& environment);
  ~Started();
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;

  pid_t pid() const { return pid_; }
  Outcome wait();

 private:
  TempDir directory_;
  pid_t pid_ = -1;
};

Outcome run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const std::map<std::string, std::string>& environment);

}  // namespace trelk::test
