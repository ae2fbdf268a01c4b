#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace trelk {

// A request for a desktop entry that starts the stable bootstrap.
struct DesktopShortcut {
  std::filesystem::path bootstrap;
  std::filesystem::path data_root;
  std::string game_id;  // empty for a shortcut of the launcher itself
  std::string name;
};

// Validates the request and returns the complete entry text.
std::string linux_desktop_entry(const DesktopShortcut& shortcut);
// Writes a new entry at destination, never replacing anything; returns the creation record.
json create_linux_desktop_entry(const DesktopShortcut& shortcut, const std::filesystem::path& destination);
json create_native_shortcut(const DesktopShortcut& shortcut, const std::filesystem::path& destination);

std::filesystem::path linux_menu_directory(const std::string& home, const std::string& xdg_data_home);
// Reads HOME and XDG_DATA_HOME; an unset variable counts as empty.
std::filesystem::path linux_menu_directory();
std::filesystem::path linux_menu_entry(const std::filesystem::path& data_root, std::string_view game_id);

std::string native_shortcut_extension();
std::filesystem::path native_menu_directory();
std::filesystem::path native_menu_entry(const std::filesystem::path& data_root, std::string_view game_id);

namespace desktop {

// Desktop Entry string escape: backslashes doubled, spaces optionally as "\s".
std::string string_value(std::string_view text, bool escape_spaces);
// One Exec argument, quoted and escaped for both the Exec and the string rules.
std::string exec_argument(std::string_view argument);
// Bounded UTF-8 text without control characters.
void text(std::string_view value, std::size_t bound);
// Absolute, lexically normal, bounded path; returns it unchanged.
const std::filesystem::path& absolute_path(const std::filesystem::path& path);
// Walks path from its root without following links; returns the final entry's status.
std::filesystem::file_status ordinary_ancestors(const std::filesystem::path& path, bool directory);
// True inside launcher/versions or launcher/staging.
bool managed_launcher_ancestry(const std::filesystem::path& path);
// Component-wise: path equals root or lies below it.
bool within(const std::filesystem::path& path, const std::filesystem::path& root);

}  // namespace desktop

}  // namespace trelk
