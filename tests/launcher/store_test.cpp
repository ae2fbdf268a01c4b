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

json install(const LauncherStore& store, const std::string& build, int minutes, const char* platform = "linux-x86_64") {
  auto reference = install_launcher_payload(store.root(), {.build_id = build, .platform = platform});
  fs::last_write_time(store.payload(reference), fs::file_time_type(std::chrono::minutes(minutes + 28000000)));
  return reference;
}

// A record written, then damaged on disk or refused on saving: what is on disk is what was last accepted.
TEST(LauncherStore, RecordsKeepUnknownMembersRefusedOnesAreNeverRewrittenAndTheFallbackIsTheNewestIntact) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  const fs::path file = dir / "launcher/installation.json";
  const json reference = {{"manifest_sha256", std::string(64, 'a')}, {"build_id", "launcher-1.0.0"}};
  json fresh = store.load();
  EXPECT_FALSE(fs::exists(file));
  fresh["active"] = reference;
  fresh["note"] = {{"kept", {1, 2, 3}}};
  store.save(fresh);
  fresh["generation"] = 1;
  EXPECT_EQ(test::read_file(file), fresh.dump());  // compact, sorted keys, unknown ones kept

  // Changed members over the accepted record (insert keeps the keys already there).
  auto with = [&](json changes) {
    changes.insert(fresh.begin(), fresh.end());
    return changes;
  };
  const std::string exhausted = with({{"generation", UINT64_MAX}}).dump();
  test::write_file(file, exhausted);
  EXPECT_TRELK_ERROR(store.save(store.load()), "launcher_state", "Launcher state generation is exhausted");
  EXPECT_TRELK_ERROR(store.save(with({{"note", std::string(32768, 'y')}})), "size_limit",
                     "Launcher state exceeds its durable bound");
  EXPECT_EQ(test::read_file(file), exhausted);

  const json attempt = {{"nonce", std::string(32, 'f')}, {"reference", reference}};
  json missing = fresh;
  missing.erase("candidate");
  const std::tuple<std::string, const char*, const char*> cases[] = {
      {with({{"format", "trelk-launcher-store-v2"}}).dump(), "unsupported_schema",
       "Unknown launcher state was preserved"},
      {with({{"attempt", attempt}, {"candidate", reference}}).dump(), "launcher_state",
       "Launcher candidate/startup state is contradictory"},
      {with({{"attempt", {{"nonce", "abc"}, {"reference", reference}}}}).dump(), "launcher_state",
       "Launcher startup identity is invalid"},
      {missing.dump(), "launcher_state", "Launcher installation record is malformed; it was preserved"},
      {"{\"schema_version\":1,", "invalid_json", ""},
  };
  for (const auto& [text, code, message] : cases) {
    SCOPED_TRACE(text);
    test::write_file(file, text);
    EXPECT_TRELK_ERROR(LauncherStore{dir.path()}, code, message);
    auto view = LauncherStore::for_launch(dir.path());
    EXPECT_TRELK_ERROR(view->status(), code, message);
    EXPECT_FALSE(view->selection().has_value());
    EXPECT_EQ(test::read_file(file), text);
  }

  // Without a usable record the newest intact version for this platform is chosen.
  EXPECT_TRELK_ERROR(store.fallback_active(), "launcher_missing", "No installed Trelk version could be started");
  auto old_version = install(store, "launcher-1", 1);
  auto new_version = install(store, "launcher-2", 2);
  install(store, "launcher-3", 3, "windows-x86_64");  // newer, but never chosen
  fs::create_directory(store.directory() / "versions" / std::string(64, 'e'));
  EXPECT_EQ(store.fallback_active(), new_version);

  // The newest loses once its manifest no longer hashes to its name.
  auto manifest = store.directory() / "manifests" / (new_version["manifest_sha256"].get<std::string>() + ".json");
  test::write_file(manifest, test::read_file(manifest) + "\n");
  EXPECT_EQ(store.fallback_active(), old_version);

  // Equal times go to the first listed.
  fs::remove_all(store.directory() / "versions");
  for (const char* build : {"launcher-a", "launcher-b", "launcher-c"}) install(store, build, 7);
  auto first = fs::directory_iterator(store.directory() / "versions")->path().filename().string();
  EXPECT_EQ(store.fallback_active()["manifest_sha256"], first);
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

  auto manifest = store.manifest(new_version);
  auto health = manifest.startup_health(attempt, 77, "cli", true);
  EXPECT_TRELK_ERROR(store.confirm_candidate(attempt, health, 78, "cli"), "launcher_health",
                     "Launcher health does not match its build, process, mode, interrupt contract and attempt");
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
  test::write_file(store.payload(new_version) / "share/readme.txt", "Trelk launcheR\n");
  EXPECT_TRUE(test::fails_with([&] { store.confirm_candidate(attempt, health, 77, "cli"); }, "content_mismatch"));
  EXPECT_EQ(std::pair(store.load()["attempt"], store.load()["active"]), std::pair(attempt, old_version));

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
