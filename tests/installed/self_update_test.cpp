// The installed bootstrap replacing its own image at start, killed before any of its mutating calls: the next
// start finishes or undoes the replacement and the launcher, started by the same process afterwards, still runs.
// (A start that applies a release without interruption is the crash test's reference run and the update cycle.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
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
// data file of its own.
struct PendingUpdate {
  test::Installation installation;
  BootstrapPaths paths{installation.root};
  fs::path entry = installation.bootstrap();
  Files old_files{{"bin/trelk-bootstrap", bootstrap_image}, {"share/old.txt", "old data\n"}};
  Files new_files{{"bin/trelk-bootstrap", bootstrap_image + std::string("\0trelk-next", 11)},
                  {"share/new.txt", "new data\n"}};
  std::string old_record = release_of("bootstrap-1", old_files);
  std::string new_record = release_of("bootstrap-2", new_files);

  PendingUpdate() {
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

}  // namespace
}  // namespace trelk
