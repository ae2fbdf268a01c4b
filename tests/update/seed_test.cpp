#include <sys/mount.h>

#include "fixture_payload.hpp"
#include "launcher/store.hpp"
#include "snapshot/extract.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

// A launcher release and its archive, packed the way the installer's initial package carries them.
struct InitialPackage {
  TempDir dir;
  LauncherPayload payload;
  fs::path archive = dir / "launcher.tar.zst";
  std::string manifest_text = canonical_json(pack_launcher_payload(payload, archive));
};

// What a killed seeding leaves is finished in the seeding crash test; these are states no kill leaves.
TEST(SeedInitial, ADamagedLeftoverTreeIsReplacedAndForeignOrLyingStateIsRefused) {
  InitialPackage package;
  const std::string sha = digest(package.manifest_text, "sha256");
  TempDir data;
  LauncherStore store(data.path(), true);
  write_file(store.path("manifests/" + sha + ".json"), package.manifest_text);
  write_payload_tree(store.path("versions/" + sha), package.payload.files);
  write_file(store.path("versions/" + sha + "/share/readme.txt"), "Trelk launcheR\n");
  const json reference = store.seed_initial(package.manifest_text, package.archive, {});
  EXPECT_EQ(store.load().at("candidate"), reference);
  verify_snapshot_tree(LauncherManifest::parse(parse_json(package.manifest_text, 1 << 20)).snapshot,
                       store.payload(reference), {});

  // A package whose file differs from its manifest is refused and leaves nothing behind.
  TempDir lying_data;
  LauncherStore lying_store(lying_data.path(), true);
  json lying = parse_json(package.manifest_text, 1 << 20);
  lying["files"][0]["sha256"] = digest("other", "sha256");
  EXPECT_TRELK_ERROR(lying_store.seed_initial(canonical_json(lying), package.archive, {}), "content_mismatch",
                     "Extracted file hash differs from manifest");
  for (const char* directory : {"versions", "manifests", "staging"})
    EXPECT_TRUE(fs::is_empty(lying_store.path(directory))) << directory;

  TempDir foreign_data;
  LauncherStore foreign(foreign_data.path(), true);
  fs::create_directories(foreign.path("versions/" + std::string(64, 'a')));
  EXPECT_TRELK_ERROR(foreign.seed_initial(package.manifest_text, package.archive, {}), "already_installed",
                     "Initial launcher seeding requires a new owned profile");
}

TEST(SeedInitial, VolumeWithoutRoomIsRefusedBeforeAnythingIsWritten) {
  InitialPackage package;
  TempDir mount_point;
  // 4 MiB cannot hold the 16 MiB control margin whatever the payload.
  if (::mount("tmpfs", mount_point.path().c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point.path()};
  LauncherStore store(mount_point.path(), true);
  auto error = thrown([&] { store.seed_initial(package.manifest_text, package.archive, {}); });
  EXPECT_EQ(error.code, "insufficient_space");
  EXPECT_EQ(error.details, std::vector<std::string>{"locations launcher"});
  EXPECT_TRUE(fs::is_empty(store.path("manifests")));
  EXPECT_TRUE(fs::is_empty(store.path("versions")));
  EXPECT_FALSE(fs::exists(store.path("installation.json")));
}

}  // namespace
}  // namespace trelk::test
