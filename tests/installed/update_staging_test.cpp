// `self update` through the installed bootstrap: a launcher release that changes one file arrives as a small patch
// applied to the installed version, whatever goes wrong with the patch ends in the full archive, and an update
// killed before its mutating calls or run twice at once is finished by the next one while every start runs a
// working version.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "snapshot/delta.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/manifest.hpp"
#include "support/installation.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::Release;

// Launcher and bootstrap 1.0 installed and confirmed; 1.1 of both published, the launcher's (whose identity document
// is the one changed file) with the delta from 1.0 that trelk-pack made. A pristine copy of the installation is kept
// so that every run starts from exactly this state.
struct Published {
  test::ServedRepository publisher{test::ServedRepository::two_key_root()};
  Release base, next, bootstrap;
  fs::path patch = publisher.dir / "launcher-1.1.patch";
  std::string patch_target;
  json custom;

  explicit Published(const fs::path& data = {}) {
    if (!data.empty()) publisher.data = data;
    base = publisher.launcher("launcher-1.0", "normal");
    const Release bootstrap_10 = publisher.bootstrap("bootstrap-1.0");
    publisher.publish(base, bootstrap_10);
    EXPECT_EQ(publisher.install(base, bootstrap_10).status, 0);
    EXPECT_EQ(publisher.running(), "launcher-1.0");
    next = publisher.launcher("launcher-1.1", "normal");
    bootstrap = publisher.bootstrap("bootstrap-1.1");
    const auto made = test::run_program(fs::path(TRELK_TOOLS_DIR) / "trelk-pack",
                                        {"delta", base.archive.string(), next.archive.string(), patch.string()}, {});
    EXPECT_EQ(made.status, 0) << made.err;
    custom = json::parse(made.out);
    patch_target = delta_target(manifest(next).archive_target, sha(base));
    publish_delta(custom);
    publisher.keep_pristine();
  }
  static SnapshotManifest manifest(const Release& release) {
    return SnapshotManifest::parse(json::parse(read_file(release.document)));
  }
  static std::string sha(const Release& release) { return digest(read_file(release.document), "sha256"); }
  void publish_delta(const json& signed_as) {
    publisher.repo.add_target(patch_target, patch, "targets", signed_as);
    publisher.publish(next, bootstrap);
  }
  // Whatever happened before, a start runs a working version and an update then completes the release.
  void expect_recovers() {
    const std::string first = publisher.running();
    EXPECT_TRUE(first == "launcher-1.0" || first == "launcher-1.1") << first;
    const json launcher = publisher.update()["launcher"];
    // What an interrupted run left is finished by the delta, never by the archive.
    EXPECT_TRUE(launcher["status"] != "staged" || launcher["path"] == "delta") << launcher;
    EXPECT_EQ(publisher.running(), "launcher-1.1");
    EXPECT_EQ(publisher.running(), "launcher-1.1");
    EXPECT_EQ(read_file(publisher.data / "native/bootstrap/share/release.txt"), "bootstrap-1.1");
  }
};

TEST(DeltaUpdate, AOneFileChangeArrivesAsAPatchAndEveryFailureOfItFallsBackToTheArchive) {
  Published release;
  json staged = release.publisher.update()["launcher"];
  EXPECT_EQ(staged["path"], "delta") << staged;
  EXPECT_EQ(staged["downloaded_bytes"], fs::file_size(release.patch));
  EXPECT_LT(fs::file_size(release.patch) * 20, fs::file_size(release.next.archive));
  EXPECT_EQ(release.publisher.requests("launcher-1.1.tar.zst "), 0u) << "the archive was fetched";
  EXPECT_EQ(release.publisher.running(), "launcher-1.1");
  test::TempDir unpacked;
  extract_snapshot(Published::manifest(release.next), release.next.archive, unpacked / "tree", {}, nullptr);
  EXPECT_EQ(test::tree(release.publisher.data / "launcher/versions" / Published::sha(release.next)),
            test::tree(unpacked / "tree"));

  const fs::path published = release.publisher.dir / "repo/published/targets" / release.patch_target;
  const std::string patch_bytes = read_file(published);
  auto resigned = [&](const char* member, const json& value) {
    json changed = release.custom;
    changed["delta"][member] = value;
    release.publish_delta(changed);
  };
  const fs::path base_file =
      release.publisher.data / "launcher/versions" / Published::sha(release.base) / "bin/trelk-maintenance-gui";
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { test::write_file(published, patch_bytes.substr(0, 100) + "!" + patch_bytes.substr(101)); },
       "hash_mismatch"},  // a mirror serves a tampered patch
      {[&] {
         std::string bytes = read_file(base_file);
         bytes[1000] ^= 1;  // one installed file of the base changed
         test::write_file(base_file, bytes);
       },
       "delta_base"},
      {[&] { resigned("result_tar_sha256", digest("other", "sha256")); }, "delta_result"},
      {[&] { resigned("window_log", delta_window_log_limit + 1); }, "delta_window"},
  };
  for (const auto& [spoil, code] : cases) {
    SCOPED_TRACE(code);
    release.publisher.restore();
    spoil();
    staged = release.publisher.update()["launcher"];
    EXPECT_EQ(staged["path"], "full") << staged;
    EXPECT_EQ(staged["fallback"]["code"], code) << staged;
    EXPECT_GE(staged["downloaded_bytes"].get<std::uint64_t>(), fs::file_size(release.next.archive));
    EXPECT_EQ(release.publisher.running(), "launcher-1.1");
    test::write_file(published, patch_bytes);
    release.publish_delta(release.custom);
  }
}

TEST(CrashConsistency, AnUpdateKilledAnywhereOrRunTwiceAtOnceIsCompletedByTheNextRun) {
  Published release;
  const test::Command command = release.publisher.update_command();
  {
    test::Started first(command.program, command.arguments, command.environment);
    test::Started second(command.program, command.arguments, command.environment);
    for (auto* started : {&first, &second}) {
      const auto outcome = started->wait();
      // One may find the other at work; it says so and changes nothing.
      EXPECT_TRUE(outcome.status == 0 ||
                  outcome.err.find("Another Trelk operation is using this state") != std::string::npos)
          << outcome.err;
    }
    release.expect_recovers();
  }
  test::run_crash_test({.prepare =
                            [&] {
                              release.publisher.restore();
                              return command;
                            },
                        .reference = [](const test::Outcome& outcome) { ASSERT_EQ(outcome.status, 0) << outcome.err; },
                        .check = [&] { release.expect_recovers(); },
                        .sample = 20});
}

TEST(UpdateStaging, ADiskWithoutRoomForTheReleaseIsReportedBeforeAnyDownload) {
  test::TempDir mount_point;
  if (::mount("tmpfs", mount_point.path().c_str(), "tmpfs", 0, "size=1g") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point.path()};
  Published release(mount_point.path() / "data");
  // Fill the volume so that the new release cannot fit beside the installed one.
  const auto space = fs::space(mount_point.path());
  const int filler = ::open((mount_point.path() / "filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(filler, 0);
  ASSERT_EQ(::posix_fallocate(filler, 0, static_cast<off_t>(space.available - (8 << 20))), 0);
  ::close(filler);
  const json before = release.publisher.status();
  const auto refused = release.publisher.start({"--json", "self", "update"});
  EXPECT_EQ(refused.status, 1);
  const json problem = json::parse(refused.out)["problem"];
  EXPECT_EQ(problem["code"], "insufficient_space");
  EXPECT_NE(problem["message"].get<std::string>().find("more bytes before installation"), std::string::npos);
  EXPECT_EQ(release.publisher.status(), before);
  EXPECT_EQ(release.publisher.requests(".tar.zst") + release.publisher.requests(".patch"), 0u);
}

}  // namespace
}  // namespace trelk
