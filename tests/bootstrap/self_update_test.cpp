#include "bootstrap/self_update.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/locks.hpp"
#include "fixture_payload.hpp"
#include "launcher/reference_release.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

const fs::path image_program = fs::path(TRELK_TEST_PROGRAMS) / "bootstrap_image";
const fs::path failing_program = fs::path(TRELK_TEST_PROGRAMS) / "process_probe";

json release(const std::vector<PayloadFile>& files) {
  json document = snapshot_document("bootstrap-2", "linux-x86_64", "bin/trelk-bootstrap", files);
  document["kind"] = "trelk-bootstrap-release";
  document["bootstrap_abi"] = 1;
  document["runtime_lease_abi"] = 1;
  document["application_schema"] = {{"minimum", 1}, {"maximum", 1}};
  return document;
}

// An installation whose image holds the old entry point and a data file the new image drops,
// with an update staged that brings a new entry point and a new data file.
struct Installation {
  test::TempDir dir;
  fs::path root = dir.path();
  BootstrapPaths paths{root};
  fs::path entry = root / "native/bootstrap/bin/trelk-bootstrap";
  std::string old_entry = read_file(image_program);
  std::string record_text;

  explicit Installation(const std::string& new_entry) {
    write_file(entry, old_entry);
    fs::permissions(entry, fs::perms(0755));
    write_file(paths.image / "share/old.txt", "old data");
    write_file(paths.record,
               canonical_json(release({{"bin/trelk-bootstrap", old_entry, true}, {"share/old.txt", "old data"}})));
    write_file(paths.staging / "bin/trelk-bootstrap", new_entry);
    fs::permissions(paths.staging / "bin/trelk-bootstrap", fs::perms(0755));
    write_file(paths.staging / "share/new.txt", "new data");
    record_text = canonical_json(release({{"bin/trelk-bootstrap", new_entry, true}, {"share/new.txt", "new data"}}));
    write_file(paths.update_record, record_text);
  }

  void expect_committed(const std::string& new_entry) const {
    EXPECT_EQ(read_file(paths.record), record_text);
    EXPECT_EQ(read_file(entry), new_entry);
    EXPECT_EQ(image_files(), (std::set<std::string>{"bin/trelk-bootstrap", "share/new.txt"}));
    EXPECT_FALSE(fs::exists(paths.update_record));
    EXPECT_FALSE(fs::exists(paths.staging));
  }
  // Every old file back in place and the update rejected by its digest.
  void expect_rolled_back(const std::string& old_record) const {
    EXPECT_EQ(read_file(paths.record), old_record);
    EXPECT_EQ(read_file(entry), old_entry);
    EXPECT_EQ(read_file(paths.image / "share/old.txt"), "old data");
    EXPECT_EQ(image_files(), (std::set<std::string>{"bin/trelk-bootstrap", "share/old.txt"}));
    EXPECT_EQ(read_file(paths.rejected), digest(record_text, "sha256"));
    EXPECT_FALSE(fs::exists(paths.update_record));
    EXPECT_FALSE(fs::exists(paths.staging));
  }

  std::set<std::string> image_files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(paths.image))
      if (!entry.is_directory()) names.insert(fs::relative(entry.path(), paths.image).string());
    return names;
  }
};

TEST(SelfUpdate, CommitsAnImageThatStarts) {
  // The same program with one extra byte: still a valid image, and a different one.
  const std::string new_entry = read_file(image_program) + std::string(1, '\0');
  Installation installation(new_entry);
  apply_pending_bootstrap_update(installation.entry);
  installation.expect_committed(new_entry);
  EXPECT_FALSE(fs::exists(installation.paths.old_files));
}

TEST(SelfUpdate, RollsBackAndRejectsAnImageThatFailsOrHangsItsStartCheck) {
  // process_probe without a command exits non-zero; the script never ends and is killed at the deadline.
  for (const std::string& new_entry : {read_file(failing_program), std::string("#!/bin/sh\nexec sleep 600\n")}) {
    SCOPED_TRACE(new_entry.substr(0, 12));
    Installation installation(new_entry);
    const std::string old_record = read_file(installation.paths.record);
    apply_pending_bootstrap_update(installation.entry);
    installation.expect_rolled_back(old_record);
  }
}

TEST(SelfUpdate, RejectsAChangedStagedFileWithoutTouchingTheImage) {
  Installation installation(read_file(image_program) + "x");
  const std::string old_record = read_file(installation.paths.record);
  write_file(installation.paths.staging / "share/new.txt", "new dat!");
  apply_pending_bootstrap_update(installation.entry);
  installation.expect_rolled_back(old_record);
}

TEST(SelfUpdate, KilledAfterAnyRenameTheNextStartFinishesCleanly) {
  // The installed image applies the update at its start; it is killed once it has made at least
  // `renames` of the four renames in the image, and the next start must end committed, never mixed.
  const std::string new_entry = read_file(image_program) + "x";
  for (int renames = 1; renames <= 4; ++renames) {
    SCOPED_TRACE(renames);
    Installation installation(new_entry);
    const int watcher = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    for (const char* directory : {"bin", "share"})
      ASSERT_GE(inotify_add_watch(watcher, (installation.paths.image / directory).c_str(), IN_MOVED_TO), 0);
    test::Started start(installation.entry, {}, {});
    int seen = 0;
    pollfd ready{watcher, POLLIN, 0};
    while (seen < renames && poll(&ready, 1, 60000) == 1) {
      alignas(inotify_event) char buffer[4096];
      const ssize_t length = read(watcher, buffer, sizeof buffer);
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        seen += (event->mask & IN_MOVED_TO) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    kill(start.pid(), SIGKILL);
    start.wait();
    close(watcher);
    EXPECT_GE(seen, renames);
    // The killed run's start check may hold the locks a moment longer; a start then leaves the
    // update pending for the next one.
    EXPECT_TRUE(test::eventually([&] {
      apply_pending_bootstrap_update(installation.entry);
      return !bootstrap_update_pending(installation.root);
    }));
    installation.expect_committed(new_entry);
  }
}

TEST(SelfUpdate, StaysPendingWhileAnotherBootstrapRuns) {
  Installation installation(read_file(image_program) + "x");
  NativeFileLock running(installation.root / ".native-bootstrap.lock", true, NativeLockSharing::none, LockMode::shared);
  apply_pending_bootstrap_update(installation.entry);
  EXPECT_TRUE(bootstrap_update_pending(installation.root));
  EXPECT_EQ(read_file(installation.entry), installation.old_entry);
}

}  // namespace
}  // namespace trelk
