// The installer killed at any of its mutating calls: the same command run again completes what it started.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/contract.hpp"
#include "core/json.hpp"
#include "installed/installed.hpp"
#include "pack.hpp"
#include "repository.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;

// A bootstrap release of the built bootstrap, the reference launcher's package and a trusted root.
struct Packages {
  test::TempDir dir;
  fs::path home = dir / "home";
  fs::path data = dir / "data";
  fs::path bootstrap_json = dir / "bootstrap.json";
  fs::path bootstrap_archive = dir / "bootstrap.tar.zst";
  Repository repository = Repository::create(dir / "repo", {});

  Packages() {
    fs::create_directories(dir / "image/bin");
    fs::create_directories(home);
    fs::copy_file(fs::path(TRELK_BIN_DIR) / "trelk-bootstrap", dir / "image/bin/trelk-bootstrap");
    PackOptions options;
    options.build_id = "bootstrap-test";
    options.executable = "bin/trelk-bootstrap";
    const json snapshot = pack_snapshot(dir / "image", bootstrap_archive, options);
    test::write_file(bootstrap_json, canonical_json(trelk::bootstrap_release(snapshot)));
  }

  std::map<std::string, std::string> variables() const {
    return {{"HOME", home.string()}, {"TRELK_NO_DIALOGS", "1"}, {"PATH", "/usr/bin:/bin"}};
  }

  test::Command command(const std::vector<std::string>& extra = {}) const {
    const std::vector<std::pair<std::string, std::string>> options = {
        {"--bootstrap-release", bootstrap_json.string()},
        {"--bootstrap-archive", bootstrap_archive.string()},
        {"--launcher-release", test::Installation::release().string()},
        {"--launcher-archive", test::Installation::archive().string()},
        {"--root", repository.root_file().string()},
        {"--metadata-url", "https://updates.example/metadata/"},
        {"--targets-url", "https://updates.example/targets/"}};
    std::vector<std::string> arguments = {data.string()};
    for (const auto& [option, value] : options) arguments.insert(arguments.end(), {option, value});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return {fs::path(TRELK_TOOLS_DIR) / "trelk-install", arguments, variables()};
  }
  test::Outcome install(const std::vector<std::string>& extra = {}) const {
    const test::Command installer = command(extra);
    return test::run_program(installer.program, installer.arguments, installer.environment);
  }

  test::Outcome start() const {
    return test::run_program(data / installed_bootstrap_entry, test::self_status, variables());
  }
};

TEST(CrashConsistency, TheSameInstallCommandCompletesWhatAKilledOneStartedAndNothingElse) {
  std::string reason;
  const auto strace = test::usable_strace(reason);
  if (!strace) GTEST_SKIP() << reason;
  std::vector<test::KillPoint> points;
  {
    Packages reference;
    test::Outcome outcome;
    points = test::kill_points(*strace, reference.command(), outcome);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
  }
  for (const auto& point : test::sample_kill_points(points, 10)) {
    SCOPED_TRACE(point.text());
    Packages packages;
    test::run_killed(*strace, packages.command(), point);
    const bool complete =
        fs::exists(packages.data / "native/installation.json") && !fs::exists(packages.data / native_setup_marker);
    const auto again = packages.install();
    EXPECT_EQ(again.status, complete ? 1 : 0) << again.err;
    EXPECT_TRUE(test::launcher_answered(packages.start()));
  }
  // A directory holding anything this installer did not make is never taken over.
  Packages foreign;
  test::write_file(foreign.data / "notes.txt", "mine");
  const auto refused = foreign.install();
  EXPECT_NE(refused.err.find("(not_empty)"), std::string::npos) << refused.err;
  EXPECT_EQ(read_file(foreign.data / "notes.txt"), "mine");
}

}  // namespace
}  // namespace trelk
