#include "update/launcher_update.hpp"

#include <system_error>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "files/locks.hpp"
#include "launcher/manifest.hpp"
#include "launcher/store.hpp"
#include "snapshot/delta.hpp"
#include "snapshot/extract.hpp"
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

// The release being staged, as its verified release document describes it.
struct Release {
  std::string text;
  LauncherManifest manifest;
  std::string sha;
  json reference;
};

// Counts the signed length of every download that starts a transfer (a resumed one counts whole).
TufObserver counting(std::uint64_t& bytes) {
  return [&bytes](std::string_view event, const json& description, std::string_view) {
    if (event == "prepared" || event == "resumed") bytes += length(description);
  };
}

struct Fetched {
  fs::path file;
  Descriptor verified;  // the file opened for reading, as the download verified it
};

// A download into launcher/downloads, named after its target: a partial download's state is bound to the
// target's file name, and its resume scope to the release.
Fetched fetch(TufClient& tuf, const LauncherStore& store, const Release& release, const std::string& target,
              const Progress& progress, std::uint64_t& downloaded) {
  TufDownloadOptions options;
  options.resume_scope = target_download_resume_scope("launcher", release.reference, target);
  Fetched fetched{store.path("downloads") / path_from_utf8(target).filename(), {}};
  fetched.verified = tuf.download(target, fetched.file, progress, counting(downloaded), options);
  return fetched;
}

// Installs the release from extract under the owner lock and makes it the candidate, unless the record
// settled meanwhile; returns the status.
std::string commit(const LauncherStore& store, const Release& release,
                   const std::function<void(const fs::path&)>& extract, const Progress& progress) {
  const auto owner = store.owner();
  json record = store.load();
  if (const std::string status = settled(record, release.sha); !status.empty()) return status;
  store.install_version(release.reference, release.text, release.manifest.snapshot, extract, progress);
  record["candidate"] = release.reference;
  store.save(record);
  return "staged";
}

// Room for both scratch streams, the patch and the extracted tree, before the first byte.
void require_delta_storage(const LauncherStore& store, const SnapshotManifest& snapshot, const DeltaDescription& delta,
                           std::uint64_t patch_length) {
  const StorageVolume volume = inspect_storage_volume(store.directory());
  json plan = plan_install_storage(snapshot, volume, true, 0, false);
  const std::uint64_t unit = volume.allocation_unit;
  // Each file costs its length rounded up to the allocation unit, plus one unit for its entry.
  const auto cost = [unit](std::uint64_t bytes) { return (bytes + unit - 1) / unit * unit + unit; };
  plan["volume"]["download_bytes"] = cost(delta.base_tar_length) + cost(delta.result_tar_length) + cost(patch_length);
  plan["volume"]["download_file_entries"] = 3;
  finish_storage_volume_budget(plan["volume"]);
  require_install_storage(plan, "launcher");
}

// The delta path; throws the reason whenever the delta cannot give this release, after which the caller
// takes the full archive. The patch file is removed on every path once it is of no further use.
//
// | killed during                   | on disk                                       | next staging           |
// |---------------------------------|-----------------------------------------------|------------------------|
// | base regeneration, decoding     | nothing: both streams live in unnamed files   | starts the delta again |
// | patch download                  | downloads/<patch>.<nonce>.partial(.resume.json)| resumes the patch     |
// | extraction, commit              | as for an archive (see install_version)       | as for an archive      |
std::string stage_from_delta(const LauncherStore& store, TufClient& tuf, const Release& release, const json& active,
                             const json& patch, const std::string& patch_target, const Progress& progress,
                             std::uint64_t& downloaded) {
  const DeltaDescription delta = DeltaDescription::parse(patch.value("custom", json()));
  require(delta.base_manifest_sha256 == reference_digest(active), "delta_invalid",
          "Delta starts from another launcher version");
  require(delta.window_log <= delta_window_log_limit, "delta_window", "Delta window exceeds the configured bound");
  require(length(patch) < release.manifest.snapshot.archive_length, "delta_invalid",
          "Delta is not smaller than the full archive");
  const LauncherManifest base = store.manifest(active);
  require(delta.base_tar_length <= snapshot_tar_bound(base.snapshot) &&
              delta.result_tar_length <= snapshot_tar_bound(release.manifest.snapshot),
          "delta_invalid", "Delta streams exceed their snapshots' bounds");
  require_delta_storage(store, release.manifest.snapshot, delta, length(patch));

  const fs::path downloads = store.path("downloads");
  private_directory(downloads);
  ScratchFile base_stream(downloads, delta.base_tar_length);
  {
    // The active version's content stays as it is while its stream is regenerated.
    const auto guard = store.version_guard(active, LockMode::shared);
    regenerate_delta_base(base.snapshot, store.payload(active), delta, base_stream, progress);
  }
  ScratchFile result_stream(downloads, delta.result_tar_length);
  const fs::path patch_file = fetch(tuf, store, release, patch_target, progress, downloaded).file;
  struct Remove {
    fs::path file;
    ~Remove() {
      std::error_code ignored;
      fs::remove(file, ignored);
    }
  } remove{patch_file};
  DeltaDecoder decoder(base_stream, patch_file, delta, result_stream);
  return commit(
      store, release,
      [&](const fs::path& staging) {
        extract_snapshot_stream(
            release.manifest.snapshot, [&decoder] { return decoder.next(); }, staging, progress, nullptr);
      },
      progress);
}

// Finished downloads of one release: its release document, its archive and any patch to it, all named after
// its signed targets. Partial downloads keep their own state documents and are left to the resume scan.
void retire_finished_downloads(const fs::path& downloads, const fs::path& release_file,
                               const std::string& archive_target) {
  const std::string archive = path_from_utf8(archive_target).filename().string();
  std::error_code ignored;
  fs::remove(release_file, ignored);
  fs::remove(downloads / archive, ignored);
  std::size_t seen = 0;
  for (fs::directory_iterator it(downloads, ignored), end; !ignored && it != end && ++seen <= 4096;
       it.increment(ignored)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(archive + ".from-") && name.ends_with(".patch") &&
        name.size() == archive.size() + 6 + 16 + 6 && it->is_regular_file(ignored))
      fs::remove(it->path(), ignored);
  }
}

}  // namespace

std::string launcher_release_target() { return "launcher-" + native_platform() + ".release.json"; }

// Killed at any point, the next staging finds: resumable partial downloads of the archive or the patch in
// launcher/downloads (reused for the same release only), a staging tree (removed), or a committed but
// unrecorded version (verified and then recorded). The store never names a version whose tree was not
// verified complete.
LauncherStageResult stage_launcher_update(const fs::path& data_root, TufClient& tuf, const Progress& progress) {
  LauncherStore store(data_root);
  const FileLock staging_lock(store.path("update.lock"), false, LockMode::exclusive);
  // A candidate waiting for its first start is decided by that start, not replaced here.
  if (settled(store.load(), "") == "pending") return {false, "pending", ""};

  const std::optional<json> description = published_target(tuf, launcher_release_target());
  if (!description) return {false, "not_published", ""};
  require(length(*description) <= launcher_manifest_limit, "size_limit", "Launcher release document exceeds 512 KiB");
  const fs::path release_file = store.path("downloads") / launcher_release_target();
  tuf.download(launcher_release_target(), release_file, progress, {}, {});
  const std::string text = read_file(release_file, launcher_manifest_limit);
  LauncherManifest manifest = LauncherManifest::parse(parse_json(text, launcher_manifest_limit));
  require(manifest.snapshot.platform == native_platform(), "launcher_incompatible",
          "The launcher release targets another native platform");
  const std::string sha = digest(text, "sha256");
  const json reference = {{"manifest_sha256", sha}, {"build_id", manifest.snapshot.build_id}};
  const Release release{text, std::move(manifest), sha, reference};
  const SnapshotManifest& snapshot = release.manifest.snapshot;
  const json record = store.load();
  if (const std::string status = settled(record, release.sha); !status.empty()) {
    // The store already records this release: its finished archive or patch, left by a run killed after the
    // store recorded it, and the release document are ours and needed no more.
    retire_finished_downloads(store.path("downloads"), release_file, snapshot.archive_target);
    return {false, status, snapshot.build_id};
  }

  LauncherStageResult result{true, "staged", snapshot.build_id};
  auto finish = [&](const std::string& status, const char* path) {
    std::error_code ignored;
    fs::remove(release_file, ignored);
    result.staged = status == "staged";
    result.status = status;
    result.path = result.staged ? path : "";
    return result;
  };
  // A delta published from the active version comes first; whatever goes wrong with it, the archive follows.
  if (const std::string active = reference_digest(record.at("active")); !active.empty()) {
    try {
      const std::string patch_target = delta_target(snapshot.archive_target, active);
      if (const std::optional<json> patch = published_target(tuf, patch_target))
        return finish(stage_from_delta(store, tuf, release, record.at("active"), *patch, patch_target, progress,
                                       result.downloaded_bytes),
                      "delta");
    } catch (const Error& error) {
      if (error.code == "cancelled") throw;
      result.fallback = error;
    }
  }

  // Room for the archive download and the extracted tree, before the first byte.
  const StorageVolume volume = inspect_storage_volume(store.directory());
  require_install_storage(plan_install_storage(snapshot, volume, false, 0, false), "launcher");
  const json archive = tuf.target(snapshot.archive_target);
  const bool authorized = length(archive) == snapshot.archive_length && archive.at("hashes").contains("sha256") &&
                          archive.at("hashes").at("sha256") == snapshot.archive_sha256;
  require(authorized, "content_mismatch", "Launcher archive is not authorized with its declared length and hash");
  Fetched fetched = fetch(tuf, store, release, snapshot.archive_target, progress, result.downloaded_bytes);
  const std::string status = commit(
      store, release,
      [&](const fs::path& staging) {
        extract_verified_snapshot(snapshot, std::move(fetched.verified), staging, progress, nullptr);
      },
      progress);
  std::error_code ignored;
  fs::remove(fetched.file, ignored);
  return finish(status, "full");
}

}  // namespace trelk
