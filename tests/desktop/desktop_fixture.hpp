#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "desktop/desktop_entry.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

// Sets or clears environment variables for one test and restores the old values afterwards.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) apply(name, value);
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = ::getenv(name.c_str());
    if (!saved_.contains(name)) saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    apply(name, value);
  }

 private:
  static void apply(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

inline std::filesystem::path make_executable(const std::filesystem::path& file) {
  write_file(file, "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(file, std::filesystem::perms::owner_all);
  return file;
}

// A data root in a temporary directory, an executable bootstrap outside it, and a shortcut
// directory; XDG_DATA_HOME points into the same directory so no real menu is touched.
struct DataRootFixture {
  TempDir temp;
  std::filesystem::path bootstrap = make_executable(temp / "opt/bin/trelk-bootstrap");
  std::filesystem::path data_root = temp / "data";
  std::filesystem::path shortcuts = temp / "shortcuts";
  ScopedEnv xdg{"XDG_DATA_HOME", (temp / "xdg").string()};

  DataRootFixture() {
    std::filesystem::create_directories(data_root);
    std::filesystem::create_directories(shortcuts);
  }
  DesktopShortcut shortcut(const std::string& name, const std::string& game = {}) const {
    return DesktopShortcut{bootstrap, data_root, game, name};
  }
};

// desktop-file-validate must find no error (hints are fine).
inline void expect_valid_entry(const std::filesystem::path& file) {
  const Outcome result = run_program("/usr/bin/desktop-file-validate", {file.string()}, {});
  EXPECT_EQ(result.status, 0) << file << "\n" << result.out << result.err;
  EXPECT_EQ((result.out + result.err).find("error:"), std::string::npos) << file << "\n" << result.out << result.err;
}

}  // namespace trelk::test
