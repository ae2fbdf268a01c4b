// The real trelk-tuf killed at its mutating system calls, then run again: a refresh ends with exactly the
// published metadata (a refresh that learns of a new timestamp key keeps its invalidation marker until the stale
// state is gone), and a large download continues from its last checkpoint (the range it asks nginx for is
// the recorded prefix) to the exact target, with nothing left beside either.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/kill_points.hpp"
#include "support/run_program.hpp"
#include "support/served_repository.hpp"
#include "tuf/client.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;

std::set<std::string> names(const fs::path& directory) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(directory)) found.insert(entry.path().filename().string());
  return found;
}

// trelk-tuf against the served repository, its trusted state in served.state.
test::Command trelk_tuf(const test::ServedRepository& served, const std::vector<std::string>& extra) {
  std::vector<std::string> arguments{"--metadata-url", served.nginx.url() + "metadata/",
                                     "--metadata-dir", served.state.string(),
                                     "--ca-bundle",    served.pki.ca.string()};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return {fs::path(TRELK_TOOLS_DIR) / "trelk-tuf", arguments, {{"PATH", "/usr/bin:/bin"}}};
}

TEST(RefreshAfterKill, EveryKillIsFinishedByTheNextRefreshWithNothingLeftBehind) {
  std::string skip;
  const auto strace = test::usable_strace(skip);
  if (!strace) GTEST_SKIP() << skip;
  test::ServedRepository served;
  served.publish_target("a.bin", "first");
  const test::Command refresh = trelk_tuf(served, {"refresh"});
  ASSERT_EQ(test::run_program(refresh.program, refresh.arguments, {}).status, 0);
  const fs::path before = served.dir / "before";
  fs::copy(served.state, before);
  served.publish_target("b.bin", "second");

  test::Outcome reference;
  const auto points = test::kill_points(*strace, refresh, reference);
  ASSERT_EQ(reference.status, 0) << reference.err;
  for (const auto& point : points) {
    SCOPED_TRACE(point.text());
    fs::remove_all(served.state);
    fs::copy(before, served.state);
    test::run_killed(*strace, refresh, point);
    const auto again = test::run_program(refresh.program, refresh.arguments, {});
    ASSERT_EQ(again.status, 0) << again.err;
    for (const std::string role : {"timestamp.json", "snapshot.json", "targets.json"})
      EXPECT_EQ(read_file(served.state / role), read_file(served.metadata_file(role))) << role;
    EXPECT_EQ(names(served.state),
              (std::set<std::string>{".lock", "root.json", "timestamp.json", "snapshot.json", "targets.json"}));
  }
}

TEST(RefreshAfterKill, ANewTimestampKeyInvalidatesStoredStateEvenAcrossAKill) {
  test::ServedRepository served;
  served.publish_target("a.bin", "a");
  served.with_client([](TufClient& c) { c.refresh(); });
  served.repo.rotate_key("timestamp", {"ecdsa-sha2-nistp256"});

  // The client command is killed at its second rename: the marker is written, the new root is not.
  std::string why;
  const auto strace = test::usable_strace(why);
  if (!strace) GTEST_SKIP() << why;
  const auto killed = test::run_killed(*strace, trelk_tuf(served, {"refresh"}), {"renameat", 2});
  EXPECT_NE(killed.status, 0);
  ASSERT_TRUE(fs::exists(served.state / "root-invalidation.json"));
  ASSERT_TRUE(fs::exists(served.state / "timestamp.json"));
  // A removal that fails (here: a directory in the snapshot's place) keeps the marker for the next run.
  fs::remove(served.state / "snapshot.json");
  fs::create_directories(served.state / "snapshot.json/x");
  EXPECT_EQ(served.error_code([](TufClient&) {}), "file_remove");
  EXPECT_TRUE(fs::exists(served.state / "root-invalidation.json"));
  fs::remove_all(served.state / "snapshot.json");
  served.with_client([&](TufClient&) {
    EXPECT_FALSE(fs::exists(served.state / "root-invalidation.json"));
    EXPECT_FALSE(fs::exists(served.state / "timestamp.json") || fs::exists(served.state / "snapshot.json"));
  });
  EXPECT_EQ(served.download("a.bin"), "a");
}

TEST(ResumeAfterKill, EveryKillContinuesFromItsLastCheckpointToTheExactTarget) {
  std::string skip;
  const auto strace = test::usable_strace(skip);
  if (!strace) GTEST_SKIP() << skip;
  test::ServedRepository served;
  const std::string bytes = test::pattern_bytes(24 << 20);
  served.publish_target("big.bin", bytes);
  const fs::path out = served.dir / "out";
  const test::Command command =
      trelk_tuf(served, {"--target-base-url", served.nginx.url() + "targets/", "--target-dir", out.string(),
                         "--target-name", "big.bin", "--resume-scope", "test", "download"});
  // The metadata is current after a first download, so every kill point below belongs to the download.
  ASSERT_EQ(test::run_program(command.program, command.arguments, {}).status, 0);
  fs::remove_all(out);
  test::Outcome reference;
  const auto points = test::sample_kill_points(test::kill_points(*strace, command, reference), 12);
  ASSERT_EQ(reference.status, 0) << reference.err;
  std::size_t resumed = 0;
  for (const auto& point : points) {
    SCOPED_TRACE(point.text());
    fs::remove_all(out);
    test::run_killed(*strace, command, point);
    // Bytes the state document says are safe to reuse; a kill after the rename leaves the whole target, and
    // the next run fetches nothing and only tidies up.
    std::uint64_t received = 0;
    for (const auto& name : fs::exists(out / "big.bin") || !fs::exists(out) ? std::set<std::string>{} : names(out))
      if (name.ends_with(".resume.json"))
        received = json::parse(read_file(out / name)).at("received").get<std::uint64_t>();
    const auto finished = test::run_program(command.program, command.arguments, {});
    ASSERT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(read_file(out / "big.bin"), bytes);
    if (received > 0) {
      ++resumed;
      std::string range = "none";
      for (const auto& line : served.nginx.access_log(1))
        if (line.find("GET /targets/big.bin") != std::string::npos) range = line.substr(line.find("range="));
      EXPECT_EQ(range, "range=\"bytes=" + std::to_string(received) + "-" + std::to_string(bytes.size() - 1) +
                           "\" sent=" + std::to_string(bytes.size() - received));
    }
    EXPECT_EQ(names(out), std::set<std::string>{"big.bin"});
  }
  // Checkpoints are written during the transfer, so some kill points leave a prefix to continue from.
  EXPECT_GT(resumed, 0u);
}

}  // namespace
}  // namespace trelk
