#include <gtest/gtest.h>

#include <filesystem>

#include "core/paths.hpp"
#include "support/errors.hpp"
#include "files/atomic.hpp"
#include "fixture_payload.hpp"
#include "launcher/health.hpp"
#include "launcher/store.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

struct Fixture {
  TempDir dir;
  json old_version;
  json new_version;

  Fixture() {
    LauncherPayload old_payload;
    old_payload.build_id = "launcher-1.0.0";
    LauncherPayload new_payload;
    new_payload.build_id = "launcher-2.0.0";
    old_version = install_launcher_payload(dir.path(), old_payload);
    new_version = install_launcher_payload(dir.path(), new_payload);
    LauncherStore store(dir.path());
    auto record = store.load();
    record["active"] = old_version;
    record["candidate"] = new_version;
    store.save(record);
  }
  LauncherStore store() const { return LauncherStore(dir.path()); }
};

// What a well-behaved launcher with this process id would leave behind for the attempt.
void answer(const LauncherStore& store, const json& attempt, std::uint64_t pid, const std::string& interface) {
  auto manifest = store.manifest(attempt["reference"]);
  atomic_create(store.startup_ack_path(attempt), lease_document(manifest, attempt, pid, interface).dump());
}

json health_for(const LauncherStore& store, const json& attempt, std::uint64_t pid, const std::string& interface) {
  return store.manifest(attempt["reference"]).startup_health(attempt, pid, interface, interface == "cli");
}

TEST(StartupCandidate, BeginOpensOneAttemptAndHandsItsIdentityToTheChild) {
  Fixture f;
  auto store = f.store();
  auto attempt = store.begin_candidate();
  ASSERT_TRUE(attempt.is_object());
  EXPECT_EQ(attempt["reference"], f.new_version);
  auto record = store.load();
  EXPECT_TRUE(record["candidate"].is_null());
  EXPECT_EQ(record["attempt"], attempt);
  EXPECT_TRUE(std::string(attempt["nonce"]).size() == 32);

  EXPECT_TRELK_ERROR(store.begin_candidate(), "busy", "Another launcher startup needs recovery");
  EXPECT_EQ(store.load()["generation"], record["generation"]);

  auto environment = store.health_environment(attempt, "cli");
  EXPECT_EQ(environment, (std::map<std::string, std::string>{
                             {"TRELK_LAUNCHER_HEALTH_NONCE", attempt["nonce"]},
                             {"TRELK_LAUNCHER_MANIFEST", f.new_version["manifest_sha256"]},
                             {"TRELK_LAUNCHER_BUILD", "launcher-2.0.0"},
                             {"TRELK_LAUNCHER_INTERFACE", "cli"},
                             {"TRELK_LAUNCHER_DATA_ROOT", path_utf8(normalize_data_root(f.dir.path()))}}));
  EXPECT_TRELK_ERROR(store.health_environment(attempt, "tui"), "launcher_interface",
                     "Choose the CLI or GUI launcher interface");
  auto forged = attempt;
  forged["nonce"] = "../../../../etc/passwd0000000000";
  EXPECT_TRELK_ERROR(store.health_path(forged), "launcher_state", "Launcher startup identity is invalid");
  EXPECT_EQ(store.health_path(attempt), store.directory() / "health" / (std::string(attempt["nonce"]) + ".json"));

  // With nothing staged there is nothing to start and nothing changes.
  store.reject_candidate(attempt, "health_timeout");
  auto before = store.load();
  EXPECT_TRUE(store.begin_candidate().is_null());
  EXPECT_EQ(store.load(), before);
  EXPECT_EQ(before["failed_candidate"], (json{{"reference", f.new_version}, {"problem", "health_timeout"}}));
  EXPECT_EQ(before["active"], f.old_version);
}

TEST(StartupCandidate, ConfirmationNeedsExactHealthAndAcknowledgement) {
  Fixture f;
  auto store = f.store();
  auto attempt = store.begin_candidate();
  const std::uint64_t pid = 4242;
  auto health = health_for(store, attempt, pid, "cli");
  const char* mismatch = "Launcher health does not match its build, process, mode, interrupt contract and attempt";

  // The console-interrupt claim must follow the interface the attempt was started for.
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health_for(store, attempt, pid, "gui"), pid, "cli"),
                     "launcher_health", mismatch);
  auto without_interrupt = health;
  without_interrupt.erase("console_interrupt_abi");
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, without_interrupt, pid, "cli"), "launcher_health", mismatch);
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, pid, "gui"), "launcher_health", mismatch);
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, 0, "cli"), "launcher_health", "Startup PID is invalid");
  auto other = attempt;
  other["nonce"] = std::string(32, 'a');
  EXPECT_TRELK_ERROR(store.confirm_candidate(other, health, pid, "cli"), "launcher_state",
                     "Launcher startup ownership changed");

  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, pid, "cli"), "launcher_lease",
                     "Launcher startup did not acknowledge native content ownership");
  auto ack = lease_document(store.manifest(attempt["reference"]), attempt, pid, "cli");
  EXPECT_FALSE(ack.contains("health_abi"));
  EXPECT_FALSE(ack.contains("console_interrupt_abi"));
  EXPECT_EQ(ack["runtime_lease_abi"], 2);
  ack["state"] = "ready";
  atomic_create(store.startup_ack_path(attempt), ack.dump());
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, pid, "cli"), "launcher_lease",
                     "Launcher lease acknowledgement does not match its build, process, mode and attempt");
  // A second writer can never replace an acknowledgement.
  EXPECT_THROW(answer(store, attempt, pid, "cli"), Error);

  auto record = store.load();
  EXPECT_EQ(record["attempt"], attempt);
  EXPECT_EQ(record["active"], f.old_version);
}

TEST(StartupCandidate, ConfirmedCandidateBecomesActiveOnlyWithItsTreeIntact) {
  Fixture f;
  auto store = f.store();
  auto attempt = store.begin_candidate();
  answer(store, attempt, 77, "gui");
  auto health = health_for(store, attempt, 77, "gui");

  // Damage after staging: the first start must not make it the working version.
  auto readme = store.payload(f.new_version) / "share/readme.txt";
  test::write_file(readme, "Trelk launcheR\n");
  EXPECT_THROW(store.confirm_candidate(attempt, health, 77, "gui"), Error);
  EXPECT_EQ(store.load()["attempt"], attempt);

  test::write_file(readme, "Trelk launcher\n");
  store.confirm_candidate(attempt, health, 77, "gui");
  auto record = store.load();
  EXPECT_EQ(record["active"], f.new_version);
  EXPECT_EQ(record["rollback"], f.old_version);
  EXPECT_TRUE(record["attempt"].is_null());
  EXPECT_TRUE(record["candidate"].is_null());
  EXPECT_TRUE(record["failed_candidate"].is_null());
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, 77, "gui"), "launcher_state",
                     "Launcher startup ownership changed");
}

TEST(StartupCandidate, RejectionAndRecoveryRecordTheFailure) {
  Fixture f;
  auto store = f.store();
  store.recover_attempt();  // nothing in flight: no change
  EXPECT_EQ(store.load()["generation"], 1);

  auto attempt = store.begin_candidate();
  EXPECT_TRELK_ERROR(store.reject_candidate(attempt, "Bad Code"), "launcher_state",
                     "Launcher startup problem code is invalid");
  EXPECT_TRELK_ERROR(store.reject_candidate(attempt, std::string(81, 'a')), "launcher_state",
                     "Launcher startup problem code is invalid");
  EXPECT_EQ(store.load()["attempt"], attempt);

  {
    // The launcher that owns the attempt still runs while its lease is held.
    FileLock held(store.startup_lease_path(attempt), false, LockMode::shared);
    auto error = test::thrown([&] { store.recover_attempt(); });
    EXPECT_EQ(error.code, "launcher_running");
    EXPECT_EQ(std::string(error.what()),
              "The unfinished launcher is still using its startup attempt; close it before restarting");
    EXPECT_EQ(error.details, std::vector<std::string>{"self status"});
    EXPECT_EQ(store.load()["attempt"], attempt);
  }
  store.recover_attempt();
  auto record = store.load();
  EXPECT_TRUE(record["attempt"].is_null());
  EXPECT_TRUE(record["candidate"].is_null());
  EXPECT_EQ(record["failed_candidate"], (json{{"reference", f.new_version}, {"problem", "startup_interrupted"}}));
  EXPECT_EQ(record["active"], f.old_version);
  EXPECT_TRELK_ERROR(store.reject_candidate(attempt, "startup_failed"), "launcher_state",
                     "Launcher startup ownership changed");
}

TEST(StartupCandidate, VersionGuardProtectsOnlyKnownContent) {
  Fixture f;
  auto store = f.store();
  EXPECT_TRELK_ERROR(store.version_guard(nullptr, LockMode::shared), "launcher_missing",
                     "No launcher version was selected");
  {
    auto running = store.version_guard(f.old_version, LockMode::shared);
    auto another = store.version_guard(f.old_version, LockMode::shared);
    EXPECT_TRELK_ERROR(store.version_guard(f.old_version, LockMode::exclusive), "busy",
                       "Another Trelk operation is using this state");
    store.version_guard(f.new_version, LockMode::exclusive);
  }
  store.version_guard(f.old_version, LockMode::exclusive);

  fs::remove(store.path("manifests/" + std::string(f.new_version["manifest_sha256"]) + ".json"));
  EXPECT_TRELK_ERROR(store.version_guard(f.new_version, LockMode::exclusive), "launcher_recovery_uncertain",
                     "This launcher version has an unknown contract; preserve its content");
  EXPECT_NE(store.version_guard(f.new_version, LockMode::shared), nullptr);
}

TEST(HelperGuard, HelperImagesAreTheirVerifiedDeclaredRole) {
  Fixture f;
  auto store = f.store();
  auto helper = store.payload(f.old_version) / "bin/trelk-maintenance";

  {
    auto guard = launcher_helper_guard(helper, "maintenance", "");
    ASSERT_NE(guard, nullptr);
    EXPECT_TRELK_ERROR(store.version_guard(f.old_version, LockMode::exclusive), "busy",
                       "Another Trelk operation is using this state");
    EXPECT_NE(launcher_helper_guard(helper, "maintenance", "launcher-1.0.0"), nullptr);
  }
  EXPECT_TRELK_ERROR(launcher_helper_guard(helper, "updater", ""), "launcher_helper", "Unsupported native helper role");
  EXPECT_TRELK_ERROR(launcher_helper_guard(helper, "crash-handler", ""), "launcher_identity",
                     "Running helper image differs from its declared native role");
  EXPECT_TRELK_ERROR(launcher_helper_guard(store.payload(f.old_version) / "bin/trelk", "maintenance", ""),
                     "launcher_identity", "Running helper image differs from its declared native role");
  auto link = f.dir / "linked-helper";
  fs::create_symlink(helper, link);
  EXPECT_TRELK_ERROR(launcher_helper_guard(link, "maintenance", ""), "launcher_identity",
                     "Native helper image must be an ordinary physical path");

  // A copy outside every installed version runs unguarded.
  auto copy = f.dir / "elsewhere" / "trelk-maintenance";
  fs::create_directories(copy.parent_path());
  fs::copy_file(helper, copy);
  EXPECT_EQ(launcher_helper_guard(copy, "maintenance", ""), nullptr);

  // Same length, other bytes.
  test::write_file(helper, "#!/bin/sh\necho maintenanc3\n");
  EXPECT_TRELK_ERROR(launcher_helper_guard(helper, "maintenance", ""), "content_mismatch",
                     "Native helper image differs from its verified launcher inventory");
}

}  // namespace
}  // namespace trelk
