// `self update` through the installed bootstrap, killed before its mutating calls or run twice at once:
// the next start always runs a working version, and the next update finishes what was interrupted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/kill_points.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::Release;

// Launcher and bootstrap 1.0 installed and confirmed, 1.1 of both published; a pristine copy of the
// installation is kept so that every run starts from exactly this state.
struct Updatable {
  test::ServedRepository publisher{test::ServedRepository::two_key_root()};
  std::string old_targets;  // the top-level targets of the 1.0 release

  explicit Updatable(const fs::path& data = {}) {
    if (!data.empty()) publisher.data = data;
    const Release launcher = publisher.launcher("launcher-1.0", "normal");
    const Release bootstrap = publisher.bootstrap("bootstrap-1.0");
    publisher.publish(launcher, bootstrap);
    old_targets = read_file(publisher.repo.metadata_dir() / "targets.json");
    const auto installed = publisher.install(launcher, bootstrap);
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(publisher.running(), "launcher-1.0");
    publisher.publish(publisher.launcher("launcher-1.1", "normal"), publisher.bootstrap("bootstrap-1.1"));
    publisher.keep_pristine();
  }
  void restore() { publisher.restore(); }
  test::Command update() const { return publisher.update_command(); }
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
  for (const auto& point : test::sample_kill_points(points, 20)) {
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

TEST(UpdateStaging, AMixedUpReleaseStagesNothing) {
  // The mirror serves last release's targets beside this release's snapshot.
  Updatable updatable;
  const fs::path targets = updatable.publisher.repo.metadata_dir() / "targets.json";
  const std::string current = read_file(targets);
  test::write_file(targets, updatable.old_targets);
  const auto refused = updatable.publisher.start({"--json", "self", "update"});
  EXPECT_EQ(refused.status, 1);
  const std::string code = json::parse(refused.out)["problem"]["code"].get<std::string>();
  EXPECT_TRUE(code == "length_mismatch" || code == "hash_mismatch") << refused.out;
  EXPECT_TRUE(updatable.publisher.status()["candidate"].is_null());
  EXPECT_FALSE(fs::exists(updatable.publisher.data / "native/bootstrap-update.json"));
  test::write_file(targets, current);
  updatable.expect_recovers("after the mirror was repaired");
}

TEST(UpdateStaging, ADiskWithoutRoomForTheReleaseIsReportedBeforeAnyDownload) {
  test::TempDir mount_point;
  if (::mount("tmpfs", mount_point.path().c_str(), "tmpfs", 0, "size=1g") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point.path()};
  Updatable updatable(mount_point.path() / "data");
  // Fill the volume so that the new release cannot fit beside the installed one.
  const auto space = fs::space(mount_point.path());
  const int filler = ::open((mount_point.path() / "filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(filler, 0);
  ASSERT_EQ(::posix_fallocate(filler, 0, static_cast<off_t>(space.available - (8 << 20))), 0);
  ::close(filler);
  const json before = updatable.publisher.status();
  const auto refused = updatable.publisher.start({"--json", "self", "update"});
  EXPECT_EQ(refused.status, 1);
  const json problem = json::parse(refused.out)["problem"];
  EXPECT_EQ(problem["code"], "insufficient_space");
  EXPECT_NE(problem["message"].get<std::string>().find("more bytes before installation"), std::string::npos);
  EXPECT_EQ(updatable.publisher.status(), before);
  EXPECT_EQ(updatable.publisher.requests(".tar.zst"), 0u);
}

}  // namespace
}  // namespace trelk
