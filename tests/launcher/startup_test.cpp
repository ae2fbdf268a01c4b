// First starts of real reference-launcher releases under the startup-health protocol.
#include <gtest/gtest.h>
#include <signal.h>

#include <tuple>

#include "reference_release.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A store with a working version and a candidate release that behaves as told.
struct Release {
  test::TempDir dir;
  json working;
  json candidate;

  Release(const std::string& behaviour, std::int64_t hold_ms) {
    working = test::install_reference(dir.path(), "launcher-1.0.0", "normal");
    candidate = test::install_reference(dir.path(), "launcher-2.0.0", behaviour, hold_ms);
    test::select_versions(dir.path(), working, candidate);
  }
  json record() const { return LauncherStore(dir.path()).load(); }
};

TEST(FirstStart, MisbehavingReleasesAreRejectedAndTheWorkingVersionStaysSelected) {
  const std::pair<std::string, std::string> cases[] = {{"exit_before_health", "launcher_startup_failed"},
                                                       {"no_health", "launcher_startup_timeout"},
                                                       {"unleased_health", "launcher_lease"}};
  for (const auto& [behaviour, error] : cases) {
    SCOPED_TRACE(behaviour);
    Release release(behaviour, 60000);
    auto outcome = test::supervise_candidate(release.dir.path(), 1500ms);
    EXPECT_FALSE(outcome.confirmed);
    EXPECT_EQ(outcome.error, error);
    ASSERT_NE(outcome.child, nullptr);
    EXPECT_TRUE(outcome.child->poll().has_value());
    auto record = release.record();
    EXPECT_EQ(record["active"], release.working);
    EXPECT_TRUE(record["rollback"].is_null() && record["attempt"].is_null() && record["candidate"].is_null());
    EXPECT_EQ(record["failed_candidate"], (json{{"reference", release.candidate}, {"problem", "startup_failed"}}));
  }
}

// A confirmed launcher leases its version while it runs, so exclusive users (uninstall, cleanup) stay out.
TEST(FirstStart, HealthyReleasesBecomeActiveAndLeaseTheirVersionWhileRunning) {
  // Ctrl+C ends the normal one's work at a safe point ("cancelled"); the crashing one proved that it started, and
  // what it does afterwards is no longer the protocol's business.
  for (const auto& [behaviour, hold_ms, status] :
       {std::tuple{"normal", 60000, 4}, std::tuple{"crash_after_health", 0, 128 + SIGABRT}}) {
    SCOPED_TRACE(behaviour);
    Release release(behaviour, hold_ms);
    auto outcome = test::supervise_candidate(release.dir.path(), 20000ms);
    ASSERT_TRUE(outcome.confirmed) << outcome.error;
    auto record = release.record();
    EXPECT_EQ(record["active"], release.candidate);
    EXPECT_EQ(record["rollback"], release.working);
    EXPECT_TRUE(record["attempt"].is_null() && record["failed_candidate"].is_null());
    LauncherStore store(release.dir.path());
    if (hold_ms > 0) {
      EXPECT_TRELK_ERROR(store.version_guard(release.candidate, LockMode::exclusive), "busy",
                         "Another Trelk operation is using this state");
      EXPECT_TRUE(outcome.child->request_interrupt());
    }
    EXPECT_EQ(outcome.child->wait(), status);
    EXPECT_NE(store.version_guard(release.candidate, LockMode::exclusive), nullptr);
  }
}

// Kills a launcher orphaned by its supervisor when the test ends.
struct KillOnExit {
  pid_t pid = 0;
  ~KillOnExit() {
    if (pid > 0) ::kill(pid, SIGKILL);
  }
};

TEST(FirstStart, KilledSupervisorLeavesAnAttemptThatRecoveryResolves) {
  Release release("normal", 60000);
  LauncherStore store(release.dir.path());
  ChildProcess supervisor(TRELK_TEST_PROGRAMS "/candidate_supervisor", {path_utf8(release.dir.path())},
                          release.dir.path(), {});
  json attempt;
  ASSERT_TRUE(test::eventually([&] {
    attempt = store.load()["attempt"];
    return !attempt.is_null() && fs::exists(store.health_path(attempt));
  }));
  auto ack = parse_json(read_file(store.startup_ack_path(attempt), 4096), 4096);
  KillOnExit orphan{static_cast<pid_t>(ack["pid"].get<std::int64_t>())};

  // The supervisor dies without confirming; its launcher lives on, orphaned, holding the attempt lease.
  ASSERT_TRUE(supervisor.terminate(250ms));
  auto recover = [&] {
    auto owner = store.owner();
    store.recover_attempt();
  };
  EXPECT_TRUE(test::fails_with(recover, "launcher_running"));
  EXPECT_EQ(store.load()["attempt"], attempt);

  ASSERT_EQ(::kill(orphan.pid, SIGKILL), 0);
  EXPECT_TRUE(test::eventually([&] {
    try {
      recover();
      return true;
    } catch (const Error& error) {
      return error.code != "launcher_running";
    }
  }));
  auto record = store.load();
  EXPECT_TRUE(record["attempt"].is_null());
  EXPECT_EQ(record["failed_candidate"], (json{{"reference", release.candidate}, {"problem", "startup_interrupted"}}));
  EXPECT_EQ(record["active"], release.working);
}

}  // namespace
}  // namespace trelk
