// An installer seeding the first launcher version, and what the installed bootstrap makes of the store
// afterwards: it runs only a tree that was verified in full, whatever point seeding was stopped at.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "fixture_payload.hpp"
#include "installed/installed.hpp"
#include "launcher/manifest.hpp"
#include "snapshot/extract.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;

// The bootstrap found no version to start and said so; the launcher would have answered on stdout.
::testing::AssertionResult nothing_started(const test::Outcome& start) {
  if (start.status != 0 && start.out.empty() &&
      start.err.find("No installed Trelk version could be started") != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << start.status << "\n" << start.out << start.err;
}

bool empty_or_absent(const fs::path& directory) {
  std::error_code error;
  return !fs::exists(directory, error) || fs::is_empty(directory, error);
}

// An installation whose launcher store is still new, and the package an installer seeds it with.
struct NewStore {
  test::Installation installation{false};
  fs::path release = test::Installation::release();
  fs::path archive = test::Installation::archive();
  std::string manifest_text = read_file(release);
  std::string sha = digest(manifest_text, "sha256");
  LauncherManifest manifest = LauncherManifest::parse(parse_json(manifest_text, 1 << 20));
  fs::path store = installation.root / "launcher";
  fs::path version = store / "versions" / sha;

  test::Command seed() const {
    return {fs::path(TRELK_TOOLS_DIR) / "trelk-seed",
            {installation.root.string(), release.string(), archive.string()},
            installation.variables()};
  }
  test::Outcome run_seed() const {
    const auto command = seed();
    return test::run_program(command.program, command.arguments, command.environment);
  }

  json record() const {
    const fs::path file = store / "installation.json";
    return fs::exists(file) ? parse_json(read_file(file), 1 << 20) : json::object();
  }
  // The store names this package's version as its candidate, or as its working version once it started.
  bool recorded() const {
    const json record = this->record();
    const auto is_ours = [&](const char* slot) {
      return record.contains(slot) && record[slot].is_object() && record[slot].value("manifest_sha256", "") == sha;
    };
    return is_ours("candidate") || is_ours("active");
  }

  // A version under launcher/versions is this package's tree, exactly, with its manifest beside it.
  ::testing::AssertionResult committed_version_is_complete() const {
    try {
      if (read_file(store / "manifests" / (sha + ".json")) != manifest_text)
        return ::testing::AssertionFailure() << "stored manifest differs";
      verify_snapshot_tree(manifest.snapshot, version, {});
      return ::testing::AssertionSuccess();
    } catch (const std::exception& error) {
      return ::testing::AssertionFailure() << error.what();
    }
  }
};

TEST(CrashConsistency, SeedingKilledBeforeAnyChangeNeverStartsAnUnverifiedByte) {
  std::string reason;
  const auto strace = test::usable_strace(reason);
  if (!strace) GTEST_SKIP() << reason;
  std::vector<test::KillPoint> points;
  {
    NewStore reference;
    test::Outcome outcome;
    points = test::kill_points(*strace, reference.seed(), outcome);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
  }
  int killed = 0;
  for (const auto& point : test::sample_kill_points(points, 25)) {
    SCOPED_TRACE(point.text());
    NewStore seeded;
    killed += test::run_killed(*strace, seeded.seed(), point).status == 128 + SIGKILL;
    const bool finished = seeded.recorded();
    const bool committed = fs::exists(seeded.version);
    if (committed) {
      EXPECT_TRUE(seeded.committed_version_is_complete());
    }

    const test::Outcome start = test::start_bootstrap(seeded.installation);
    if (committed) {
      EXPECT_TRUE(test::launcher_answered(start));
      EXPECT_TRUE(seeded.committed_version_is_complete());
    } else {
      EXPECT_TRUE(nothing_started(start));
    }

    // The installer is run again: it finishes the interrupted seeding, or finds the finished one.
    const test::Outcome again = seeded.run_seed();
    if (finished) {
      EXPECT_EQ(again.status, 1);
      EXPECT_NE(again.err.find("(already_installed)"), std::string::npos) << again.err;
    } else {
      EXPECT_EQ(again.status, 0) << again.err;
    }
    EXPECT_TRUE(seeded.recorded()) << seeded.record();
    EXPECT_TRUE(seeded.committed_version_is_complete());
    EXPECT_TRUE(empty_or_absent(seeded.store / "staging"));
  }
  EXPECT_GT(killed, 0) << "no run was killed: the fault injection had no effect";
}

}  // namespace
}  // namespace trelk
