// `self update` through the installed bootstrap, killed before its mutating calls or run twice at once:
// the next start always runs a working version, and the next update finishes what was interrupted.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "installed/publisher.hpp"
#include "support/kill_points.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::Publisher;
using test::read_file;
using test::Release;

// Launcher and bootstrap 1.0 installed and confirmed, 1.1 of both published; a pristine copy of the
// installation is kept so that every run starts from exactly this state.
struct Updatable {
  Publisher publisher;
  fs::path pristine = publisher.dir / "pristine";

  Updatable() {
    const Release launcher = publisher.launcher("launcher-1.0", "normal");
    const Release bootstrap = publisher.bootstrap("bootstrap-1.0");
    publisher.publish(launcher, bootstrap);
    const auto installed = publisher.install(launcher, bootstrap);
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(publisher.running(), "launcher-1.0");
    publisher.publish(publisher.launcher("launcher-1.1", "normal"), publisher.bootstrap("bootstrap-1.1"));
    copy(publisher.data, pristine);
  }
  static void copy(const fs::path& from, const fs::path& to) {
    fs::remove_all(to);
    ASSERT_EQ(test::run_program("/bin/cp", {"-a", from.string(), to.string()}, {}).status, 0);
  }
  void restore() { copy(pristine, publisher.data); }
  test::Command update() const {
    return {publisher.data / "native/bootstrap/bin/trelk-bootstrap",
            {"--cli", "--", "self", "update"},
            publisher.environment()};
  }
  // Whatever happened before, a start runs a working version and an update then completes the release.
  void expect_recovers(const std::string& context) {
    SCOPED_TRACE(context);
    const std::string first = publisher.running();
    EXPECT_TRUE(first == "launcher-1.0" || first == "launcher-1.1") << first;
    publisher.update();
    EXPECT_EQ(publisher.running(), "launcher-1.1");
    EXPECT_EQ(publisher.running(), "launcher-1.1");
    EXPECT_EQ(read_file(publisher.data / "native/bootstrap/share/release.txt"), "bootstrap-1.1");
  }
};

TEST(CrashConsistency, SelfUpdateKilledBeforeAnyChangeLeavesAWorkingInstall) {
  std::string why;
  const auto strace = test::usable_strace(why);
  if (!strace) GTEST_SKIP() << why;
  Updatable updatable;
  test::Outcome reference;
  const auto points = test::kill_points(*strace, updatable.update(), reference);
  ASSERT_EQ(reference.status, 0) << reference.err;
  const auto sample = test::sample_kill_points(points, 20);
  std::printf("kill points: running %zu of %zu\n", sample.size(), points.size());
  for (const auto& point : sample) {
    updatable.restore();
    test::run_killed(*strace, updatable.update(), point);
    updatable.expect_recovers(point.text());
  }
}

TEST(UpdateStaging, TwoUpdatesAtOnceNeverCorruptTheInstallation) {
  Updatable updatable;
  const test::Command command = updatable.update();
  test::Started first(command.program, command.arguments, command.environment);
  test::Started second(command.program, command.arguments, command.environment);
  for (auto* started : {&first, &second}) {
    const auto outcome = started->wait();
    // One may find the other at work; it says so and changes nothing.
    if (outcome.status != 0) {
      EXPECT_NE(outcome.err.find("Another Trelk operation is using this state"), std::string::npos) << outcome.err;
    }
  }
  updatable.expect_recovers("after two concurrent updates");
}

}  // namespace
}  // namespace trelk
