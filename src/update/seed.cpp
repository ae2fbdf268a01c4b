#include <filesystem>
#include <system_error>
#include <vector>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "launcher/manifest.hpp"
#include "launcher/store.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/storage.hpp"

namespace trelk {

namespace {

// The name itself, or a temporary file an atomic write of it left behind ("<name>.<id>.tmp").
bool own_name(const std::string& entry, const std::string& name) {
  return entry == name || (entry.starts_with(name + ".") && entry.ends_with(".tmp"));
}

// True when directory holds nothing but entries of the allowed name. An unreadable directory
// cannot be proven empty, so it counts as holding state.
bool holds_at_most(const std::filesystem::path& directory, const std::string& allowed) {
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error), end;
  for (; !error && it != end; it.increment(error))
    if (!own_name(it->path().filename().string(), allowed)) return false;
  return !error;
}

// Removes the temporary files an interrupted atomic write of name left in directory.
void remove_temporaries(const std::filesystem::path& directory, const std::string& name) {
  std::error_code error;
  std::vector<std::filesystem::path> found;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    const std::string entry = it->path().filename().string();
    if (entry != name && own_name(entry, name)) found.push_back(it->path());
  }
  for (const auto& path : found) std::filesystem::remove(path, error);
}

}  // namespace

// A version reaches launcher/versions only as a tree that was verified in private staging:
//
// | killed during                 | on disk                                  | next install of it          |
// |-------------------------------|------------------------------------------|-----------------------------|
// | extraction, verification      | staging/<sha> (never started from)       | removes it, starts over     |
// | manifest written              | manifests/<sha>.json (or its .tmp),      | removes both, starts over   |
// |                               | staging/<sha>                            |                             |
// | tree committed, not recorded  | manifests/<sha>.json, versions/<sha>     | verifies it, keeps it       |
//
// A start meanwhile sees no version, or a complete one through the fallback, which verifies it in full.
// Durability order: every extracted file and directory is synced, then the manifest, then the committed name
// (both parents synced), all before the store document names the version.
void LauncherStore::install_version(const json& reference, std::string_view manifest_text,
                                    const SnapshotManifest& snapshot, const std::filesystem::path& archive,
                                    const Progress& progress) const {
  install_version(
      reference, manifest_text, snapshot,
      [&](const std::filesystem::path& staging) { extract_snapshot(snapshot, archive, staging, progress, nullptr); },
      progress);
}

void LauncherStore::install_version(const json& reference, std::string_view manifest_text,
                                    const SnapshotManifest& snapshot,
                                    const std::function<void(const std::filesystem::path& staging)>& extract,
                                    const Progress& progress) const {
  const std::string sha = reference.at("manifest_sha256").get<std::string>();
  const std::filesystem::path destination = payload(reference);
  const std::filesystem::path stored_manifest = path("manifests/" + sha + ".json");
  const std::filesystem::path staging = path("staging/" + sha);
  std::error_code ignored;

  if (entry_exists(destination)) {
    try {
      require(read_file(stored_manifest, launcher_manifest_limit) == manifest_text, "content_mismatch",
              "Stored launcher manifest differs");
      verify_snapshot_tree(snapshot, destination, progress);
      return;
    } catch (const Error& error) {
      if (error.code == "cancelled") throw;
    }
    // A tree that is not exactly this version was never recorded anywhere; it is not kept.
    std::filesystem::remove_all(destination, ignored);
  }
  std::filesystem::remove(stored_manifest, ignored);
  remove_temporaries(path("manifests"), sha + ".json");
  std::filesystem::remove_all(staging, ignored);

  bool manifest_written = false;
  try {
    extract(staging);  // verifies the whole tree
    atomic_create(stored_manifest, manifest_text);
    manifest_written = true;
    commit_private_path_new(staging, destination, {});
    sync_directory(path("versions"));
  } catch (...) {
    std::filesystem::remove_all(staging, ignored);
    if (manifest_written && !entry_exists(destination)) std::filesystem::remove(stored_manifest, ignored);
    throw;
  }
}

json LauncherStore::seed_initial(std::string_view manifest_text, const std::filesystem::path& archive,
                                 const Progress& progress) {
  const auto lock = owner();
  json record = load();
  const std::string sha = digest(manifest_text, "sha256");
  // An interrupted seeding of this same package leaves only its own names behind; it may finish.
  const bool fresh = record.at("generation") == 0 && record.at("active").is_null() &&
                     record.at("candidate").is_null() && record.at("rollback").is_null() &&
                     record.at("attempt").is_null() && record.at("failed_candidate").is_null() &&
                     holds_at_most(path("manifests"), sha + ".json") && holds_at_most(path("versions"), sha);
  require(fresh, "already_installed", "Initial launcher seeding requires a new owned profile");

  const LauncherManifest manifest = LauncherManifest::parse(parse_json(manifest_text, launcher_manifest_limit));
  require(manifest.snapshot.platform == native_platform(), "launcher_incompatible",
          "Initial launcher targets another native platform");
  const json reference = {{"manifest_sha256", sha}, {"build_id", manifest.snapshot.build_id}};
  require_path_room(payload(reference), {}, manifest.snapshot.longest_native_path());
  require_path_room(path("staging/" + sha), {}, manifest.snapshot.longest_native_path());

  // The archive comes with the installer, so only the extracted tree needs room.
  const StorageVolume volume = inspect_storage_volume(directory());
  require_install_storage(plan_install_storage(manifest.snapshot, volume, true, 0, false), "launcher");

  install_version(reference, manifest_text, manifest.snapshot, archive, progress);
  record["candidate"] = reference;
  save(record);
  return reference;
}

}  // namespace trelk
