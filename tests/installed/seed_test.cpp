// An installer seeding the first launcher version, and what the installed bootstrap makes of the store
// afterwards: it runs only a tree that was verified in full, whatever point seeding was stopped at.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "core/digest.hpp"
#include "launcher/manifest.hpp"
#include "snapshot/extract.hpp"
#include "support/errors.hpp"
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

// States no kill leaves: a damaged tree where the version goes is replaced; a foreign profile is refused, and so
// are a package whose file differs from its manifest and a volume that cannot hold the 16 MiB control margin
// whatever the payload, leaving nothing behind.
TEST(SeedInitial, ADamagedLeftoverTreeIsReplacedAndForeignLyingOrCrampedStateIsRefused) {
  NewStore seeded;
  const LauncherStore store(seeded.installation.root, true);
  test::write_file(store.path("manifests/" + seeded.sha + ".json"), seeded.manifest_text);
  test::write_file(store.path("versions/" + seeded.sha + "/share/readme.txt"), "damaged\n");
  ASSERT_EQ(test::run(seeded.seed).status, 0);
  seeded.expect_committed_version_complete();

  const fs::path archive = test::Installation::archive(), dir = seeded.installation.dir.path();
  LauncherStore foreign(dir / "foreign", true);
  fs::create_directories(foreign.path("versions/" + std::string(64, 'a')));
  EXPECT_TRELK_ERROR(foreign.seed_initial(seeded.manifest_text, archive, {}), "already_installed",
                     "Initial launcher seeding requires a new owned profile");
  json lying = json::parse(seeded.manifest_text);
  lying["files"][0]["sha256"] = digest("other", "sha256");
  const fs::path small = dir / "small";
  fs::create_directories(small);
  const bool mounted = ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") == 0;
  for (const auto& [root, text, code, message] : {std::tuple{dir / "lying", canonical_json(lying), "content_mismatch",
                                                             "Extracted file hash differs from manifest"},
                                                  std::tuple{small, seeded.manifest_text, "insufficient_space", ""}}) {
    if (root == small && !mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
    SCOPED_TRACE(code);
    LauncherStore refused(root, true);
    const Error error = test::thrown([&] { refused.seed_initial(text, archive, {}); });
    EXPECT_EQ(error.code, code);
    EXPECT_TRUE(!*message || error.what() == std::string(message)) << error.what();
    EXPECT_EQ(error.details, std::vector<std::string>(root == small, "locations launcher"));
    for (const char* directory : {"versions", "manifests", "staging"})
      EXPECT_TRUE(fs::is_empty(refused.path(directory))) << directory;
    EXPECT_FALSE(fs::exists(refused.path("installation.json")));
  }
  ::umount2(small.c_str(), MNT_DETACH);
}

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
