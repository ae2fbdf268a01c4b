#include <gtest/gtest.h>

#include "files/atomic.hpp"
#include "launcher/health.hpp"
#include "reference_release.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

// A store whose working version is launcher-1.0.0 and whose candidate is launcher-2.0.0.
struct Fixture {
  test::TempDir dir;
  LauncherStore store{dir.path()};
  json old_version = install_launcher_payload(dir.path(), LauncherPayload{});
  json new_version = install_launcher_payload(dir.path(), LauncherPayload{.build_id = "launcher-2.0.0"});

  Fixture() { test::select_versions(dir.path(), old_version, new_version); }
};

TEST(StartupCandidate, ConfirmationNeedsExactHealthAckAndIntactTreeAndVersionsAreGuarded) {
  Fixture f;
  auto& store = f.store;
  auto attempt = store.begin_candidate();
  ASSERT_TRUE(attempt.is_object());
  EXPECT_EQ(attempt["reference"], f.new_version);
  EXPECT_EQ(store.load()["attempt"], attempt);
  EXPECT_TRUE(store.load()["candidate"].is_null());
  EXPECT_TRELK_ERROR(store.begin_candidate(), "busy", "Another launcher startup needs recovery");

  auto manifest = store.manifest(f.new_version);
  auto health = manifest.startup_health(attempt, 77, "cli", true);
  const char* mismatch = "Launcher health does not match its build, process, mode, interrupt contract and attempt";
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, 78, "cli"), "launcher_health", mismatch);
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, 77, "cli"), "launcher_lease",
                     "Launcher startup did not acknowledge native content ownership");
  // An acknowledgement of another process, attempt or state confirms nothing.
  const json ack = lease_document(manifest, attempt, 77, "cli");
  for (const auto& [member, value] : {std::pair{"pid", json(78)}, std::pair{"nonce", json(std::string(32, 'e'))},
                                      std::pair{"state", json("ready")}}) {
    json other = ack;
    other[member] = value;
    test::write_file(store.startup_ack_path(attempt), other.dump());
    EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, 77, "cli"), "launcher_lease",
                       "Launcher lease acknowledgement does not match its build, process, mode and attempt");
  }
  test::write_file(store.startup_ack_path(attempt), ack.dump());

  // An attempt that is no longer the recorded one is neither confirmed nor rejected, whatever it brings.
  json stale = attempt;
  stale["nonce"] = std::string(32, 'f');
  atomic_create(store.startup_ack_path(stale), lease_document(manifest, stale, 77, "cli").dump());
  const json stale_health = manifest.startup_health(stale, 77, "cli", true);
  EXPECT_TRELK_ERROR(store.confirm_candidate(stale, stale_health, 77, "cli"), "launcher_state",
                     "Launcher startup ownership changed");
  EXPECT_TRELK_ERROR(store.reject_candidate(stale, "health_timeout"), "launcher_state",
                     "Launcher startup ownership changed");

  // Damage after staging: the first start must not make it the working version.
  auto readme = store.payload(f.new_version) / "share/readme.txt";
  test::write_file(readme, "Trelk launcheR\n");
  EXPECT_THROW(store.confirm_candidate(attempt, health, 77, "cli"), Error);
  EXPECT_EQ(store.load()["attempt"], attempt);
  EXPECT_EQ(store.load()["active"], f.old_version);

  test::write_file(readme, "Trelk launcher\n");
  store.confirm_candidate(attempt, health, 77, "cli");
  auto record = store.load();
  EXPECT_EQ(record["active"], f.new_version);
  EXPECT_EQ(record["rollback"], f.old_version);
  EXPECT_TRUE(record["attempt"].is_null() && record["candidate"].is_null() && record["failed_candidate"].is_null());

  // Helper images and versions of unknown contract are guarded too.
  auto helper = f.store.payload(f.old_version) / "bin/trelk-maintenance";
  EXPECT_NE(launcher_helper_guard(helper, "maintenance", ""), nullptr);
  test::write_file(helper, "#!/bin/sh\necho maintenanc3\n");  // same length, other bytes
  EXPECT_TRELK_ERROR(launcher_helper_guard(helper, "maintenance", ""), "content_mismatch",
                     "Native helper image differs from its verified launcher inventory");

  // Without its manifest a version's contract is unknown, so its content is never taken exclusively.
  fs::remove(f.store.path("manifests/" + f.new_version["manifest_sha256"].get<std::string>() + ".json"));
  EXPECT_TRELK_ERROR(f.store.version_guard(f.new_version, LockMode::exclusive), "launcher_recovery_uncertain",
                     "This launcher version has an unknown contract; preserve its content");
}

}  // namespace
}  // namespace trelk
