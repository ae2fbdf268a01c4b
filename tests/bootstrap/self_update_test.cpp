#include "bootstrap/self_update.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <map>

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
using Files = std::map<std::string, std::string>;
using test::read_file;
using test::write_file;

const std::string image_program = read_file(fs::path(TRELK_TEST_PROGRAMS) / "bootstrap_image");

std::string release(const std::string& entry, const std::string& data_name, const std::string& data) {
  json document = snapshot_document("bootstrap-2", "linux-x86_64", "bin/trelk-bootstrap",
                                    {{"bin/trelk-bootstrap", entry, true}, {data_name, data}});
  document["kind"] = "trelk-bootstrap-release";
  document["bootstrap_abi"] = 1;
  document["runtime_lease_abi"] = 1;
  document["application_schema"] = {{"minimum", 1}, {"maximum", 1}};
  return canonical_json(document);
}

// An installation whose image holds the old entry point and a data file the new image drops,
// with an update staged that brings a new entry point and a new data file.
struct Installation {
  test::TempDir dir;
  BootstrapPaths paths{dir.path()};
  fs::path entry = paths.image / "bin/trelk-bootstrap";
  std::string new_entry;
  std::string old_record = release(image_program, "share/old.txt", "old data");
  std::string new_record;

  explicit Installation(const std::string& staged_entry)
      : new_entry(staged_entry), new_record(release(staged_entry, "share/new.txt", "new data")) {
    write_payload_tree(paths.image, {{"bin/trelk-bootstrap", image_program, true}, {"share/old.txt", "old data"}});
    write_file(paths.record, old_record);
    write_payload_tree(paths.staging, {{"bin/trelk-bootstrap", new_entry, true}, {"share/new.txt", "new data"}});
    write_file(paths.update_record, new_record);
  }

  // The image is entirely the new one or entirely the old one, and nothing is left staged.
  void expect(bool committed) const {
    Files image;
    for (const auto& file : fs::recursive_directory_iterator(paths.image))
      if (!file.is_directory()) image[fs::relative(file.path(), paths.image).string()] = read_file(file.path());
    const Files expected = committed ? Files{{"bin/trelk-bootstrap", new_entry}, {"share/new.txt", "new data"}}
                                     : Files{{"bin/trelk-bootstrap", image_program}, {"share/old.txt", "old data"}};
    EXPECT_EQ(image, expected);
    EXPECT_EQ(read_file(paths.record), committed ? new_record : old_record);
    EXPECT_EQ(fs::exists(paths.rejected) ? read_file(paths.rejected) : "",
              committed ? "" : digest(new_record, "sha256"));
    EXPECT_FALSE(fs::exists(paths.update_record) || fs::exists(paths.staging) || fs::exists(paths.old_files));
  }
};

TEST(SelfUpdate, WaitsForRunningBootstrapsThenCommitsAnImageThatStarts) {
  // The same program with one extra byte: still a valid image, and a different one.
  Installation installation(image_program + std::string(1, '\0'));
  {
    NativeFileLock running(installation.paths.root / native_bootstrap_lock, true, NativeLockSharing::none,
                           LockMode::shared);
    apply_pending_bootstrap_update(installation.entry);
    EXPECT_TRUE(bootstrap_update_pending(installation.paths.root));
    EXPECT_EQ(read_file(installation.entry), image_program);
  }
  apply_pending_bootstrap_update(installation.entry);
  installation.expect(true);
}

TEST(SelfUpdate, RollsBackAndRejectsAnImageThatFailsOrHangsOrWasChanged) {
  // process_probe without a command exits non-zero; the script never ends and is killed at the deadline.
  for (const std::string& new_entry : {read_file(fs::path(TRELK_TEST_PROGRAMS) / "process_probe"),
                                       std::string("#!/bin/sh\nexec sleep 600\n"), image_program + "x"}) {
    SCOPED_TRACE(new_entry.substr(0, 12));
    Installation installation(new_entry);
    if (new_entry == image_program + "x") write_file(installation.paths.staging / "share/new.txt", "new dat!");
    apply_pending_bootstrap_update(installation.entry);
    installation.expect(false);
  }
}

TEST(SelfUpdate, KilledAfterAnyRenameTheNextStartFinishesCleanly) {
  // The installed image applies the update at its start; it is killed once it has made at least
  // `steps` of the four new names in the image (a link aside, three renames), and the next start must
  // end committed, never mixed.
  for (int steps = 1; steps <= 4; ++steps) {
    SCOPED_TRACE(steps);
    Installation installation(image_program + "x");
    const int watcher = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    for (const char* directory : {"bin", "share"})
      ASSERT_GE(inotify_add_watch(watcher, (installation.paths.image / directory).c_str(), IN_MOVED_TO | IN_CREATE), 0);
    test::Started start(installation.entry, {}, {});
    int seen = 0;
    pollfd ready{watcher, POLLIN, 0};
    while (seen < steps && poll(&ready, 1, 60000) == 1) {
      alignas(inotify_event) char buffer[4096];
      const ssize_t length = read(watcher, buffer, sizeof buffer);
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        seen += (event->mask & (IN_MOVED_TO | IN_CREATE)) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    kill(start.pid(), SIGKILL);
    start.wait();
    close(watcher);
    EXPECT_GE(seen, steps);
    // The killed run's start check may hold the locks a moment longer; a start then leaves the
    // update pending for the next one.
    EXPECT_TRUE(test::eventually([&] {
      apply_pending_bootstrap_update(installation.entry);
      return !bootstrap_update_pending(installation.paths.root);
    }));
    installation.expect(true);
  }
}

}  // namespace
}  // namespace trelk
