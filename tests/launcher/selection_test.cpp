#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fixture_payload.hpp"
#include "support/errors.hpp"
#include "launcher/store.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

LauncherPayload payload(const std::string& build) {
  LauncherPayload result;
  result.build_id = build;
  return result;
}

void set_time(const fs::path& path, int minutes) {
  fs::last_write_time(path, fs::file_time_type(std::chrono::minutes(minutes + 28000000)));
}

std::string sha(const json& reference) { return reference.at("manifest_sha256").get<std::string>(); }

TEST(LauncherSelection, UnusableRecordFallsBackToTheNewestIntactVersion) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  auto old_version = install_launcher_payload(store.root(), payload("launcher-1"));
  auto new_version = install_launcher_payload(store.root(), payload("launcher-2"));
  set_time(store.payload(old_version), 1);
  set_time(store.payload(new_version), 2);

  auto record = store.directory() / "installation.json";
  test::write_file(record, "{\"schema_version\":1,\"format\":\"trelk-launcher-store-v9\"}");
  EXPECT_FALSE(store.selection().has_value());
  EXPECT_EQ(store.fallback_active(), new_version);

  // The newest directory loses once its manifest no longer hashes to its name.
  auto manifest = store.directory() / "manifests" / (sha(new_version) + ".json");
  auto original = test::read_file(manifest);
  test::write_file(manifest, original + "\n");
  EXPECT_EQ(store.fallback_active(), old_version);
  fs::remove(manifest);
  EXPECT_EQ(store.fallback_active(), old_version);
  test::write_file(manifest, original);
  EXPECT_EQ(store.fallback_active(), new_version);

  // Newer still, but for another platform, linked in, or not named by a digest: never chosen.
  auto windows = payload("launcher-3");
  windows.platform = "windows-x86_64";
  auto foreign = install_launcher_payload(store.root(), windows);
  set_time(store.payload(foreign), 3);
  auto linked = install_launcher_payload(store.root(), payload("launcher-4"));
  fs::rename(store.payload(linked), dir.path() / "outside");
  set_time(dir.path() / "outside", 4);
  fs::create_directory_symlink(dir.path() / "outside", store.payload(linked));
  fs::create_directory(store.directory() / "versions" / std::string(64, 'Z'));
  fs::create_directory(store.directory() / "versions" / "short");
  test::write_file(store.directory() / "versions" / std::string(64, 'e'), "a file, not a version");
  EXPECT_EQ(store.fallback_active(), new_version);
  // The record is not consulted, even when it is valid and names another version.
  fs::remove(record);
  auto fresh = store.load();
  fresh["active"] = old_version;
  store.save(fresh);
  EXPECT_EQ(store.selection()->at("active"), old_version);
  EXPECT_EQ(store.fallback_active(), new_version);
}

TEST(LauncherSelection, EqualTimesGoToTheFirstListed) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  for (const char* build : {"launcher-a", "launcher-b", "launcher-c"}) {
    auto ref = install_launcher_payload(store.root(), payload(build));
    set_time(store.payload(ref), 7);
  }
  std::string first;
  for (const auto& entry : fs::directory_iterator(store.directory() / "versions")) {
    first = entry.path().filename().string();
    break;
  }
  EXPECT_EQ(sha(store.fallback_active()), first);
}

TEST(LauncherSelection, VersionDirectoryBounds) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  Error none = test::thrown([&] { store.fallback_active(); });
  EXPECT_EQ(none.code, "launcher_missing");
  EXPECT_EQ(std::string(none.what()), "No installed Trelk version could be started");
  EXPECT_EQ(none.details, std::vector<std::string>{"self status"});

  auto valid = install_launcher_payload(store.root(), payload("launcher-1"));
  for (int i = 0; i < 63; ++i) test::write_file(store.directory() / "versions" / ("junk" + std::to_string(i)), "");
  EXPECT_EQ(store.fallback_active(), valid);  // 64 entries
  test::write_file(store.directory() / "versions" / "junk63", "");
  EXPECT_TRELK_ERROR(store.fallback_active(), "launcher_state", "Too many launcher versions to choose a fallback");
}

TEST(LauncherSelection, ManagedVersionOfAnImage) {
  const std::string a(64, 'a'), b(64, 'b');
  auto found = managed_version("/d/launcher/versions/" + a + "/bin/app");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->data_root, fs::path("/d"));
  EXPECT_EQ(found->digest, a);
  // A store-shaped tree inside a version does not capture its images: the outermost match decides.
  found = managed_version("/d/launcher/versions/" + a + "/x/launcher/versions/" + b + "/app");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->data_root, fs::path("/d"));
  EXPECT_EQ(found->digest, a);
  EXPECT_FALSE(managed_version("/usr/bin/app").has_value());
  EXPECT_FALSE(managed_version("/d/launcher/staging/" + a + "/app").has_value());
  EXPECT_TRELK_ERROR(managed_version("/d/launcher/versions/" + std::string(64, 'G') + "/app"), "launcher_state",
                     "Launcher manifest identity is invalid");

  std::string deep = "/";
  for (int i = 0; i < 255; ++i) deep += "d/";
  EXPECT_FALSE(managed_version(deep + "app").has_value());  // 256 ancestors, root included
  EXPECT_TRELK_ERROR(managed_version(deep + "d/app"), "launcher_identity",
                     "Native executable ancestry exceeds its bound");
}

TEST(LauncherSelection, StagedImagesAreRefused) {
  Error staged = test::thrown([] { reject_staged_image("/d/launcher/staging/tmp/bin/app"); });
  EXPECT_EQ(staged.code, "launcher_staging");
  EXPECT_EQ(std::string(staged.what()), "A staged Trelk image cannot initialize; start the installed bootstrap");
  EXPECT_EQ(staged.details, std::vector<std::string>{"self status"});
  EXPECT_NO_THROW(reject_staged_image("/d/staging/bin/app"));
  EXPECT_NO_THROW(reject_staged_image("/d/launcher/versions/" + std::string(64, 'a') + "/bin/app"));
  EXPECT_TRELK_ERROR(reject_staged_image("/tmp/trelk-maintenance-1234/app"), "maintenance_copy",
                     "A temporary maintenance helper cannot start Trelk");

  test::TempDir dir;
  test::write_file(dir / "pkg" / ".trelk-launcher-package-incomplete.json", "");
  EXPECT_EQ(test::thrown([&] { reject_staged_image(dir / "pkg" / "bin" / "app"); }).code, "native_install_incomplete");
}

}  // namespace
}  // namespace trelk
