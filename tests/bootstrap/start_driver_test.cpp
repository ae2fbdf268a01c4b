// The real trelk-bootstrap against a real store holding releases of the reference launcher.
#include "bootstrap/start_driver.hpp"

#include <signal.h>

#include <ctime>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "launcher/reference_release.hpp"
#include "launcher/store.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

const fs::path bootstrap = fs::path(TRELK_BIN_DIR) / "trelk-bootstrap";

struct Profile {
  test::TempDir home;
  fs::path root = home.path() / "data";

  std::map<std::string, std::string> environment() const {
    return {{"HOME", home.path().string()}, {"TRELK_NO_DIALOGS", "1"}, {"PATH", "/usr/bin:/bin"}};
  }
  std::vector<std::string> cli(std::vector<std::string> command) const {
    std::vector<std::string> arguments{"--data-dir", root.string(), "--cli", "--"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return arguments;
  }
  test::Outcome run(const std::vector<std::string>& arguments) const {
    return test::run_program(bootstrap, arguments, environment());
  }
  json status() const { return LauncherStore(root, LaunchView{}).status(); }
};

json running_build(const test::Outcome& outcome) {
  auto document = json::parse(outcome.out.substr(0, outcome.out.find('\n')));
  return document.at("running").at("build_id");
}

TEST(StartDriver, FirstStartConfirmsTheCandidateSecondStartsItDirectly) {
  Profile profile;
  auto candidate = test::install_reference(profile.root, "ref-1", "normal");
  test::select_versions(profile.root, nullptr, candidate);

  auto first = profile.run(profile.cli({"self", "status"}));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(running_build(first), "ref-1");
  EXPECT_EQ(profile.status()["active"], candidate);
  EXPECT_TRUE(profile.status()["candidate"].is_null());

  // The direct start replaces the bootstrap's image: the launcher runs under the bootstrap's pid.
  test::Started second(bootstrap, profile.cli({"self", "status"}), profile.environment());
  auto pid = second.pid();
  auto outcome = second.wait();
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  auto document = json::parse(outcome.out);
  EXPECT_EQ(document["running"]["build_id"], "ref-1");
  EXPECT_EQ(document["active"], candidate);
  EXPECT_EQ(document["running"].value("pid", json()), json(pid));
}

TEST(StartDriver, BrokenCandidatesAreRejectedAndTheWorkingVersionStarts) {
  for (const char* behaviour : {"exit_before_health", "unleased_health", "no_health"}) {
    SCOPED_TRACE(behaviour);
    Profile profile;
    auto working = test::install_reference(profile.root, "ref-1", "normal");
    auto broken = test::install_reference(profile.root, "ref-2", behaviour, 20000);
    test::select_versions(profile.root, working, broken);

    auto outcome = profile.run(profile.cli({"self", "status"}));
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(running_build(outcome), "ref-1");
    auto status = profile.status();
    EXPECT_EQ(status["active"], working);
    EXPECT_TRUE(status["candidate"].is_null());
    EXPECT_TRUE(status["attempt"].is_null());
  }
}

TEST(StartDriver, ACandidateWithNothingToFallBackToReportsItsOwnFailure) {
  Profile profile;
  auto broken = test::install_reference(profile.root, "ref-1", "exit_before_health");
  test::select_versions(profile.root, nullptr, broken);
  auto outcome = profile.run(profile.cli({"--json", "self", "status"}));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "");
  auto problem = json::parse(outcome.out)["problem"];
  EXPECT_EQ(problem["code"], "launcher_startup_failed");
  EXPECT_EQ(problem["message"], "Launcher candidate exited before initialization");
  auto status = profile.status();
  EXPECT_TRUE(status["active"].is_null());
  EXPECT_TRUE(status["candidate"].is_null());
}

TEST(StartDriver, GuiStartMarkerCountsUnconfirmedStartsAndMovesOn) {
  Profile profile;
  auto older = test::install_reference(profile.root, "ref-0", "normal");
  auto working = test::install_reference(profile.root, "ref-1", "normal");
  {
    LauncherStore store(profile.root);
    auto record = store.load();
    record["active"] = working;
    record["rollback"] = older;
    store.save(record);
  }
  auto marker = profile.root / "launcher/start-attempt.json";
  auto mark = [&](const json& version, std::int64_t age, int attempts) {
    test::write_file(marker, json{{"attempts", attempts},
                                  {"manifest_sha256", version["manifest_sha256"]},
                                  {"started_at", std::time(nullptr) - age}}
                                 .dump());
  };
  auto gui = std::vector<std::string>{"--data-dir", profile.root.string()};

  // A marker younger than 30 seconds is a start still in progress: attempts stay at 1.
  mark(working, 10, 1);
  ASSERT_EQ(profile.run(gui).status, 0);
  auto written = json::parse(test::read_file(marker));
  EXPECT_EQ(written["attempts"], 1);
  EXPECT_EQ(written["manifest_sha256"], working["manifest_sha256"]);

  // An older unconfirmed start counts: the second attempt comes after a full verification.
  mark(working, 40, 1);
  ASSERT_EQ(profile.run(gui).status, 0);
  EXPECT_EQ(json::parse(test::read_file(marker))["attempts"], 2);

  // Twice unconfirmed: the rollback version starts instead.
  mark(working, 40, 2);
  auto outcome = profile.run(gui);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err,
            "trelk: launcher version unusable (launcher_damaged): This Trelk version failed to start twice\n");
  written = json::parse(test::read_file(marker));
  EXPECT_EQ(written["manifest_sha256"], older["manifest_sha256"]);
  EXPECT_EQ(written["attempts"], 1);

  confirm_launcher_start(profile.root);
  EXPECT_FALSE(fs::exists(marker));
}

// True once the process runs the launcher's image and has its own Ctrl+C handler.
bool launcher_catches_interrupts(pid_t pid) {
  std::error_code error;
  const auto image = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
  if (error || image.filename() != "trelk") return false;
  const std::string status = test::read_file("/proc/" + std::to_string(pid) + "/status");
  const auto line = status.find("SigCgt:\t");
  return line != std::string::npos && (std::stoull(status.substr(line + 8, 16), nullptr, 16) & (1ull << (SIGINT - 1)));
}

TEST(StartDriver, CtrlCReachesTheLauncherAndItsStatusComesBack) {
  // Supervised candidate: the interrupt travels through the channel.
  Profile profile;
  auto candidate = test::install_reference(profile.root, "ref-1", "normal", 60000);
  test::select_versions(profile.root, nullptr, candidate);
  test::Started started(bootstrap, profile.cli({"self", "status"}), profile.environment());
  ASSERT_TRUE(test::eventually([&] { return profile.status()["active"] == candidate; }));
  kill(started.pid(), SIGINT);
  EXPECT_EQ(started.wait().status, 4);

  // Direct start: the launcher has replaced the bootstrap and takes Ctrl+C itself.
  test::Started direct(bootstrap, profile.cli({"self", "status"}), profile.environment());
  ASSERT_TRUE(test::eventually([&] { return launcher_catches_interrupts(direct.pid()); }));
  kill(direct.pid(), SIGINT);
  EXPECT_EQ(direct.wait().status, 4);
}

TEST(StartDriver, TwoBootstrapsAtOnceOnOneInstallation) {
  Profile profile;
  auto candidate = test::install_reference(profile.root, "ref-1", "normal", 1500);
  test::select_versions(profile.root, nullptr, candidate);
  test::Started first(bootstrap, profile.cli({"self", "status"}), profile.environment());
  test::Started second(bootstrap, profile.cli({"self", "status"}), profile.environment());
  for (test::Started* started : {&first, &second}) {
    auto outcome = started->wait();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(running_build(outcome), "ref-1");
  }
  EXPECT_EQ(profile.status()["active"], candidate);
  EXPECT_TRUE(profile.status()["candidate"].is_null());
}

}  // namespace
}  // namespace trelk
