#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "desktop/desktop_entry.hpp"

namespace trelk {

// One desktop entry this installation wrote, with the digest of its exact bytes.
struct OwnedShortcut {
  std::filesystem::path path;
  std::string game;
  std::string name;
  std::string sha256;
};

struct ShortcutRemoval {
  std::vector<std::filesystem::path> removed;
  std::vector<std::filesystem::path> preserved;  // changed by the user; left in place
};

// Creates the entry and records it; an unchanged recorded entry is left alone (created = false).
json create_owned_native_shortcut(const DesktopShortcut& shortcut, const std::filesystem::path& destination);
// The recorded rows, read without the lock.
std::vector<OwnedShortcut> owned_native_shortcuts(const std::filesystem::path& data_root);
// Removes recorded entries that are still exactly as written and forgets all rows.
ShortcutRemoval remove_owned_native_shortcuts(const std::filesystem::path& data_root);
// Recreates recorded entries whose files are gone; returns their paths.
std::vector<std::filesystem::path> restore_owned_native_shortcuts(const std::filesystem::path& data_root,
                                                                  const std::filesystem::path& bootstrap);

namespace desktop {

std::filesystem::path ledger_path(const std::filesystem::path& root);
std::filesystem::path ledger_lock(const std::filesystem::path& root);
std::vector<OwnedShortcut> read_ledger(const std::filesystem::path& root);
void write_ledger(const std::filesystem::path& root, const std::vector<OwnedShortcut>& rows);
bool unchanged(const OwnedShortcut& row);
OwnedShortcut create_recorded(const DesktopShortcut& shortcut, const std::filesystem::path& destination);

}  // namespace desktop

}  // namespace trelk
