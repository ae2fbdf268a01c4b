#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace trelk {

// The bootstrap's own command line: where the data lives, which surface the
// launcher starts in, and what is forwarded to it.
struct BootstrapEntry {
  std::filesystem::path data_dir;
  std::filesystem::path desktop_entry;  // empty unless a desktop entry is to be created
  std::string interface = "gui";        // "gui" or "cli"
  std::string game;                     // a validated identifier, or empty
  std::string name;                     // desktop-entry name, defaulted when an entry is created
  std::vector<std::string> forwarded;
};

// The command line the launcher's GUI accepts.
struct GuiEntry {
  std::filesystem::path data_dir;
  std::string launch;  // a validated identifier, or empty
  bool one_frame = false;
  bool uninstall = false;
};

// Both parsers are strict: unknown or repeated options and missing values fail
// with "usage". Arguments exclude the program name.
BootstrapEntry parse_bootstrap_entry(const std::vector<std::string>& arguments,
                                     const std::filesystem::path& default_data_dir);
GuiEntry parse_gui_entry(const std::vector<std::string>& arguments, const std::filesystem::path& default_data_dir);

}  // namespace trelk
