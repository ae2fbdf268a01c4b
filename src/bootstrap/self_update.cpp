#include "bootstrap/self_update.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "bootstrap/contract.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "files/locks.hpp"
#include "process/arguments.hpp"
#include "process/child.hpp"

namespace trelk {

namespace {

bool regular_unfollowed(const fs::path& path, std::uint64_t* size) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

}  // namespace

SnapshotManifest parse_update(const std::string& text) {
  json document;
  try {
    document = parse_json(text, bootstrap_update_record_limit);
  } catch (const Error&) {
    throw;
  } catch (const std::exception&) {
    fail("invalid_manifest", "Bootstrap update manifest is malformed");
  }
  auto manifest = SnapshotManifest::parse(document);
  validate_bootstrap_update(manifest);
  return manifest;
}

// Leftover ".old" files are removed; the marker survives until all of them are gone, and goes only once
// their removals are on disk (otherwise a power cut could bring back ".old" files that nothing announces).
void remove_old_files(const BootstrapPaths& paths) {
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(paths.image, error))) return;
  std::vector<fs::path> leftovers;
  bool complete = true;
  fs::recursive_directory_iterator walk(paths.image, error), end;
  if (error) complete = false;
  for (; !error && walk != end; walk.increment(error)) {
    if (walk->path().extension() == ".old") leftovers.push_back(walk->path());
  }
  if (error) complete = false;
  std::set<fs::path> emptied;
  for (const auto& leftover : leftovers) {
    std::error_code removal;
    fs::remove_all(leftover, removal);
    if (removal) complete = false;
    emptied.insert(leftover.parent_path());
  }
  for (const auto& directory : emptied) {
    try {
      sync_directory(directory);
    } catch (const Error&) {
      complete = false;
    }
  }
  if (complete) {
    fs::remove(paths.old_files, error);
  } else if (!entry_exists(paths.old_files)) {
    try {
      atomic_write(paths.old_files, "");
    } catch (const Error&) {
      // The next start walks the image again either way.
    }
  }
}

namespace {

bool same_file(const fs::path& a, const fs::path& b) {
  struct stat first {};
  struct stat second {};
  return ::lstat(a.c_str(), &first) == 0 && ::lstat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

fs::path with_old_suffix(const fs::path& path) { return fs::path(path.native() + ".old"); }

void remove_name(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("file_write", "Cannot remove " + path_utf8(path));
}

// One update being applied to the image: the new inventory, the installed one it replaces (empty without an
// image record), and the directories whose entries changed and must reach the disk.
struct Application {
  const BootstrapPaths& paths;
  std::string text;
  SnapshotManifest update;
  SnapshotManifest installed;
  std::set<fs::path> touched;

  fs::path staged(const std::string& relative) const { return safe_join(paths.staging, relative, true); }
  fs::path target(const std::string& relative) const { return safe_join(paths.image, relative, true); }
  std::vector<std::string> retired() const {
    std::vector<std::string> paths;
    for (const auto& [relative, file] : installed.files)
      if (!update.files.contains(relative)) paths.push_back(relative);
    return paths;
  }
  void sync_touched() const {
    for (const auto& directory : touched)
      if (entry_exists(directory)) sync_directory(directory);
  }
};

// Moves the staged image in, resuming whatever a killed start began. First every installed file that is
// replaced gets its ".old" name as a second link, and those names reach the disk; only then are the staged
// files renamed over the installed names (the installed names stay present throughout) and the files the new
// image lacks renamed to their ".old" names. An ".old" name that exists is the old file kept by an earlier
// run of this update and is never replaced; a staged name that is already a link of its installed name (a
// killed undo made it) is simply removed, as a rename between two links of one file does nothing.
void move_in(Application& app) {
  std::vector<std::pair<fs::path, fs::path>> renames;
  for (const auto& [relative, file] : app.update.files) {
    const fs::path staged = app.staged(relative);
    if (!entry_exists(staged)) continue;
    const fs::path target = app.target(relative);
    private_directory(target.parent_path());
    app.touched.insert(target.parent_path());
    app.touched.insert(staged.parent_path());
    const fs::path old = with_old_suffix(target);
    if (entry_exists(target) && !entry_exists(old) && ::link(target.c_str(), old.c_str()) != 0)
      fail("file_write", "Cannot keep " + path_utf8(target) + " beside its successor");
    renames.emplace_back(staged, target);
  }
  for (const auto& relative : app.retired()) {
    const fs::path retired = app.target(relative);
    if (entry_exists(retired) && !entry_exists(with_old_suffix(retired)))
      renames.emplace_back(retired, with_old_suffix(retired));
  }
  app.sync_touched();
  for (const auto& [from, to] : renames) {
    if (same_file(from, to))
      remove_name(from);
    else
      native_files::rename_replace(from, to);
    app.touched.insert(to.parent_path());
  }
  // The new names must be on disk before a record can say they are the installed image.
  app.sync_touched();
}

// Puts the old image back from what is on disk, so that it also finishes what a killed start began: every
// ".old" name goes back over its installed name (or, when both are links of one file, the ".old" name is
// removed), and a file the update added goes back to staging. The new bytes are kept in staging, as a later
// start retries an update whose moves failed. True once no ".old" name of the update is left.
bool undo(Application& app) {
  bool complete = true;
  auto restore = [&](const fs::path& name, const fs::path& keep_new_at) {
    try {
      const fs::path old = with_old_suffix(name);
      app.touched.insert(name.parent_path());
      if (same_file(old, name)) {
        remove_name(old);
        return;
      }
      if (!keep_new_at.empty() && entry_exists(name) && !entry_exists(keep_new_at)) {
        private_directory(keep_new_at.parent_path());
        app.touched.insert(keep_new_at.parent_path());
        if (::link(name.c_str(), keep_new_at.c_str()) != 0)
          fail("file_write", "Cannot move " + path_utf8(name) + " back to staging");
      }
      native_files::rename_replace(old, name);
    } catch (const std::runtime_error&) {
      complete = false;
    }
  };
  for (const auto& relative : app.retired())
    if (entry_exists(with_old_suffix(app.target(relative)))) restore(app.target(relative), {});
  for (auto it = app.update.files.rbegin(); it != app.update.files.rend(); ++it) {
    const fs::path target = app.target(it->first);
    const fs::path staged = app.staged(it->first);
    if (entry_exists(with_old_suffix(target))) {
      restore(target, staged);
    } else if (!app.installed.files.contains(it->first) && entry_exists(target)) {
      // Added by this update: nothing of the old image has this name.
      try {
        if (same_file(staged, target)) {
          remove_name(target);
        } else if (!entry_exists(staged)) {
          private_directory(staged.parent_path());
          native_files::rename_replace(target, staged);
        }
        app.touched.insert(target.parent_path());
      } catch (const std::runtime_error&) {
        complete = false;
      }
    }
  }
  try {
    app.sync_touched();
  } catch (const Error&) {
    complete = false;
  }
  return complete;
}

// The rejection is recorded before anything is put back, so that a start killed during the undo finds a
// record whose digest is the rejected one and finishes the undo. The update record goes only once every
// old file is back and on disk: until then the ".old" files are the only copies of the old image.
void reject(Application& app) {
  atomic_write(app.paths.rejected, digest(app.text, "sha256"));
  if (!undo(app)) return;
  std::error_code error;
  fs::remove(app.paths.update_record, error);
  require(!error, "file_write", "Cannot remove the rejected bootstrap update record");
  fs::remove_all(app.paths.staging, error);
}

void commit(const BootstrapPaths& paths, const std::string& text) {
  atomic_write(paths.record, text);
  // Announced before the update record goes: from then on the ".old" files are leftovers, not undo data.
  if (!entry_exists(paths.old_files)) atomic_write(paths.old_files, "");
  std::error_code error;
  fs::remove(paths.update_record, error);
  require(!error, "file_write", "Cannot remove the applied bootstrap update record");
  fs::remove_all(paths.staging, error);
  remove_old_files(paths);
}

// A record that is not a valid update was never applied: nothing of it can be in the image.
void reject_unreadable(const BootstrapPaths& paths, const std::string& text) {
  atomic_write(paths.rejected, digest(text, "sha256"));
  std::error_code error;
  fs::remove(paths.update_record, error);
  require(!error, "file_write", "Cannot remove the rejected bootstrap update record");
  fs::remove_all(paths.staging, error);
}

// Runs the new entry point in start-check mode; true only for exit status 0 within 10 s.
bool new_image_starts(const fs::path& executable_path) {
  try {
    ChildProcess child(executable_path, {}, executable_path.parent_path(),
                       {{std::string(bootstrap_start_check_variable), "1"}});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (true) {
      if (auto status = child.poll()) return *status == 0;
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    child.terminate(std::chrono::milliseconds(250));
    return false;
  } catch (const Error&) {
    return false;
  }
}

// States between runs. A kill can stop any step; the installed names are present throughout. While an update
// record is pending, every ".old" name in the image is the old file it replaced (undo data): it is removed
// only after a commit, or put back by an undo. ".old" files of an earlier update (old-files marker) are
// removed before this update moves anything, so the two never mix.
//
// | state                 | on disk                                                 | next start                |
// |-----------------------|---------------------------------------------------------|---------------------------|
// | idle                  | neither update record nor old-files marker              | nothing                   |
// | leftovers             | old-files marker, maybe ".old" files, or staging        | removes them, then the    |
// |                       | without its update record                               | marker                    |
// | pending               | update record, staging (maybe the marker of an earlier  | removes leftovers, then   |
// |                       | update: then this one has moved nothing yet)            | verify, move, check       |
// | interrupted in moves  | update record; files partly in the image; ".old" names, | verification accepts the  |
// |                       | some of them links of their installed names             | moved files; moves go on  |
// | rejecting             | update record whose digest is the rejected record;      | undo from what is on      |
// |                       | files partly put back, ".old" names                     | disk, then drops record   |
// | committing            | image record = update record, maybe marker              | commits again             |
// | rejected              | rejected digest, no update record                       | nothing                   |
//
// Durability order: the ".old" links are synced before any installed name is replaced; the moved names before
// the image record is written; the image record and the marker before the update record is removed; the
// rejected digest before the undo; the undone names before the update record is removed; removed ".old"
// files before the marker is removed.
void apply_locked(const BootstrapPaths& paths, const fs::path& executable_path) {
  if (!entry_exists(paths.update_record)) {
    remove_old_files(paths);
    // Staged files without their record are what a kill during a commit or a rejection left.
    std::error_code ignored;
    fs::remove_all(paths.staging, ignored);
    return;
  }
  Application app{paths, read_file(paths.update_record, bootstrap_update_record_limit), {}, {}, {}};
  if (entry_exists(paths.record) && read_file(paths.record, bootstrap_update_record_limit) == app.text) {
    commit(paths, app.text);
    return;
  }
  try {
    app.update = parse_update(app.text);
  } catch (const Error&) {
    reject_unreadable(paths, app.text);
    return;
  }
  // Without a readable image record nothing can be told apart safely; the update waits.
  if (entry_exists(paths.record))
    app.installed = SnapshotManifest::parse(
        parse_json(read_file(paths.record, bootstrap_update_record_limit), bootstrap_update_record_limit));
  if (entry_exists(paths.rejected) && read_file(paths.rejected, 128) == digest(app.text, "sha256")) {
    reject(app);
    return;
  }
  if (entry_exists(paths.old_files)) {
    remove_old_files(paths);
    if (entry_exists(paths.old_files)) return;
  }

  try {
    for (const auto& [relative, file] : app.update.files) {
      auto candidate = app.staged(relative);
      if (!entry_exists(candidate)) candidate = app.target(relative);
      std::uint64_t size = 0;
      bool intact = regular_unfollowed(candidate, &size) && size == file.length &&
                    digest_file(candidate, "sha256") == file.sha256;
      require(intact, "content_mismatch", "Staged bootstrap file changed: " + path_utf8(candidate));
    }
  } catch (const Error&) {
    // A changed staged file is never retried.
    reject(app);
    return;
  }

  try {
    move_in(app);
  } catch (const std::runtime_error&) {
    undo(app);
    throw;
  }
  if (!new_image_starts(executable_path)) {
    reject(app);
    return;
  }
  commit(paths, app.text);
}

}  // namespace

BootstrapPaths::BootstrapPaths(const fs::path& root_)
    : root(root_),
      image(root_ / "native/bootstrap"),
      record(root_ / "native/bootstrap.json"),
      staging(root_ / "native/bootstrap-update"),
      partial(root_ / "native/bootstrap-update.partial"),
      update_record(root_ / "native/bootstrap-update.json"),
      downloads(root_ / "native/bootstrap-downloads"),
      rejected(root_ / "native/bootstrap-update.rejected"),
      lock(root_ / "native/bootstrap-update.lock"),
      old_files(root_ / "native/bootstrap-old-files") {}

bool bootstrap_update_pending(const fs::path& root) { return entry_exists(root / "native/bootstrap-update.json"); }

void apply_pending_bootstrap_update(const fs::path& executable_path) {
  if (!process_environment(bootstrap_start_check_variable, 8192).empty()) std::_Exit(0);
  try {
    auto root = installed_data_root(executable_path);
    if (!root) return;
    BootstrapPaths paths(*root);
    if (entry_exists(*root / native_setup_marker)) return;
    if (!entry_exists(paths.update_record) && !entry_exists(paths.old_files) && !entry_exists(paths.staging)) return;

    NativeFileLock update_lock(paths.lock, true, NativeLockSharing::shared, LockMode::exclusive);
    NativeFileLock installation_lock(*root / native_bootstrap_lock, true, NativeLockSharing::none, LockMode::exclusive);
    apply_locked(paths, executable_path);
  } catch (const std::runtime_error&) {
    // Lock contention, unreadable records and failed moves leave the update pending for a later start.
  } catch (const std::logic_error&) {
  }
}

}  // namespace trelk
