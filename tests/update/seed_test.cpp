#include <sys/mount.h>

#include <tuple>

#include "fixture_payload.hpp"
#include "launcher/store.hpp"
#include "snapshot/extract.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

// What a killed seeding leaves is finished in the seeding crash test; these are states no kill leaves.
TEST(SeedInitial, ADamagedLeftoverTreeIsReplacedAndForeignLyingOrCrampedStateIsRefused) {
  TempDir dir;
  LauncherPayload payload;
  const fs::path archive = dir / "launcher.tar.zst";
  const std::string manifest_text = canonical_json(pack_launcher_payload(payload, archive));
  const std::string sha = digest(manifest_text, "sha256");
  LauncherStore store(dir / "data", true);
  write_file(store.path("manifests/" + sha + ".json"), manifest_text);
  write_payload_tree(store.path("versions/" + sha), payload.files);
  write_file(store.path("versions/" + sha + "/share/readme.txt"), "Trelk launcheR\n");
  const json reference = store.seed_initial(manifest_text, archive, {});
  EXPECT_EQ(store.load().at("candidate"), reference);
  verify_snapshot_tree(LauncherManifest::parse(parse_json(manifest_text, 1 << 20)).snapshot, store.payload(reference),
                       {});

  LauncherStore foreign(dir / "foreign", true);
  fs::create_directories(foreign.path("versions/" + std::string(64, 'a')));
  EXPECT_TRELK_ERROR(foreign.seed_initial(manifest_text, archive, {}), "already_installed",
                     "Initial launcher seeding requires a new owned profile");

  // A package whose file differs from its manifest, and a volume that cannot hold the 16 MiB control margin
  // whatever the payload: refused, and nothing is left behind.
  json lying = parse_json(manifest_text, 1 << 20);
  lying["files"][0]["sha256"] = digest("other", "sha256");
  const fs::path small = dir / "small";
  fs::create_directories(small);
  const bool mounted = ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") == 0;
  for (const auto& [root, text, code, message] : {std::tuple{dir / "lying", canonical_json(lying), "content_mismatch",
                                                             "Extracted file hash differs from manifest"},
                                                  std::tuple{small, manifest_text, "insufficient_space", ""}}) {
    if (root == small && !mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
    SCOPED_TRACE(code);
    LauncherStore refused(root, true);
    const Error error = thrown([&] { refused.seed_initial(text, archive, {}); });
    EXPECT_EQ(error.code, code);
    EXPECT_TRUE(!*message || error.what() == std::string(message)) << error.what();
    EXPECT_EQ(error.details, std::vector<std::string>(root == small, "locations launcher"));
    for (const char* directory : {"versions", "manifests", "staging"})
      EXPECT_TRUE(fs::is_empty(refused.path(directory))) << directory;
    EXPECT_FALSE(fs::exists(refused.path("installation.json")));
  }
  ::umount2(small.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace trelk::test
