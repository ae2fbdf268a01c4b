#include "bootstrap/staging.hpp"

#include <sys/stat.h>

#include <system_error>

#include "bootstrap/contract.hpp"
#include "bootstrap/self_update.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "files/locks.hpp"
#include "native/completeness.hpp"
#include "snapshot/extract.hpp"
#include "transport/resume.hpp"

namespace trelk {

namespace fs = std::filesystem;

// Killed at any point, staging leaves at most native/bootstrap-update.partial and the downloads (whose
// archive resumes), or a complete native/bootstrap-update without its record, which no start applies and
// the next staging replaces. Only the record, written last, makes an update pending. Durability order: the
// extracted tree is synced, then its name native/bootstrap-update, then the record.
BootstrapStageResult stage_bootstrap_update(const fs::path& data_root, TufClient& tuf, const Progress& progress) {
  std::error_code unresolved;
  const fs::path root = fs::absolute(data_root, unresolved).lexically_normal();
  require(!unresolved, "file_read", "Cannot resolve the data directory");
  const BootstrapPaths paths(root);
  require(entry_exists(root / "native/installation.json"), "not_installed",
          "Bootstrap updates need an installed Trelk");
  require_complete_native_install(root);
  NativeFileLock lock(paths.lock, true, NativeLockSharing::shared, LockMode::exclusive);
  if (entry_exists(paths.update_record)) return {false, "pending", ""};

  const std::optional<json> description = published_target(tuf, bootstrap_manifest_target());
  if (!description) return {false, "not_published", ""};
  require(length(*description) <= bootstrap_update_record_limit, "size_limit",
          "Bootstrap update manifest exceeds 512 KiB");
  const fs::path manifest_file = paths.downloads / bootstrap_manifest_target();
  tuf.download(bootstrap_manifest_target(), manifest_file, progress, {}, {});
  const std::string text = read_file(manifest_file, bootstrap_update_record_limit);
  const SnapshotManifest manifest = parse_update(text);

  BootstrapStageResult result{false, "", manifest.build_id};
  std::error_code ignored;
  if (entry_exists(paths.record) && read_file(paths.record, bootstrap_update_record_limit) == text) {
    result.status = "current";
  } else if (entry_exists(paths.rejected) && read_file(paths.rejected, 128) == digest(text, "sha256")) {
    result.status = "rejected";
  } else {
    require_path_room(paths.image, {}, manifest.longest_native_path());
    const json archive = tuf.target(manifest.archive_target);
    const bool authorized = length(archive) == manifest.archive_length && archive.at("hashes").contains("sha256") &&
                            archive.at("hashes").at("sha256") == manifest.archive_sha256;
    require(authorized, "content_mismatch", "Bootstrap archive is not authorized with its declared length and hash");
    // A partial archive is reused only for this very release.
    TufDownloadOptions options;
    options.resume_scope = target_download_resume_scope("bootstrap", json{{"manifest_sha256", digest(text, "sha256")}},
                                                        manifest.archive_target);
    const fs::path archive_file = paths.downloads / path_from_utf8(manifest.archive_target).filename();
    Descriptor verified = tuf.download(manifest.archive_target, archive_file, progress, {}, options);

    fs::remove_all(paths.partial, ignored);
    // Verifies the whole tree; the archive itself was verified by the download, through this descriptor.
    extract_verified_snapshot(manifest, std::move(verified), paths.partial, progress, nullptr);
    fs::remove_all(paths.staging, ignored);
    native_files::rename_replace(paths.partial, paths.staging);
    sync_directory(paths.staging.parent_path());
    atomic_write(paths.update_record, text);
    result = {true, "staged", manifest.build_id};
  }
  fs::remove_all(paths.downloads, ignored);
  remove_old_files(paths);
  return result;
}

}  // namespace trelk
