#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

struct UninstallOptions {
  bool remove_data = false;
  // How long to wait for launchers of the installation (such as the one that opened the uninstall window) to end.
  std::chrono::milliseconds release_wait{10000};
};

// What an uninstall did: paths removed, and paths left in place because someone changed them or they are not
// the installation's to remove.
struct UninstallReport {
  std::vector<std::filesystem::path> removed;
  std::vector<std::filesystem::path> changed;
  bool data_removed = false;
};

// Removes a native installation from its data root: the shortcuts recorded in its ledger that are still as
// written, the launcher store, the installed bootstrap and the installation's records and locks. Files of an
// inventory are removed only while they still match it. With remove_data, everything else under the data root
// (games, user data) goes too. Holds the installation and store locks exclusively throughout.
UninstallReport uninstall_installation(const std::filesystem::path& data_root, const UninstallOptions& options);
json uninstall_document(const UninstallReport& report);

// Removes the files of a tree that still match the inventory and then the directories left empty; returns what
// stays: changed files and files the inventory does not name.
std::vector<std::filesystem::path> retire_owned_tree(const std::filesystem::path& directory,
                                                     const std::map<std::string, PackageFile>& files);

// Recreates the recorded shortcuts that are gone; bootstrap empty means the installation's own bootstrap.
json repair_installation_shortcuts(const std::filesystem::path& data_root, const std::filesystem::path& bootstrap);

}  // namespace trelk
