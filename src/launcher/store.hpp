#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/locks.hpp"
#include "launcher/manifest.hpp"

namespace trelk {

// Constructor tags: a store that must already exist, and a light view used to start a launcher.
struct ExistingStore {};
struct LaunchView {};

inline constexpr std::uint64_t launcher_record_limit = 32768;
inline constexpr std::uint64_t launcher_manifest_limit = 524288;

// The store of installed launcher versions under <data root>/launcher. It owns the layout, reads its record
// strictly (never rewriting one it does not understand) and writes it atomically with a bumped generation.
// It caches nothing: every operation reads the record again. Writers hold owner() from load() to save().
class LauncherStore {
 public:
  explicit LauncherStore(const std::filesystem::path& root);
  LauncherStore(const std::filesystem::path& root, bool skip_install_check);
  LauncherStore(const std::filesystem::path& root, ExistingStore);
  LauncherStore(const std::filesystem::path& root, LaunchView);

  static std::unique_ptr<LauncherStore> existing(const std::filesystem::path& root);
  static std::unique_ptr<LauncherStore> for_launch(const std::filesystem::path& root);

  // The validated record; the fresh record (generation 0) when none was saved. Never writes.
  json load() const;
  // Writes a copy of record with generation + 1. Does not validate again; start from a fresh load().
  void save(json record) const;
  // The record plus `installed`: whether a version is active.
  json status() const;
  // The writer lock, retried for up to 2 seconds before "busy" propagates.
  std::unique_ptr<FileLock> owner() const;
  // The stored manifest of a reference, checked against its digest, build and platform.
  LauncherManifest manifest(const json& reference) const;
  std::filesystem::path payload(const json& reference) const;
  // Installs the first launcher version of a new store from the initial package and makes it the
  // candidate; a store that holds any state is refused before anything is written.
  json seed_initial(std::string_view manifest_text, const std::filesystem::path& archive, const Progress& progress);
  // Extracts and verifies a version in private staging, then commits its manifest and tree under
  // launcher/versions/<sha>; after a failure nothing of it is left. Finishes or clears an earlier,
  // interrupted installation of the same version. The caller holds owner() and records the version.
  void install_version(const json& reference, std::string_view manifest_text, const SnapshotManifest& snapshot,
                       const std::filesystem::path& archive, const Progress& progress) const;
  // The same with the tree coming from extract, which fills the fresh staging directory it is given with the
  // version's verified tree (the expansion of a delta's result stream).
  void install_version(const json& reference, std::string_view manifest_text, const SnapshotManifest& snapshot,
                       const std::function<void(const std::filesystem::path& staging)>& extract,
                       const Progress& progress) const;

  // The record, or empty when it cannot be used and the caller must fall back.
  std::optional<json> selection() const;
  // The intact installed version with the latest directory time, whatever the record says.
  json fallback_active() const;
  // The same version with the manifest checked while choosing it, so a caller need not read it again.
  struct VerifiedVersion {
    json reference;
    LauncherManifest manifest;
  };
  VerifiedVersion fallback_version() const;

  // Startup candidate protocol; record changes need owner() held by the caller.
  json begin_candidate() const;
  std::map<std::string, std::string> health_environment(const json& attempt, std::string_view interface) const;
  std::filesystem::path startup_lease_path(const json& attempt) const;
  std::filesystem::path health_path(const json& attempt) const;
  std::filesystem::path startup_ack_path(const json& attempt) const;
  void confirm_candidate(const json& attempt, const json& health, std::uint64_t pid, std::string_view interface) const;
  void reject_candidate(const json& attempt, std::string_view problem) const;
  void recover_attempt() const;
  // The lease on a version's content: shared while it runs, exclusive to change or remove it.
  std::unique_ptr<FileLock> version_guard(const json& reference, LockMode mode) const;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& directory() const { return launcher_; }
  // A path below the launcher directory, joined in portable mode so a linked component is refused.
  std::filesystem::path path(std::string_view relative) const;

 private:
  // The stored manifest named by its digest, checked against it and against this platform.
  LauncherManifest stored_manifest(const std::string& sha) const;

  std::filesystem::path root_;
  std::filesystem::path launcher_;
};

// Absolute, weakly canonical, lexically normal root rebuilt through safe_join.
std::filesystem::path normalize_data_root(const std::filesystem::path& root);

// Shape of a version reference: null, or a manifest digest and a build identifier.
void check_launcher_reference(const json& reference);
// A start-attempt nonce: exactly 32 characters 0-9, a-f.
void check_launcher_nonce(std::string_view nonce);
bool is_manifest_digest(std::string_view text);

// The installed version that contains an image (library-internal).
struct ManagedVersion {
  std::filesystem::path data_root;
  std::string digest;
};
std::optional<ManagedVersion> managed_version(const std::filesystem::path& image);
// Refuses an image that runs from the launcher staging area or from an unfinished or temporary copy.
void reject_staged_image(const std::filesystem::path& image);

}  // namespace trelk
