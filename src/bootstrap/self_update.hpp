#pragma once

#include <filesystem>
#include <string_view>

#include "snapshot/manifest.hpp"

namespace trelk {

// Every path of the bootstrap's self-update, derived from the installation's data root.
struct BootstrapPaths {
  explicit BootstrapPaths(const std::filesystem::path& root);

  std::filesystem::path root;
  std::filesystem::path image;          // native/bootstrap
  std::filesystem::path record;         // native/bootstrap.json
  std::filesystem::path staging;        // native/bootstrap-update
  std::filesystem::path partial;        // native/bootstrap-update.partial
  std::filesystem::path update_record;  // native/bootstrap-update.json
  std::filesystem::path downloads;      // native/bootstrap-downloads
  std::filesystem::path rejected;       // native/bootstrap-update.rejected
  std::filesystem::path lock;           // native/bootstrap-update.lock
  std::filesystem::path old_files;      // native/bootstrap-old-files
};

// Set to a non-empty value, the process is only proving that its image starts.
inline constexpr std::string_view bootstrap_start_check_variable = "TRELK_BOOTSTRAP_START_CHECK";
inline constexpr std::size_t bootstrap_update_record_limit = 524288;

// Moves a staged bootstrap image into place, proves it starts, and commits it or puts every
// file back and rejects the update. Ordinary failures are absorbed: the caller always goes
// on with whatever image is installed afterwards.
void apply_pending_bootstrap_update(const std::filesystem::path& executable_path);
bool bootstrap_update_pending(const std::filesystem::path& root);

// Shared with staging: a bootstrap update record parsed and checked against the update contract
// ("invalid_manifest" when its JSON is malformed), and the removal of ".old" leftovers (the marker
// stays until all of them are gone and their removal is on disk). Only where no update has moved a file:
// while an applied update is pending, the ".old" files are the only copies of the old image.
SnapshotManifest parse_update(const std::string& text);
void remove_old_files(const BootstrapPaths& paths);

}  // namespace trelk
