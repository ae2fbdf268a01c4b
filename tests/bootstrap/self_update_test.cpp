#include "bootstrap/self_update.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/locks.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

const fs::path image_program = fs::path(TRELK_TEST_PROGRAMS) / "bootstrap_image";
const fs::path failing_program = fs::path(TRELK_TEST_PROGRAMS) / "process_probe";

struct ImageFile {
  std::string path;
  std::string bytes;
  bool executable = false;
};

json release(const std::vector<ImageFile>& files) {
  json inventory = json::array();
  std::uint64_t total = 0;
  for (const auto& file : files) {
    inventory.push_back({{"path", file.path},
                         {"length", file.bytes.size()},
                         {"mode", file.executable ? 493 : 420},
                         {"sha256", digest(file.bytes, "sha256")}});
    total += file.bytes.size();
  }
  return {
      {"schema_version", 1},
      {"kind", "trelk-bootstrap-release"},
      {"bootstrap_abi", 1},
      {"runtime_lease_abi", 1},
      {"application_schema", {{"minimum", 1}, {"maximum", 1}}},
      {"build_id", "bootstrap-2"},
      {"platform", "linux-x86_64"},
      {"executable", "bin/trelk-bootstrap"},
      {"archive",
       {{"format", "tar.zst-v1"}, {"target", "bootstrap.tar.zst"}, {"length", 1}, {"sha256", std::string(64, 'a')}}},
      {"files", inventory},
      {"expanded_length", total}};
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

  std::set<std::string> image_files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(paths.image))
      if (!entry.is_directory()) names.insert(fs::relative(entry.path(), paths.image).string());
    return names;
  }
};

TEST(SelfUpdate, CommitsAnImageThatStarts) {
  // The new entry point is the same program with one extra byte: still a valid ELF image.
  Installation installation(read_file(image_program) + std::string(1, '\0'));
  apply_pending_bootstrap_update(installation.entry);

  EXPECT_EQ(read_file(installation.paths.record), installation.record_text);
  EXPECT_FALSE(fs::exists(installation.paths.update_record));
  EXPECT_FALSE(fs::exists(installation.paths.staging));
  EXPECT_FALSE(fs::exists(installation.paths.old_files));
  EXPECT_EQ(installation.image_files(), (std::set<std::string>{"bin/trelk-bootstrap", "share/new.txt"}));
  EXPECT_EQ(read_file(installation.entry), read_file(image_program) + std::string(1, '\0'));
  EXPECT_FALSE(bootstrap_update_pending(installation.root));
}

TEST(SelfUpdate, RollsBackAndRejectsAnImageThatDoesNotStart) {
  // process_probe without a command exits non-zero: the start check fails.
  Installation installation(read_file(failing_program));
  auto old_record = read_file(installation.paths.record);
  apply_pending_bootstrap_update(installation.entry);

  EXPECT_EQ(read_file(installation.entry), installation.old_entry);
  EXPECT_EQ(read_file(installation.paths.image / "share/old.txt"), "old data");
  EXPECT_EQ(installation.image_files(), (std::set<std::string>{"bin/trelk-bootstrap", "share/old.txt"}));
  EXPECT_EQ(read_file(installation.paths.record), old_record);
  EXPECT_EQ(read_file(installation.paths.rejected), digest(installation.record_text, "sha256"));
  EXPECT_FALSE(fs::exists(installation.paths.update_record));
  EXPECT_FALSE(fs::exists(installation.paths.staging));
}

TEST(SelfUpdate, RejectsAChangedStagedFileWithoutTouchingTheImage) {
  Installation installation(read_file(image_program) + "x");
  write_file(installation.paths.staging / "share/new.txt", "new dat!");
  apply_pending_bootstrap_update(installation.entry);

  EXPECT_EQ(read_file(installation.entry), installation.old_entry);
  EXPECT_EQ(installation.image_files(), (std::set<std::string>{"bin/trelk-bootstrap", "share/old.txt"}));
  EXPECT_EQ(read_file(installation.paths.rejected), digest(installation.record_text, "sha256"));
  EXPECT_FALSE(fs::exists(installation.paths.update_record));
  EXPECT_FALSE(fs::exists(installation.paths.staging));
}

TEST(SelfUpdate, MalformedRecordIsRejected) {
  Installation installation(read_file(image_program) + "x");
  write_file(installation.paths.update_record, "{\"schema_version\":1.5}");
  apply_pending_bootstrap_update(installation.entry);
  EXPECT_EQ(read_file(installation.paths.rejected), digest("{\"schema_version\":1.5}", "sha256"));
  EXPECT_EQ(read_file(installation.entry), installation.old_entry);
}

TEST(SelfUpdate, StaysPendingWhileAnotherBootstrapRuns) {
  Installation installation(read_file(image_program) + "x");
  NativeFileLock running(installation.root / ".native-bootstrap.lock", true, NativeLockSharing::none, LockMode::shared);
  apply_pending_bootstrap_update(installation.entry);
  EXPECT_TRUE(bootstrap_update_pending(installation.root));
  EXPECT_EQ(read_file(installation.entry), installation.old_entry);
  EXPECT_TRUE(fs::exists(installation.paths.staging / "bin/trelk-bootstrap"));
}

TEST(SelfUpdate, FinishesAnInterruptedRun) {
  // A power cut after the entry point moved: the new entry is in the image, the old one beside it.
  auto new_entry = read_file(image_program) + "x";
  Installation installation(new_entry);
  fs::rename(installation.entry, installation.entry.string() + ".old");
  fs::rename(installation.paths.staging / "bin/trelk-bootstrap", installation.entry);
  apply_pending_bootstrap_update(installation.entry);

  EXPECT_EQ(read_file(installation.paths.record), installation.record_text);
  EXPECT_EQ(read_file(installation.entry), new_entry);
  EXPECT_EQ(installation.image_files(), (std::set<std::string>{"bin/trelk-bootstrap", "share/new.txt"}));
}

TEST(SelfUpdate, StartCheckExitsBeforeTouchingFiles) {
  Installation installation(read_file(image_program) + "x");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("TRELK_BOOTSTRAP_START_CHECK", "1", 1);
    execl(installation.entry.c_str(), installation.entry.c_str(), "9", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(bootstrap_update_pending(installation.root));
  EXPECT_EQ(read_file(installation.entry), installation.old_entry);
}

TEST(SelfUpdate, LeftoversAreRemovedAndTheMarkerCleared) {
  Installation installation(read_file(image_program) + "x");
  fs::remove(installation.paths.update_record);
  write_file(installation.paths.image / "share/stale.txt.old", "stale");
  write_file(installation.paths.old_files, "");
  apply_pending_bootstrap_update(installation.entry);
  EXPECT_FALSE(fs::exists(installation.paths.image / "share/stale.txt.old"));
  EXPECT_FALSE(fs::exists(installation.paths.old_files));
}

}  // namespace
}  // namespace trelk
