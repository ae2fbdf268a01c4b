#include "launcher/store.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

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

// Children add one to a counter per round under the owner lock; a lost update shows in the counter.
TEST(LauncherStore, OwnerLockSerialisesWritersAcrossProcesses) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  constexpr int children = 4, rounds = 25;
  std::vector<pid_t> pids;
  for (int c = 0; c < children; ++c) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        LauncherStore own(dir.path());
        for (int r = 0; r < rounds; ++r) {
          std::unique_ptr<FileLock> lock;
          while (!lock) {
            try {
              lock = own.owner();
            } catch (const Error& error) {
              if (error.code != "busy") throw;  // a slow machine may hold it past the wait
            }
          }
          auto current = own.load();
          current["counter"] = current.value("counter", 0) + 1;
          own.save(current);
        }
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(store.load().at("counter"), children * rounds);  // no lost update
  EXPECT_EQ(store.load().at("generation"), children * rounds);
}

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

TEST(LauncherRuntime, AttachChecksTheStartupIdentityBeforeTakingLeases) {
  test::TempDir dir;
  // Outside every installed version and not under the protocol: nothing to attach to.
  EXPECT_EQ(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path()), nullptr);

  test::select_versions(dir.path(), nullptr, install_launcher_payload(dir.path(), LauncherPayload{}));
  LauncherStore store(dir.path());
  auto attempt = store.begin_candidate();
  const char* mismatch = "Launcher startup does not match this build, interface or data root";
  {
    test::ScopedEnv variables;
    for (const auto& [name, value] : store.health_environment(attempt, "cli")) variables.set(name, value);
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-9.0.0", "cli", dir.path()), "launcher_health", mismatch);
    // This test program is no entry point of the version.
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path()), "launcher_identity",
                       "Running launcher image differs from its verified native entry point");
    FileLock probe(store.startup_lease_path(attempt), false, LockMode::exclusive);  // no lease was taken
  }
  EXPECT_EQ(store.load()["attempt"], attempt);
  EXPECT_FALSE(fs::exists(store.startup_ack_path(attempt)));
}

}  // namespace
}  // namespace trelk
