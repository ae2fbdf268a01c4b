// The real trelk-bootstrap against a real store holding releases of the reference launcher.
#include "bootstrap/start_driver.hpp"

#include <signal.h>

#include <ctime>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "bootstrap/cli_grammar.hpp"
#include "core/json.hpp"
#include "launcher/reference_release.hpp"
#include "launcher/store.hpp"
#include "support/errors.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const fs::path bootstrap = fs::path(TRELK_BIN_DIR) / "trelk-bootstrap";

struct Profile {
  test::TempDir home;
  fs::path root = home.path() / "data";

  std::map<std::string, std::string> environment() const {
    return {{"HOME", home.path().string()}, {"TRELK_NO_DIALOGS", "1"}, {"PATH", "/usr/bin:/bin"}};
  }
  Args cli(Args command) const {
    command.insert(command.begin(), {"--data-dir", root.string(), "--cli", "--"});
    return command;
  }
  test::Outcome run(const Args& arguments) const { return test::run_program(bootstrap, arguments, environment()); }
  json status() const { return LauncherStore(root, LaunchView{}).status(); }
};

// What the launcher that answered `self status` says about itself.
json running(const test::Outcome& outcome) {
  return json::parse(outcome.out.substr(0, outcome.out.find('\n'))).at("running");
}

TEST(StartDriver, ExitStatusesHelpAndProblemDocuments) {
  Profile profile;
  auto expect = [&](const Args& arguments, int status, const std::string& out, const std::string& err) {
    const test::Outcome outcome = profile.run(arguments);
    EXPECT_EQ(std::tuple(outcome.status, outcome.out, outcome.err), std::tuple(status, out, err))
        << testing::PrintToString(arguments);
  };
  expect({"--gui", "--cli"}, 2, "", "Duplicate native entry option: interface\n");
  // Terminal control bytes from the command line never reach the terminal.
  expect({"--\x1b[31m"}, 2, "", "Unsupported native bootstrap option: --?[31m\n");
  expect({"--cli", "--", "--data-dir", "/x", "list"}, 2, "",
         "Set the data directory on the native bootstrap, before forwarded arguments\n");
  expect({"--cli", "--", "uninstall", "g", "--confirm-game", "h"}, 3, "",
         "Specify uninstall GAME --confirm-game GAME; add --remove-saves only to delete saves\n");
  expect({"--game", "Not-An-Id"}, 1, "", "Game and build IDs use lower-case letters, digits, dots and hyphens\n");
  expect({"--cli", "--", "--help", "not-a-command"}, 0, cli_help(), "");
  expect({"--cli", "--", "--json", "--help"}, 0,
         json{{"kind", "help"}, {"schema_version", 1}, {"text", cli_help()}}.dump() + "\n", "");
  // Non-ASCII is escaped and invalid UTF-8 replaced rather than failing the report.
  expect({"--cli", "--", "--json", "list", "--\xc3\xbc\xff"}, 2,
         R"({"problem":{"code":"usage","message":"Unsupported option: --\u00fc\ufffd","recovery":[]},)"
         R"("schema_version":1})"
         "\n",
         "");
}

// Three first starts at once, each with one standard stream closed: all run the candidate, which ends confirmed,
// and neither diagnostics nor the launcher's output land in a store lock that took a closed stream's number.
TEST(StartDriver, FirstStartsAtOnceRunAndConfirmTheCandidateEvenWithAStreamClosed) {
  Profile profile;
  auto candidate = test::install_reference(profile.root, "ref-1", "normal", 1500);
  test::select_versions(profile.root, nullptr, candidate);
  std::vector<std::unique_ptr<test::Started>> starts;
  for (const int closed : {0, 1, 2}) {
    Args arguments{"-c", "exec \"$0\" \"$@\" " + std::to_string(closed) + ">&-", bootstrap.string()};
    for (const auto& argument : profile.cli({"self", "status"})) arguments.push_back(argument);
    starts.push_back(std::make_unique<test::Started>("/bin/sh", arguments, profile.environment()));
  }
  for (const int closed : {0, 1, 2}) {
    const auto outcome = starts[closed]->wait();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(closed == 1 || running(outcome)["build_id"] == "ref-1");
  }
  EXPECT_EQ(std::pair(profile.status()["active"], profile.status()["candidate"]), std::pair(candidate, json()));
  for (const auto& entry : fs::recursive_directory_iterator(profile.root / "launcher"))
    EXPECT_TRUE(entry.path().extension() != ".lock" || fs::file_size(entry.path()) == 0) << entry.path();
}

TEST(StartDriver, BrokenCandidatesAreRejectedAndTheWorkingVersionStarts) {
  // The CLI says in one line which candidate was rejected and why. A candidate that crashes once healthy has proved
  // that it started: it stays, and the old one becomes the rollback.
  for (const auto& [behaviour, why] :
       {std::pair{"exit_before_health", "launcher_startup_failed): Launcher candidate exited before initialization"},
        std::pair{"unleased_health", "launcher_lease): The running launcher did not retain native startup ownership"},
        std::pair{"no_health", "launcher_startup_timeout): Launcher candidate did not confirm initialization"},
        std::pair{"crash_after_health", ""}}) {
    SCOPED_TRACE(behaviour);
    const bool healthy = *why == 0;
    Profile profile;
    auto working = test::install_reference(profile.root, "ref-1", "normal");
    auto candidate = test::install_reference(profile.root, "ref-2", behaviour, 20000);
    test::select_versions(profile.root, working, candidate);
    auto outcome = profile.run(profile.cli({"self", "status"}));
    auto status = profile.status();
    const json failed = {{"reference", candidate}, {"problem", "startup_failed"}};
    EXPECT_EQ(json::array({status["active"], status["rollback"], status["failed_candidate"], status["candidate"],
                           status["attempt"]}),
              json::array({healthy ? candidate : working, healthy ? working : json(), healthy ? json() : failed,
                           nullptr, nullptr}));
    EXPECT_EQ(outcome.status, healthy ? 128 + SIGABRT : 0) << outcome.err;
    if (healthy) continue;
    EXPECT_EQ(running(outcome)["build_id"], "ref-1");
    EXPECT_EQ(outcome.err,
              "trelk: launcher candidate ref-2 rejected (" + std::string(why) + "; starting the working version\n");
  }

  // Nothing to fall back to: the candidate's own failure is the answer.
  Profile profile;
  test::select_versions(profile.root, nullptr, test::install_reference(profile.root, "ref-1", "exit_before_health"));
  auto outcome = profile.run(profile.cli({"--json", "self", "status"}));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(json::parse(outcome.out)["problem"]["code"], "launcher_startup_failed") << outcome.err;
  EXPECT_TRUE(profile.status()["active"].is_null() && profile.status()["candidate"].is_null());
}

TEST(StartDriver, AKilledBootstrapLeavesAnAttemptThatRecoveryResolves) {
  Profile profile;
  auto candidate = test::install_reference(profile.root, "ref-1", "no_health", 60000);
  test::select_versions(profile.root, nullptr, candidate);
  LauncherStore store(profile.root);
  auto started = std::make_unique<test::Started>(bootstrap, profile.cli({"self", "status"}), profile.environment());
  json attempt;
  ASSERT_TRUE(test::eventually([&] {
    attempt = store.load()["attempt"];
    return !attempt.is_null() && fs::exists(store.startup_ack_path(attempt));
  }));
  const auto orphan = json::parse(test::read_file(store.startup_ack_path(attempt)))["pid"].get<pid_t>();
  // The bootstrap dies before any health; its launcher lives on, orphaned, holding the attempt lease.
  kill(started->pid(), SIGKILL);
  started->wait();
  auto recover = [&] {
    auto owner = store.owner();
    store.recover_attempt();
  };
  EXPECT_TRUE(test::fails_with(recover, "launcher_running"));
  EXPECT_EQ(store.load()["attempt"], attempt);
  ASSERT_EQ(kill(orphan, SIGKILL), 0);
  EXPECT_TRUE(test::eventually([&] { return !test::fails_with(recover, "launcher_running"); }));
  const json interrupted = {{"reference", candidate}, {"problem", "startup_interrupted"}};
  EXPECT_EQ(std::pair(store.load()["attempt"], store.load()["failed_candidate"]), std::pair(json(), interrupted));
}

// Without a record naming it (an interrupted install, a lost record) nothing vouches for a version's files: found
// by the fallback, it runs only once its tree verifies. A recorded version that failed twice to confirm a GUI start
// gives way to the rollback.
TEST(StartDriver, UnprovenOrTwiceUnconfirmedVersionsDoNotStart) {
  Profile profile;
  auto working = test::install_reference(profile.root, "ref-1", "normal");
  const fs::path entry = LauncherStore(profile.root).payload(working) / "bin/trelk";
  std::string image = test::read_file(entry);
  for (const bool damaged : {true, false}) {
    image.back() ^= 1;  // same size, so only a full verification tells
    test::write_file(entry, image);
    fs::permissions(entry, fs::perms::owner_all);
    const auto outcome = profile.run(profile.cli({"self", "status"}));
    EXPECT_EQ(outcome.status, damaged ? 1 : 0) << outcome.err;
    EXPECT_EQ(outcome.err.find("launcher version unusable (content_mismatch): ") != std::string::npos, damaged);
    // A directly started launcher also leases the version it runs from.
    EXPECT_TRUE(damaged || running(outcome)["manifest_sha256"] == working["manifest_sha256"]);
  }

  auto older = test::install_reference(profile.root, "ref-0", "normal");
  test::select_versions(profile.root, working, nullptr, older);
  auto marker = profile.root / "launcher/start-attempt.json";
  auto start_after = [&](std::int64_t age, int attempts) {
    test::write_file(marker, json{{"attempts", attempts},
                                  {"manifest_sha256", working["manifest_sha256"]},
                                  {"started_at", std::time(nullptr) - age}}
                                 .dump());
    auto outcome = profile.run({"--data-dir", profile.root.string()});
    EXPECT_EQ(outcome.status, 0);
    return std::pair(outcome.err, json::parse(test::read_file(marker)));
  };
  // A marker younger than 30 seconds is a start still in progress; an older one counts.
  EXPECT_EQ(start_after(10, 1).second["attempts"], 1);
  EXPECT_EQ(start_after(40, 1).second["attempts"], 2);
  auto [err, written] = start_after(40, 2);
  EXPECT_EQ(err, "trelk: launcher version unusable (launcher_damaged): This Trelk version failed to start twice\n");
  EXPECT_EQ(std::pair(written["manifest_sha256"], written["attempts"]), std::pair(older["manifest_sha256"], json(1)));
  confirm_launcher_start(profile.root);
  EXPECT_FALSE(fs::exists(marker));
}

TEST(StartDriver, CtrlCReachesTheLauncherAndItsStatusComesBack) {
  // A running launcher leases its version, so exclusive users (uninstall, cleanup) stay out until it ends.
  Profile profile;
  auto candidate = test::install_reference(profile.root, "ref-1", "normal", 60000);
  test::select_versions(profile.root, nullptr, candidate);
  LauncherStore store(profile.root);
  auto leased = [&] { return test::fails_with([&] { store.version_guard(candidate, LockMode::exclusive); }, "busy"); };
  // The candidate is supervised, so the interrupt travels through the channel.
  auto started = std::make_unique<test::Started>(bootstrap, profile.cli({"self", "status"}), profile.environment());
  ASSERT_TRUE(test::eventually([&] { return profile.status()["active"] == candidate; }));
  EXPECT_TRUE(leased());
  kill(started->pid(), SIGINT);
  EXPECT_EQ(started->wait().status, 4);
  EXPECT_FALSE(leased());
}

}  // namespace
}  // namespace trelk
