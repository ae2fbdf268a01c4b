#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "desktop/desktop_entry.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

// The Error a call throws; fails the test when it throws nothing.
template <typename F>
Error thrown(F&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "none");
}

// Sets or clears an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

inline std::filesystem::path make_executable(const std::filesystem::path& file) {
  write_file(file, "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(file, std::filesystem::perms::owner_all);
  return file;
}

// A shortcut environment in a temporary directory: an executable bootstrap,
// a data root, and a menu directory that XDG_DATA_HOME points at.
struct DesktopFixture {
  TempDir temp;
  std::filesystem::path bootstrap = make_executable(temp / "opt/bin/trelk-bootstrap");
  std::filesystem::path data_root = temp / "data";
  std::filesystem::path shortcuts = temp / "shortcuts";
  ScopedEnv xdg{"XDG_DATA_HOME", (temp / "xdg").string()};

  DesktopFixture() {
    std::filesystem::create_directories(data_root);
    std::filesystem::create_directories(shortcuts);
  }
  DesktopShortcut shortcut(const std::string& name, const std::string& game = {}) const {
    return DesktopShortcut{bootstrap, data_root, game, name};
  }
};

struct CommandResult {
  int status = -1;
  std::string output;
};

// Runs a shell command and collects its standard output and error.
inline CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t count = 0;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, count);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// desktop-file-validate must find no error (hints about categories are fine).
inline void expect_valid_entry(const std::filesystem::path& file) {
  const auto result = run_command("desktop-file-validate " + shell_quote(file.string()));
  EXPECT_EQ(result.status, 0) << file << "\n" << result.output;
  EXPECT_EQ(result.output.find("error:"), std::string::npos) << file << "\n" << result.output;
}

}  // namespace trelk::test
