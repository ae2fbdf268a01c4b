// The real trelk-tuf killed at every mutating system call of a refresh, and downloads whose last run was
// killed: the next run of the same operation leaves exactly the published state and nothing beside it.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/kill_points.hpp"
#include "transport/resume.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

std::set<std::string> names(const fs::path& directory) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(directory)) found.insert(entry.path().filename().string());
  return found;
}

TEST(RefreshAfterKill, EveryKillIsFinishedByTheNextRefreshWithNothingLeftBehind) {
  std::string skip;
  const auto strace = test::usable_strace(skip);
  if (!strace) GTEST_SKIP() << skip;
  test::ServedRepository served;
  served.publish_target("a.bin", "first");
  const test::Command refresh{fs::path(TRELK_TOOLS_DIR) / "trelk-tuf",
                              {"--metadata-url", served.nginx.url() + "metadata/", "--metadata-dir",
                               served.state.string(), "--ca-bundle", served.pki.ca.string(), "refresh"},
                              {{"PATH", "/usr/bin:/bin"}}};
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
      EXPECT_EQ(test::read_file(served.state / role), test::read_file(served.metadata_file(role))) << role;
    EXPECT_EQ(names(served.state),
              (std::set<std::string>{".lock", "root.json", "timestamp.json", "snapshot.json", "targets.json"}));
  }
}

TEST(DownloadAfterKill, WhatAKilledDownloadLeftBesideItsTargetIsRemovedByTheNextOne) {
  test::ServedRepository served;
  served.publish_target("x.bin", "the target");
  const fs::path out = served.dir / "out";
  fs::create_directories(out);
  // A non-resumed attempt killed mid-transfer leaves its staging file under the name the next one takes.
  test::write_file(out / target_staging_name("x.bin"), "half of a");
  EXPECT_EQ(served.download("x.bin"), "the target");
  EXPECT_EQ(names(out), std::set<std::string>{"x.bin"});

  // A resumed download killed after its rename, before its state document was retired.
  const std::string scope = target_download_resume_scope("test", nullptr, "x.bin");
  const std::string partial = "x.bin." + std::string(32, 'a') + ".partial";
  const json description = served.with_client([](TufClient& client) { return client.target("x.bin"); });
  test::write_file(out / (partial + ".resume.json"),
                   json{{"schema_version", 1},
                        {"kind", "trelk-target-resume"},
                        {"target", "x.bin"},
                        {"temporary", partial},
                        {"scope_sha256", digest(scope, "sha256")},
                        {"prefix_sha256", digest("the target", "sha256")},
                        {"received", 10},
                        {"identity", {1, 2}},
                        {"authorization", {{"length", 10}, {"hashes", description.at("hashes")}}}}
                       .dump());
  served.with_client([&](TufClient& client) { client.download("x.bin", out / "x.bin", {}, {}, {scope, {}}); });
  EXPECT_EQ(names(out), std::set<std::string>{"x.bin"});
}

}  // namespace
}  // namespace trelk
