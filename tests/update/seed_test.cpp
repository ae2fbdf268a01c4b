#include <sys/mount.h>

#include "fixture_payload.hpp"
#include "support/errors.hpp"
#include "launcher/store.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

// A launcher release and its archive, packed the way the installer's initial package carries them.
struct InitialPackage {
  TempDir dir;
  LauncherPayload payload;
  std::string manifest_text;
  fs::path archive = dir / "launcher.tar.zst";

  explicit InitialPackage(const std::string& platform = "linux-x86_64") {
    payload.platform = platform;
    manifest_text = canonical_json(pack_launcher_payload(payload, archive));
  }
};

bool holds_nothing(const fs::path& directory) { return fs::is_empty(directory); }

TEST(SeedInitial, FreshStoreGetsTheCandidateOnce) {
  InitialPackage package;
  TempDir data;
  LauncherStore store(data.path(), true);
  std::uint64_t last = 0;
  const json reference =
      store.seed_initial(package.manifest_text, package.archive, [&](std::uint64_t done, std::uint64_t) {
        last = done;
        return true;
      });
  EXPECT_EQ(reference.at("manifest_sha256"), digest(package.manifest_text, "sha256"));
  EXPECT_EQ(reference.at("build_id"), package.payload.build_id);
  EXPECT_GT(last, 0u);

  const json record = store.load();
  EXPECT_EQ(record.at("generation"), 1);
  EXPECT_EQ(record.at("candidate"), reference);
  EXPECT_TRUE(record.at("active").is_null());
  EXPECT_EQ(read_file(store.path("manifests/" + reference.at("manifest_sha256").get<std::string>() + ".json")),
            package.manifest_text);
  // The stored manifest reads back and its tree is the payload.
  EXPECT_EQ(store.manifest(reference).snapshot.build_id, package.payload.build_id);
  for (const auto& file : package.payload.files)
    EXPECT_EQ(read_file(store.payload(reference) / file.path), file.content);

  EXPECT_TRELK_ERROR(store.seed_initial(package.manifest_text, package.archive, {}), "already_installed",
                     "Initial launcher seeding requires a new owned profile");
  EXPECT_EQ(store.load().at("generation"), 1);
}

TEST(SeedInitial, RefusesUsedStoresAndForeignPlatformsBeforeWriting) {
  InitialPackage package;
  {
    TempDir data;
    LauncherStore store(data.path(), true);
    fs::create_directory(store.path("versions/unrelated"));
    EXPECT_TRELK_ERROR(store.seed_initial(package.manifest_text, package.archive, {}), "already_installed",
                       "Initial launcher seeding requires a new owned profile");
    EXPECT_TRUE(holds_nothing(store.path("manifests")));
  }
  {
    InitialPackage windows("windows-x86_64");
    TempDir data;
    LauncherStore store(data.path(), true);
    EXPECT_TRELK_ERROR(store.seed_initial(windows.manifest_text, windows.archive, {}), "launcher_incompatible",
                       "Initial launcher targets another native platform");
    EXPECT_TRUE(holds_nothing(store.path("manifests")));
    EXPECT_TRUE(holds_nothing(store.path("versions")));
    EXPECT_EQ(store.load().at("generation"), 0);
  }
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
  try {
    store.seed_initial(package.manifest_text, package.archive, {});
    ADD_FAILURE() << "seeding a full volume succeeded";
  } catch (const Error& error) {
    EXPECT_EQ(error.code, "insufficient_space");
    EXPECT_EQ(error.details, std::vector<std::string>{"locations launcher"});
  }
  EXPECT_TRUE(holds_nothing(store.path("manifests")));
  EXPECT_TRUE(holds_nothing(store.path("versions")));
  EXPECT_FALSE(fs::exists(store.path("installation.json")));
}

}  // namespace
}  // namespace trelk::test
