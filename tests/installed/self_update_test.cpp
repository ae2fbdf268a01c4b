// The installed bootstrap replacing its own image at start, killed before any of its mutating calls: the next
// start finishes or undoes the replacement and the launcher, started by the same process afterwards, still runs.
// (A start that applies a release without interruption is the crash test's reference run and the update cycle.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "bootstrap/self_update.hpp"
#include "core/digest.hpp"
#include "core/json.hpp"
#include "fixture_payload.hpp"
#include "installed/installed.hpp"
#include "pack.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;
using test::read_file;

const std::string bootstrap_image = read_file(fs::path(TRELK_BIN_DIR) / "trelk-bootstrap");

std::vector<PayloadFile> payload_of(const Files& files) {
  std::vector<PayloadFile> payload;
  for (const auto& [path, bytes] : files) payload.push_back({path, bytes, path == "bin/trelk-bootstrap"});
  return payload;
}

std::string release_of(const std::string& build_id, const Files& files) {
  return canonical_json(
      bootstrap_release(snapshot_document(build_id, "linux-x86_64", "bin/trelk-bootstrap", payload_of(files))));
}

bool exists_unfollowed(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// A real installation whose image holds the built bootstrap and a data file the next image drops, with that
// next image staged: the same program with bytes appended (a different digest, still a working image) and a
// data file of its own; or, failing, a bootstrap build whose start check ends with status 1.
struct PendingUpdate {
  explicit PendingUpdate(bool failing = false)
      : PendingUpdate(failing ? read_file(fs::path(TRELK_TEST_PROGRAMS) / "failing_bootstrap") : std::string()) {}

  test::Installation installation;
  BootstrapPaths paths{installation.root};
  fs::path entry = installation.bootstrap();
  Files old_files{{"bin/trelk-bootstrap", bootstrap_image}, {"share/old.txt", "old data\n"}};
  Files new_files;
  std::string old_record = release_of("bootstrap-1", old_files);
  std::string new_record;

  explicit PendingUpdate(const std::string& failing_entry)
      : new_files{{"bin/trelk-bootstrap",
                   failing_entry.empty() ? bootstrap_image + std::string("\0trelk-next", 11) : failing_entry},
                  {"share/new.txt", "new data\n"}},
        new_record(release_of("bootstrap-2", new_files)) {
    fs::remove_all(paths.image);
    write_payload_tree(paths.image, payload_of(old_files));
    test::write_file(paths.record, old_record);
    write_payload_tree(paths.staging, payload_of(new_files));
    test::write_file(paths.update_record, new_record);
  }

  std::vector<std::string> old_names() const {
    std::vector<std::string> names;
    for (const auto& [path, bytes] : test::tree(paths.image))
      if (path.ends_with(".old")) names.push_back(path);
    return names;
  }

  // What any start, even a killed one, leaves: an entry point that is one of the two programs, and ".old"
  // files only while a record tells the next start to remove them.
  void expect_startable() const {
    ASSERT_TRUE(exists_unfollowed(entry)) << "the entry point is missing";
    const std::string bytes = read_file(entry);
    EXPECT_TRUE(bytes == old_files.at("bin/trelk-bootstrap") || bytes == new_files.at("bin/trelk-bootstrap"))
        << "the entry point is neither image's (" << bytes.size() << " bytes)";
    if (!old_names().empty()) {
      EXPECT_TRUE(exists_unfollowed(paths.old_files) || exists_unfollowed(paths.update_record))
          << "unannounced leftovers: " << ::testing::PrintToString(old_names());
    }
  }

  // After a start that ran to its end: the image is entirely the new or entirely the old one, its record
  // describes exactly its files, and nothing is pending or left over. Returns whether it is the new one.
  bool expect_settled() const {
    const Files image = test::tree(paths.image);
    const bool updated = image == new_files;
    EXPECT_TRUE(updated || image == old_files) << "mixed image:" << test::listing(paths.image);
    const std::string record = read_file(paths.record);
    EXPECT_EQ(record, updated ? new_record : old_record);
    EXPECT_NO_THROW(verify_snapshot_tree(SnapshotManifest::parse(parse_json(record, 1 << 20)), paths.image, {}));
    for (const auto& left : {paths.update_record, paths.staging, paths.old_files})
      EXPECT_FALSE(exists_unfollowed(left)) << left << ":" << test::listing(left);
    // Only a rejected update may leave the old image.
    EXPECT_EQ(exists_unfollowed(paths.rejected) ? read_file(paths.rejected) : "",
              updated ? "" : digest(new_record, "sha256"));
    return updated;
  }
};

TEST(InstalledSelfUpdate, EachStepOfACommitIsOnDiskBeforeTheNextReliesOnIt) {
  std::string reason;
  const auto strace = test::usable_strace(reason);
  if (!strace) GTEST_SKIP() << reason;
  PendingUpdate update;
  test::Outcome outcome;
  const auto calls = test::traced_calls(*strace, test::bootstrap_command(update.installation),
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

TEST(CrashConsistency, SelfUpdateKilledBeforeAnyChangeKeepsOneWholeImage) {
  std::string reason;
  const auto strace = test::usable_strace(reason);
  if (!strace) GTEST_SKIP() << reason;
  std::vector<test::KillPoint> points;
  {
    PendingUpdate reference;
    test::Outcome outcome;
    points = test::kill_points(*strace, test::bootstrap_command(reference.installation), outcome);
    ASSERT_TRUE(test::launcher_answered(outcome));
    ASSERT_TRUE(reference.expect_settled());
  }
  int killed = 0;
  for (const auto& point : test::sample_kill_points(points, 25)) {
    SCOPED_TRACE(point.text());
    PendingUpdate update;
    killed += test::run_killed(*strace, test::bootstrap_command(update.installation), point).status == 128 + SIGKILL;
    update.expect_startable();
    // The next start finishes or undoes what the killed one began, and the launcher still runs.
    EXPECT_TRUE(test::launcher_answered(test::start_bootstrap(update.installation)));
    update.expect_settled();
  }
  EXPECT_GT(killed, 0) << "no run was killed: the fault injection had no effect";
}

TEST(CrashConsistency, ARejectedSelfUpdateKilledAtAnyMoveLeavesTheOldImage) {
  std::string reason;
  const auto strace = test::usable_strace(reason);
  if (!strace) GTEST_SKIP() << reason;
  std::vector<test::KillPoint> moves;
  {
    PendingUpdate reference(true);
    test::Outcome outcome;
    for (const auto& point : test::kill_points(*strace, test::bootstrap_command(reference.installation), outcome))
      if (point.call.starts_with("link") || point.call.starts_with("rename") || point.call.starts_with("unlink"))
        moves.push_back(point);
    ASSERT_TRUE(test::launcher_answered(outcome));
    ASSERT_FALSE(reference.expect_settled());
  }
  for (const auto& point : test::sample_kill_points(moves, 8)) {
    SCOPED_TRACE(point.text());
    PendingUpdate update(true);
    test::run_killed(*strace, test::bootstrap_command(update.installation), point);
    update.expect_startable();
    // Whatever the killed start moved, the next one puts the old image back whole and rejects the update.
    EXPECT_TRUE(test::launcher_answered(test::start_bootstrap(update.installation)));
    EXPECT_FALSE(update.expect_settled());
  }
}

}  // namespace
}  // namespace trelk
