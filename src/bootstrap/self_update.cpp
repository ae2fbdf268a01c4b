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

// Leftover ".old" files are removed; the marker survives until all of them are gone.
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
  for (const auto& leftover : leftovers) {
    std::error_code removal;
    fs::remove_all(leftover, removal);
    if (removal) complete = false;
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

void reject(const BootstrapPaths& paths, const std::string& text) {
  atomic_write(paths.rejected, digest(text, "sha256"));
  std::error_code error;
  fs::remove(paths.update_record, error);
  require(!error, "file_write", "Cannot remove the rejected bootstrap update record");
  fs::remove_all(paths.staging, error);
}

// Every recorded step of moving an image in. The installed names stay present at every instant, so a
// kill between two steps never leaves the desktop entry or the terminal without a program to start:
// an installed file gets its ".old" name as a second link first, then the staged file is renamed over it.
enum class Step {
  link_aside,  // from stays in place; to is a new link to it
  install,     // staged file renamed onto a path that had no file
  replace,     // staged file renamed over a file that was linked aside just before
  retire,      // a file the new image lacks, renamed to its ".old" name
};

struct Move {
  Step step;
  fs::path from;
  fs::path to;
};

void link_replace(const fs::path& from, const fs::path& to) {
  if (::link(from.c_str(), to.c_str()) == 0) return;
  // A leftover that could not be removed earlier is replaced, as a rename would.
  if (errno == EEXIST && ::unlink(to.c_str()) == 0 && ::link(from.c_str(), to.c_str()) == 0) return;
  fail("file_write", "Cannot keep " + path_utf8(from) + " beside its successor");
}

void undo_step(const Move& move) {
  if (move.step != Step::replace) {
    // For link_aside this puts the old file back over its successor in one rename.
    native_files::rename_replace(move.to, move.from);
    return;
  }
  // The successor goes back to staging as a second link; undoing the link_aside before it then
  // puts the old file over the installed name without a gap.
  if (::link(move.to.c_str(), move.from.c_str()) != 0 && errno != EEXIST)
    fail("file_write", "Cannot move " + path_utf8(move.to) + " back to staging");
}

void undo(const std::vector<Move>& moves) {
  for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
    try {
      undo_step(*it);
    } catch (const Error&) {
      // Put back as much as possible; a missing piece is retried by the next start.
    } catch (const std::runtime_error&) {
    }
  }
}

void record_step(Step step, const fs::path& from, const fs::path& to, std::vector<Move>& moves) {
  if (step == Step::link_aside)
    link_replace(from, to);
  else
    native_files::rename_replace(from, to);
  moves.push_back({step, from, to});
}

fs::path with_old_suffix(const fs::path& path) { return fs::path(path.native() + ".old"); }

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

// States between runs (a kill can stop any step; the installed names are present throughout):
//
// | state                 | on disk                                              | next start              |
// |-----------------------|------------------------------------------------------|-------------------------|
// | idle                  | neither update record nor old-files marker           | nothing                 |
// | leftovers             | old-files marker, maybe ".old" files, or staging     | removes them            |
// |                       | without its update record                            |                         |
// | pending               | update record, staging                               | verify, move, check     |
// | interrupted in moves  | update record, files partly in the image, ".old"s    | verification accepts    |
// |                       |                                                      | moved files, goes on    |
// | committing            | image record = update record, marker, update record  | commits again           |
// | rejected              | rejected digest, no update record                    | nothing                 |
void apply_locked(const BootstrapPaths& paths, const fs::path& executable_path) {
  if (!entry_exists(paths.update_record)) {
    remove_old_files(paths);
    // Staged files without their record are what a kill during a commit or a rejection left.
    std::error_code ignored;
    fs::remove_all(paths.staging, ignored);
    return;
  }
  auto text = read_file(paths.update_record, bootstrap_update_record_limit);

  SnapshotManifest update;
  try {
    update = parse_update(text);
    for (const auto& [relative, file] : update.files) {
      auto candidate = safe_join(paths.staging, relative, true);
      if (!entry_exists(candidate)) candidate = safe_join(paths.image, relative, true);
      std::uint64_t size = 0;
      bool intact = regular_unfollowed(candidate, &size) && size == file.length &&
                    digest_file(candidate, "sha256") == file.sha256;
      require(intact, "content_mismatch", "Staged bootstrap file changed: " + path_utf8(candidate));
    }
  } catch (const Error&) {
    // A record that does not validate or a changed staged file is never retried.
    reject(paths, text);
    return;
  }

  remove_old_files(paths);
  std::vector<Move> moves;
  std::set<fs::path> touched;
  try {
    for (const auto& [relative, file] : update.files) {
      auto staged = safe_join(paths.staging, relative, true);
      if (!entry_exists(staged)) continue;
      auto target = safe_join(paths.image, relative, true);
      fs::create_directories(target.parent_path());
      touched.insert(target.parent_path());
      if (entry_exists(target)) {
        record_step(Step::link_aside, target, with_old_suffix(target), moves);
        record_step(Step::replace, staged, target, moves);
      } else {
        record_step(Step::install, staged, target, moves);
      }
    }
    if (entry_exists(paths.record)) {
      auto installed = SnapshotManifest::parse(
          parse_json(read_file(paths.record, bootstrap_update_record_limit), bootstrap_update_record_limit));
      for (const auto& [relative, file] : installed.files) {
        if (update.files.contains(relative)) continue;
        auto retired = safe_join(paths.image, relative, true);
        if (!entry_exists(retired)) continue;
        record_step(Step::retire, retired, with_old_suffix(retired), moves);
        touched.insert(retired.parent_path());
      }
    }
    // The new names must be on disk before a record can say they are the installed image.
    for (const auto& directory : touched) sync_directory(directory);
  } catch (const std::runtime_error&) {
    undo(moves);
    throw;
  }

  if (!new_image_starts(executable_path)) {
    undo(moves);
    reject(paths, text);
    return;
  }
  atomic_write(paths.record, text);
  // Announced before the update record goes: a kill in between must not leave ".old" files that no
  // later start knows to remove.
  if (!entry_exists(paths.old_files)) atomic_write(paths.old_files, "");
  std::error_code error;
  fs::remove(paths.update_record, error);
  require(!error, "file_write", "Cannot remove the applied bootstrap update record");
  fs::remove_all(paths.staging, error);
  remove_old_files(paths);
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
