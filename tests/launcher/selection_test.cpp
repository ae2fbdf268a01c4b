#include <gtest/gtest.h>

#include <chrono>

#include "fixture_payload.hpp"
#include "launcher/store.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

json install(const LauncherStore& store, const std::string& build, int minutes,
             const std::string& platform = "linux-x86_64") {
  LauncherPayload payload;
  payload.build_id = build;
  payload.platform = platform;
  auto reference = install_launcher_payload(store.root(), payload);
  fs::last_write_time(store.payload(reference), fs::file_time_type(std::chrono::minutes(minutes + 28000000)));
  return reference;
}

TEST(LauncherSelection, UnusableRecordFallsBackToTheNewestIntactVersion) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  EXPECT_TRELK_ERROR(store.fallback_active(), "launcher_missing", "No installed Trelk version could be started");
  auto old_version = install(store, "launcher-1", 1);
  auto new_version = install(store, "launcher-2", 2);
  install(store, "launcher-3", 3, "windows-x86_64");  // newer, but never chosen
  fs::create_directory(store.directory() / "versions" / std::string(64, 'e'));

  test::write_file(store.directory() / "installation.json", "{\"schema_version\":1,\"format\":\"other\"}");
  EXPECT_FALSE(store.selection().has_value());
  EXPECT_EQ(store.fallback_active(), new_version);

  // The newest loses once its manifest no longer hashes to its name.
  auto manifest = store.directory() / "manifests" / (new_version["manifest_sha256"].get<std::string>() + ".json");
  auto original = test::read_file(manifest);
  test::write_file(manifest, original + "\n");
  EXPECT_EQ(store.fallback_active(), old_version);
  test::write_file(manifest, original);
  EXPECT_EQ(store.fallback_active(), new_version);
}

TEST(LauncherSelection, EqualTimesGoToTheFirstListed) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  for (const char* build : {"launcher-a", "launcher-b", "launcher-c"}) install(store, build, 7);
  auto first = fs::directory_iterator(store.directory() / "versions")->path().filename().string();
  EXPECT_EQ(store.fallback_active()["manifest_sha256"], first);
}

TEST(LauncherSelection, ImagesInsideTheStore) {
  const std::string a(64, 'a'), b(64, 'b');
  // A store-shaped tree inside a version does not capture its images: the outermost match decides.
  auto found = managed_version("/d/launcher/versions/" + a + "/x/launcher/versions/" + b + "/app");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->data_root / found->digest, fs::path("/d") / a);
  EXPECT_TRELK_ERROR(reject_staged_image("/d/launcher/staging/tmp/bin/app"), "launcher_staging",
                     "A staged Trelk image cannot initialize; start the installed bootstrap");
  EXPECT_NO_THROW(reject_staged_image("/d/launcher/versions/" + a + "/bin/app"));
}

}  // namespace
}  // namespace trelk
