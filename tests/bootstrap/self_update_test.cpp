#include "bootstrap/self_update.hpp"

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/locks.hpp"
#include "fixture_payload.hpp"
#include "pack.hpp"
#include "support/installation.hpp"
#include "support/kill_points.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;
using test::read_file;
using test::write_file;

// The built bootstrap: in its start check it applies a pending update and ends there with status 0.
const std::string image_program = read_file(fs::path(TRELK_BIN_DIR) / "trelk-bootstrap");

// Lays the files out as a tree under root; returns the release document that describes them.
std::string lay_out(const fs::path& root, const Files& files) {
  std::vector<PayloadFile> payload;
  for (const auto& [path, bytes] : files) payload.push_back({path, bytes, path == "bin/trelk-bootstrap"});
  write_payload_tree(root, payload);
  return canonical_json(
      bootstrap_release(snapshot_document("bootstrap-2", "linux-x86_64", "bin/trelk-bootstrap", payload)));
}

// An installation whose image holds the old entry point and a data file the new image drops,
// with an update staged that brings a new entry point and a new data file.
struct Installation {
  test::TempDir dir;
  BootstrapPaths paths{dir.path()};
  fs::path entry = paths.image / "bin/trelk-bootstrap";
  Files old_files{{"bin/trelk-bootstrap", image_program}, {"share/old.txt", "old data"}};
  Files new_files;
  std::string old_record = lay_out(paths.image, old_files);
  std::string new_record;

  explicit Installation(const std::string& staged_entry)
      : new_files{{"bin/trelk-bootstrap", staged_entry}, {"share/new.txt", "new data"}},
        new_record(lay_out(paths.staging, new_files)) {
    write_file(paths.record, old_record);
    write_file(paths.update_record, new_record);
  }

  // The image is entirely the new one or entirely the old one, and nothing is left staged.
  void expect(bool committed) const {
    // Not EXPECT_EQ, so that a failure does not print whole programs.
    EXPECT_TRUE(test::tree(paths.image) == (committed ? new_files : old_files)) << "not the expected image";
    EXPECT_EQ(read_file(paths.record), committed ? new_record : old_record);
    EXPECT_EQ(fs::exists(paths.rejected) ? read_file(paths.rejected) : "",
              committed ? "" : digest(new_record, "sha256"));
    EXPECT_FALSE(fs::exists(paths.update_record) || fs::exists(paths.staging) || fs::exists(paths.old_files));
  }
};

// A start waits while other bootstraps run, then commits an image that starts; it rolls back and rejects one
// that hangs (killed at the deadline) or was changed; one that exits with an error is the installed crash test's.
TEST(SelfUpdate, WaitsForRunningBootstrapsThenCommitsAWorkingImageOrRollsBack) {
  const std::string next = image_program + std::string(1, '\0');  // one byte more: valid, and a different image
  for (const std::string& new_entry : {next, std::string("#!/bin/sh\nexec sleep 600\n"), image_program + "x"}) {
    SCOPED_TRACE(new_entry.substr(0, 12));
    Installation installation(new_entry);
    if (new_entry == next) {
      NativeFileLock running(installation.paths.root / native_bootstrap_lock, true, NativeLockSharing::none,
                             LockMode::shared);
      apply_pending_bootstrap_update(installation.entry);
      EXPECT_TRUE(bootstrap_update_pending(installation.paths.root));
      EXPECT_TRUE(read_file(installation.entry) == image_program);
    }
    if (new_entry == image_program + "x") write_file(installation.paths.staging / "share/new.txt", "new dat!");
    apply_pending_bootstrap_update(installation.entry);
    installation.expect(new_entry == next);
  }
}

// Killed at any of its moves, a start leaves what the next start finishes: never a mixed image, nor a rollback.
TEST(SelfUpdate, AStartKilledAtAnyMoveIsFinishedByTheNext) {
  std::string why;
  const auto strace = test::usable_strace(why);
  if (!strace) GTEST_SKIP() << why;
  const std::string next = image_program + std::string(1, '\0');
  std::vector<test::KillPoint> moves;
  {
    Installation reference(next);
    test::Outcome outcome;
    for (const auto& point : test::kill_points(*strace, {reference.entry, {}, {}}, outcome))
      if (point.call.starts_with("link") || point.call.starts_with("rename")) moves.push_back(point);
  }
  for (const auto& point : test::sample_kill_points(moves, 6)) {
    SCOPED_TRACE(point.text());
    Installation installation(next);
    test::run_killed(*strace, {installation.entry, {}, {}}, point);
    // The killed run's start check may hold the locks a moment longer; a start then leaves the update pending.
    EXPECT_TRUE(test::eventually([&] {
      apply_pending_bootstrap_update(installation.entry);
      return !bootstrap_update_pending(installation.paths.root);
    }));
    installation.expect(true);
  }
}

}  // namespace
}  // namespace trelk
