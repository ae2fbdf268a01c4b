// The installed bootstrap replacing its own image at start: it waits for running bootstraps, keeps only an image
// that starts, and, killed before any of its mutating calls, leaves what the next start finishes or undoes while
// the launcher, started by the same process afterwards, still runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>

#include "bootstrap/contract.hpp"
#include "bootstrap/self_update.hpp"
#include "core/digest.hpp"
#include "pack.hpp"
#include "support/installation.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;
using test::read_file;

std::vector<PayloadFile> payload_of(const Files& files) {
  std::vector<PayloadFile> payload;
  for (const auto& [path, bytes] : files) payload.push_back({path, bytes, path == "bin/trelk-bootstrap"});
  return payload;
}

bool exists_unfollowed(const fs::path& path) { return fs::exists(fs::symlink_status(path)); }

// A real installation whose image holds the built bootstrap and a data file the next image drops, with that
// next image staged: by default the same program with bytes appended (a different digest, still a working image)
// and a data file of its own.
struct PendingUpdate {
  test::Installation installation;
  BootstrapPaths paths{installation.root};
  std::string program = read_file(fs::path(TRELK_BIN_DIR) / "trelk-bootstrap");
  Files old_files{{"bin/trelk-bootstrap", program}, {"share/old.txt", "old data\n"}};
  Files new_files;
  std::string old_record = release_of("bootstrap-1", old_files);
  std::string new_record;

  explicit PendingUpdate(const std::optional<std::string>& entry = {})
      : new_files{{"bin/trelk-bootstrap", entry.value_or(program + std::string("\0next", 5))},
                  {"share/new.txt", "new data\n"}},
        new_record(release_of("bootstrap-2", new_files)) {
    fs::remove_all(paths.image);
    write_payload_tree(paths.image, payload_of(old_files));
    test::write_file(paths.record, old_record);
    write_payload_tree(paths.staging, payload_of(new_files));
    test::write_file(paths.update_record, new_record);
  }
  static std::string release_of(const std::string& build_id, const Files& files) {
    return canonical_json(
        bootstrap_release(snapshot_document(build_id, "linux-x86_64", "bin/trelk-bootstrap", payload_of(files))));
  }

  // What any start, even a killed one, leaves: an entry point that is one of the two programs, and ".old"
  // files only while a record tells the next start to remove them.
  void expect_startable() const {
    const fs::path entry = installation.bootstrap();
    ASSERT_TRUE(exists_unfollowed(entry)) << "the entry point is missing";
    const std::string bytes = read_file(entry);
    EXPECT_TRUE(bytes == program || bytes == new_files.at("bin/trelk-bootstrap"))
        << "the entry point is neither image's (" << bytes.size() << " bytes)";
    for (const auto& [path, bytes] : test::tree(paths.image))
      EXPECT_TRUE(!path.ends_with(".old") || exists_unfollowed(paths.old_files) ||
                  exists_unfollowed(paths.update_record))
          << "unannounced leftover " << path;
  }

  // After a start that ran to its end: the image is entirely the new or entirely the old one, its record
  // describes exactly its files, and nothing is pending or left over. Returns whether it is the new one.
  bool expect_settled() const {
    const Files image = test::tree(paths.image);
    const bool updated = image == new_files;
    EXPECT_TRUE(updated || image == old_files) << "mixed image";
    EXPECT_EQ(read_file(paths.record), updated ? new_record : old_record);
    for (const auto& left : {paths.update_record, paths.staging, paths.old_files})
      EXPECT_FALSE(exists_unfollowed(left)) << left;
    // Only a rejected update may leave the old image.
    EXPECT_EQ(exists_unfollowed(paths.rejected) ? read_file(paths.rejected) : "",
              updated ? "" : digest(new_record, "sha256"));
    return updated;
  }
};

// A start leaves the update pending while another bootstrap runs, then commits it; an image that hangs (killed at
// the start check's deadline) or whose staged bytes changed is rolled back and rejected.
TEST(InstalledSelfUpdate, WaitsForRunningBootstrapsAndRejectsAHangingOrChangedImage) {
  for (const std::string spoil : {"", "hangs", "changed"}) {
    SCOPED_TRACE(spoil);
    PendingUpdate update(spoil == "hangs" ? std::optional<std::string>("#!/bin/sh\nexec sleep 600\n") : std::nullopt);
    if (spoil == "changed") test::write_file(update.paths.staging / "share/new.txt", "new dat!\n");
    if (spoil.empty()) {
      const auto running = bootstrap_lifetime(update.installation.bootstrap());
      apply_pending_bootstrap_update(update.installation.bootstrap());
      EXPECT_TRUE(bootstrap_update_pending(update.paths.root));
    }
    apply_pending_bootstrap_update(update.installation.bootstrap());
    EXPECT_EQ(update.expect_settled(), spoil.empty());
  }
}

TEST(InstalledSelfUpdate, EachStepOfACommitIsOnDiskBeforeTheNextReliesOnIt) {
  std::string reason;
  const auto strace = test::usable_strace(reason);
  if (!strace) GTEST_SKIP() << reason;
  PendingUpdate update;
  test::Outcome outcome;
  const auto calls = test::traced_calls(*strace, update.installation.start_command(),
                                        "fsync,rename,renameat,renameat2,link,linkat,unlink,unlinkat", outcome);
  ASSERT_TRUE(test::launcher_answered(outcome));
  // The first call from `from` on that matches, or calls.size().
  const auto find = [&](std::size_t from, const std::string& pattern) {
    const std::regex call(pattern);
    while (from < calls.size() && !std::regex_search(calls[from], call)) ++from;
    return from;
  };
  const std::string native = update.paths.record.parent_path().string();
  // The image record's temporary file is synced, then renamed into place, then its directory is synced.
  const std::size_t synced = find(0, R"(fsync\(\d+<)" + native + R"(/bootstrap\.json\.\w+\.tmp>)");
  const std::size_t published = find(synced, R"((rename|link).*"bootstrap\.json\.\w+\.tmp".*"bootstrap\.json")");
  EXPECT_LT(find(published, R"(fsync\(\d+<)" + native + ">"), calls.size()) << ::testing::PrintToString(calls);
  // Removed ".old" files are on disk before the marker that announces them goes.
  const std::size_t removed = find(0, R"(unlink.*trelk-bootstrap\.old")");
  const std::size_t emptied = find(removed, R"(fsync\(\d+<)" + native + "/bootstrap/bin>");
  EXPECT_LT(find(emptied, R"(unlink.*bootstrap-old-files")"), calls.size()) << ::testing::PrintToString(calls);
}

TEST(CrashConsistency, SelfUpdateKilledBeforeAnyChangeKeepsOneWholeImageAndARejectedOneTheOld) {
  // A working image is committed, never a mixed one nor a rollback, wherever it was killed; whatever a killed start
  // of a failing one moved, the next start puts the old image back whole and rejects the update.
  for (const bool failing : {false, true}) {
    SCOPED_TRACE(failing ? "failing image" : "working image");
    std::optional<PendingUpdate> update;
    const auto entry =
        failing ? std::optional(read_file(fs::path(TRELK_TEST_PROGRAMS) / "failing_bootstrap")) : std::nullopt;
    test::run_crash_test({.prepare = [&] { return update.emplace(entry).installation.start_command(); },
                          .reference =
                              [&](const test::Outcome& outcome) {
                                ASSERT_TRUE(test::launcher_answered(outcome));
                                EXPECT_EQ(update->expect_settled(), !failing);
                              },
                          .check =
                              [&] {
                                update->expect_startable();
                                EXPECT_TRUE(test::launcher_answered(test::run(update->installation.start_command())));
                                EXPECT_NE(update->expect_settled(), failing);
                              },
                          .sample = failing ? 8u : 25u,
                          .only =
                              [&](const test::KillPoint& point) {
                                return !failing || point.call.starts_with("link") || point.call.starts_with("rename") ||
                                       point.call.starts_with("unlink");
                              }});
  }
}

}  // namespace
}  // namespace trelk
