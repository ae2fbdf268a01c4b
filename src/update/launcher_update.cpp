#include "update/launcher_update.hpp"

#include <system_error>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/locks.hpp"
#include "launcher/manifest.hpp"
#include "launcher/store.hpp"
#include "snapshot/storage.hpp"
#include "transport/resume.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

std::string reference_digest(const json& reference) {
  return reference.is_object() ? reference.value("manifest_sha256", "") : "";
}

// Nothing to do for this release in this record, or empty when it should be staged.
std::string settled(const json& record, const std::string& sha) {
  if (!record.at("candidate").is_null() || !record.at("attempt").is_null()) return "pending";
  if (reference_digest(record.at("active")) == sha) return "current";
  const json& failed = record.at("failed_candidate");
  if (failed.is_object() && reference_digest(failed.value("reference", json())) == sha) return "rejected";
  return "";
}

}  // namespace

std::string launcher_release_target() { return "launcher-" + native_platform() + ".release.json"; }

// Killed at any point, the next staging finds: resumable partial downloads in launcher/downloads (reused
// for the same release only), a staging tree (removed), or a committed but unrecorded version (verified and
// then recorded). The store never names a version whose tree was not verified complete.
LauncherStageResult stage_launcher_update(const fs::path& data_root, TufClient& tuf, const Progress& progress) {
  LauncherStore store(data_root);
  const FileLock staging_lock(store.path("update.lock"), false, LockMode::exclusive);
  // A candidate waiting for its first start is decided by that start, not replaced here.
  if (settled(store.load(), "") == "pending") return {false, "pending", ""};

  const std::optional<json> description = published_target(tuf, launcher_release_target());
  if (!description) return {false, "not_published", ""};
  require(length(*description) <= launcher_manifest_limit, "size_limit", "Launcher release document exceeds 512 KiB");
  const fs::path downloads = store.path("downloads");
  const fs::path release_file = downloads / launcher_release_target();
  tuf.download(launcher_release_target(), release_file, progress, {}, {});
  const std::string text = read_file(release_file, launcher_manifest_limit);
  const LauncherManifest manifest = LauncherManifest::parse(parse_json(text, launcher_manifest_limit));
  require(manifest.snapshot.platform == native_platform(), "launcher_incompatible",
          "The launcher release targets another native platform");
  const std::string sha = digest(text, "sha256");
  const json reference = {{"manifest_sha256", sha}, {"build_id", manifest.snapshot.build_id}};
  if (const std::string status = settled(store.load(), sha); !status.empty())
    return {false, status, manifest.snapshot.build_id};

  // Room for the archive download and the extracted tree, before the first byte.
  const StorageVolume volume = inspect_storage_volume(store.directory());
  require_install_storage(plan_install_storage(manifest.snapshot, volume, false, 0, false), "launcher");
  const json archive = tuf.target(manifest.snapshot.archive_target);
  const bool authorized = length(archive) == manifest.snapshot.archive_length &&
                          archive.at("hashes").contains("sha256") &&
                          archive.at("hashes").at("sha256") == manifest.snapshot.archive_sha256;
  require(authorized, "content_mismatch", "Launcher archive is not authorized with its declared length and hash");
  TufDownloadOptions options;
  options.resume_scope = target_download_resume_scope("launcher", reference, manifest.snapshot.archive_target);
  // Named after its target: a partial download's state is bound to the target's file name.
  const fs::path archive_file = downloads / path_from_utf8(manifest.snapshot.archive_target).filename();
  tuf.download(manifest.snapshot.archive_target, archive_file, progress, {}, options);

  {
    const auto owner = store.owner();
    json record = store.load();
    if (const std::string status = settled(record, sha); !status.empty())
      return {false, status, manifest.snapshot.build_id};
    store.install_version(reference, text, manifest.snapshot, archive_file, progress);
    record["candidate"] = reference;
    store.save(record);
  }
  std::error_code ignored;
  fs::remove(archive_file, ignored);
  fs::remove(release_file, ignored);
  return {true, "staged", manifest.snapshot.build_id};
}

}  // namespace trelk
