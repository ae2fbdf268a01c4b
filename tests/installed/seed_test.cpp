// An installer seeding the first launcher version, and what the installed bootstrap makes of the store
// afterwards: it runs only a tree that was verified in full, whatever point seeding was stopped at.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/digest.hpp"
#include "launcher/manifest.hpp"
#include "snapshot/extract.hpp"
#include "support/installation.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;

// An installation whose launcher store is still new, and the package an installer seeds it with.
struct NewStore {
  test::Installation installation{false};
  std::string manifest_text = read_file(test::Installation::release());
  std::string sha = digest(manifest_text, "sha256");
  fs::path store = installation.root / "launcher";
  test::Command seed{
      fs::path(TRELK_TOOLS_DIR) / "trelk-seed",
      {installation.root.string(), test::Installation::release().string(), test::Installation::archive().string()},
      installation.variables()};

  // The store names this package's version as its candidate, or as its working version once it started.
  bool recorded() const {
    const json record =
        json::parse(fs::exists(store / "installation.json") ? read_file(store / "installation.json") : "{}");
    return record.value(json::json_pointer("/candidate/manifest_sha256"), "") == sha ||
           record.value(json::json_pointer("/active/manifest_sha256"), "") == sha;
  }
  // A version under launcher/versions is this package's tree, exactly, with its manifest beside it.
  void expect_committed_version_complete() const {
    EXPECT_EQ(read_file(store / "manifests" / (sha + ".json")), manifest_text);
    EXPECT_NO_THROW(verify_snapshot_tree(LauncherManifest::parse(json::parse(manifest_text)).snapshot,
                                         store / "versions" / sha, {}));
  }
};

TEST(CrashConsistency, SeedingKilledBeforeAnyChangeNeverStartsAnUnverifiedByte) {
  std::optional<NewStore> seeded;
  test::run_crash_test(
      {.prepare = [&] { return seeded.emplace().seed; },
       .reference = [](const test::Outcome& outcome) { ASSERT_EQ(outcome.status, 0) << outcome.err; },
       .check =
           [&] {
             const bool finished = seeded->recorded();
             const bool committed = fs::exists(seeded->store / "versions" / seeded->sha);
             if (committed) seeded->expect_committed_version_complete();
             const test::Outcome start = test::run(seeded->installation.start_command());
             // Without a committed version the bootstrap finds none to start and says so; the launcher would have
             // answered on stdout.
             EXPECT_TRUE(committed
                             ? static_cast<bool>(test::launcher_answered(start))
                             : start.status != 0 && start.out.empty() &&
                                   start.err.find("No installed Trelk version could be started") != std::string::npos)
                 << start.status << start.out << start.err;
             // The installer is run again: it finishes the interrupted seeding, or finds the finished one.
             const test::Outcome again = test::run(seeded->seed);
             EXPECT_EQ(again.status, finished ? 1 : 0) << again.err;
             EXPECT_TRUE(!finished || again.err.find("(already_installed)") != std::string::npos) << again.err;
             EXPECT_TRUE(seeded->recorded());
             seeded->expect_committed_version_complete();
             EXPECT_TRUE(!fs::exists(seeded->store / "staging") || fs::is_empty(seeded->store / "staging"));
           },
       .sample = 25});
}

}  // namespace
}  // namespace trelk
