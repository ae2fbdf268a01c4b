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

TEST(LauncherSelection, UnusableRecordFallsBackToTheNewestIntactFirstListedVersion) {
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

  // Equal times go to the first listed.
  test::TempDir tied_dir;
  LauncherStore tied(tied_dir.path());
  for (const char* build : {"launcher-a", "launcher-b", "launcher-c"}) install(tied, build, 7);
  auto first = fs::directory_iterator(tied.directory() / "versions")->path().filename().string();
  EXPECT_EQ(tied.fallback_active()["manifest_sha256"], first);
}

}  // namespace
}  // namespace trelk
