#include <filesystem>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "launcher/manifest.hpp"
#include "launcher/store.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/storage.hpp"

namespace trelk {

namespace {

bool empty_directory(const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  // An unreadable directory cannot be proven empty, so it counts as holding state.
  return !error && it == std::filesystem::directory_iterator();
}

}  // namespace

json LauncherStore::seed_initial(std::string_view manifest_text, const std::filesystem::path& archive,
                                 const Progress& progress) {
  const auto lock = owner();
  json record = load();
  const bool fresh = record.at("generation") == 0 && record.at("active").is_null() &&
                     record.at("candidate").is_null() && record.at("rollback").is_null() &&
                     record.at("attempt").is_null() && record.at("failed_candidate").is_null() &&
                     empty_directory(path("manifests")) && empty_directory(path("versions"));
  require(fresh, "already_installed", "Initial launcher seeding requires a new owned profile");

  const LauncherManifest manifest = LauncherManifest::parse(parse_json(manifest_text, launcher_manifest_limit));
  require(manifest.snapshot.platform == native_platform(), "launcher_incompatible",
          "Initial launcher targets another native platform");
  const std::string sha = digest(manifest_text, "sha256");
  const json reference = {{"manifest_sha256", sha}, {"build_id", manifest.snapshot.build_id}};
  const std::filesystem::path destination = payload(reference);
  require_path_room(destination, {}, manifest.snapshot.longest_native_path());

  // The archive comes with the installer, so only the extracted tree needs room.
  const StorageVolume volume = inspect_storage_volume(directory());
  require_install_storage(plan_install_storage(manifest.snapshot, volume, true, 0, false), "launcher");

  atomic_create(path("manifests/" + sha + ".json"), manifest_text);
  extract_snapshot(manifest.snapshot, archive, destination, progress, nullptr);
  verify_snapshot_tree(manifest.snapshot, destination, progress);
  record["candidate"] = reference;
  save(record);
  return reference;
}

}  // namespace trelk
