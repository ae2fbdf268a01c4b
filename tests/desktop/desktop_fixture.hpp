#pragma once

#include <gtest/gtest.h>
#include <filesystem>
#include <string>

#include "desktop/desktop_entry.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

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

}  // namespace trelk::test
