#include "launcher/store.hpp"

#include <gtest/gtest.h>
#include <chrono>

#include "files/atomic.hpp"
#include "launcher/health.hpp"
#include "launcher/runtime.hpp"
#include "reference_release.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

const std::string sha_a(64, 'a');

json reference(const std::string& sha) { return {{"manifest_sha256", sha}, {"build_id", "launcher-1.0.0"}}; }

json record(json changes = json::object()) {
  json result = {{"schema_version", 1}, {"format", "trelk-launcher-store-v1"},
                 {"generation", 3},     {"active", reference(sha_a)},
                 {"rollback", nullptr}, {"candidate", nullptr},
                 {"attempt", nullptr},  {"failed_candidate", nullptr}};
  result.update(changes);
  return result;
}

fs::path record_path(const fs::path& root) { return root / "launcher" / "installation.json"; }

TEST(LauncherStore, RecordRoundTripKeepsUnknownMembersAndRefusedSavesChangeNothing) {
  test::TempDir dir;
  LauncherStore store(dir.path() / "data");
  auto fresh = store.load();
  EXPECT_EQ(fresh, record({{"generation", 0}, {"active", nullptr}}));
  EXPECT_FALSE(fs::exists(record_path(store.root())));

  fresh["active"] = reference(sha_a);
  fresh["note"] = {{"kept", {1, 2, 3}}};
  store.save(fresh);
  auto saved = store.load();
  EXPECT_EQ(saved.at("generation"), 1);
  EXPECT_EQ(saved.at("note"), fresh.at("note"));
  EXPECT_EQ(test::read_file(record_path(store.root())), saved.dump());  // compact, sorted keys

  // Refused saves keep the previous record.
  const std::string exhausted = record({{"generation", UINT64_MAX}}).dump();
  test::write_file(record_path(store.root()), exhausted);
  EXPECT_TRELK_ERROR(store.save(store.load()), "launcher_state", "Launcher state generation is exhausted");
  EXPECT_TRELK_ERROR(store.save(record({{"note", std::string(32768, 'y')}})), "size_limit",
                     "Launcher state exceeds its durable bound");
  EXPECT_EQ(test::read_file(record_path(store.root())), exhausted);
}

TEST(LauncherStore, RefusedRecordsAreNeverRewritten) {
  const json attempt = {{"nonce", std::string(32, 'f')}, {"reference", reference(sha_a)}};
  auto missing = record();
  missing.erase("candidate");
  const std::tuple<std::string, const char*, const char*> cases[] = {
      {record({{"format", "trelk-launcher-store-v2"}}).dump(), "unsupported_schema",
       "Unknown launcher state was preserved"},
      {record({{"attempt", attempt}, {"candidate", reference(sha_a)}}).dump(), "launcher_state",
       "Launcher candidate/startup state is contradictory"},
      {record({{"attempt", {{"nonce", "abc"}, {"reference", reference(sha_a)}}}}).dump(), "launcher_state",
       "Launcher startup identity is invalid"},
      {missing.dump(), "launcher_state", "Launcher installation record is malformed; it was preserved"},
      {"{\"schema_version\":1,", "invalid_json", ""},
  };
  for (const auto& [text, code, message] : cases) {
    SCOPED_TRACE(text);
    test::TempDir dir;
    test::write_file(record_path(dir.path()), text);
    EXPECT_TRELK_ERROR(LauncherStore store(dir.path()), code, message);
    auto view = LauncherStore::for_launch(dir.path());
    EXPECT_TRELK_ERROR(view->status(), code, message);
    EXPECT_FALSE(view->selection().has_value());
    EXPECT_EQ(test::read_file(record_path(dir.path())), text);
  }
}

json install(const LauncherStore& store, const std::string& build, int minutes,
             const std::string& platform = "linux-x86_64") {
  auto reference = install_launcher_payload(store.root(), {.build_id = build, .platform = platform});
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

// A store whose working version is launcher-1.0.0 and whose candidate is launcher-2.0.0.
TEST(StartupCandidate, AttachAndConfirmationNeedTheExactStartupIdentityHealthAckAndIntactTree) {
  test::TempDir dir;
  // Outside every installed version and not under the protocol: nothing to attach to.
  EXPECT_EQ(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path()), nullptr);
  LauncherStore store(dir.path());
  const json old_version = install_launcher_payload(dir.path(), LauncherPayload{});
  const json new_version = install_launcher_payload(dir.path(), LauncherPayload{.build_id = "launcher-2.0.0"});
  test::select_versions(dir.path(), old_version, new_version);
  auto attempt = store.begin_candidate();
  ASSERT_TRUE(attempt.is_object());
  EXPECT_EQ(attempt["reference"], new_version);
  EXPECT_EQ(store.load()["attempt"], attempt);
  EXPECT_TRUE(store.load()["candidate"].is_null());
  EXPECT_TRELK_ERROR(store.begin_candidate(), "busy", "Another launcher startup needs recovery");
  {
    test::ScopedEnv variables;
    for (const auto& [name, value] : store.health_environment(attempt, "cli")) variables.set(name, value);
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-9.0.0", "cli", dir.path()), "launcher_health",
                       "Launcher startup does not match this build, interface or data root");
    // This test program is no entry point of the version.
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-2.0.0", "cli", dir.path()), "launcher_identity",
                       "Running launcher image differs from its verified native entry point");
    FileLock probe(store.startup_lease_path(attempt), false, LockMode::exclusive);  // no lease was taken
  }
  EXPECT_FALSE(fs::exists(store.startup_ack_path(attempt)));

  auto manifest = store.manifest(new_version);
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
  auto readme = store.payload(new_version) / "share/readme.txt";
  test::write_file(readme, "Trelk launcheR\n");
  EXPECT_TRUE(test::fails_with([&] { store.confirm_candidate(attempt, health, 77, "cli"); }, "content_mismatch"));
  EXPECT_EQ(store.load()["attempt"], attempt);
  EXPECT_EQ(store.load()["active"], old_version);

  // Helper images and versions of unknown contract are guarded too.
  auto helper = store.payload(old_version) / "bin/trelk-maintenance";
  EXPECT_NE(launcher_helper_guard(helper, "maintenance", ""), nullptr);
  test::write_file(helper, "#!/bin/sh\necho maintenanc3\n");  // same length, other bytes
  EXPECT_TRELK_ERROR(launcher_helper_guard(helper, "maintenance", ""), "content_mismatch",
                     "Native helper image differs from its verified launcher inventory");

  // Without its manifest a version's contract is unknown, so its content is never taken exclusively.
  fs::remove(store.path("manifests/" + new_version["manifest_sha256"].get<std::string>() + ".json"));
  EXPECT_TRELK_ERROR(store.version_guard(new_version, LockMode::exclusive), "launcher_recovery_uncertain",
                     "This launcher version has an unknown contract; preserve its content");
}

}  // namespace
}  // namespace trelk
