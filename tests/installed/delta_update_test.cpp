// Delta updates through the installed programs: a launcher release that changes one file arrives as a small
// patch applied to the installed version, and whatever goes wrong with the patch ends in the full archive.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "installed/installed.hpp"
#include "snapshot/delta.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/manifest.hpp"
#include "support/kill_points.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;

// Launcher 1.0 installed and confirmed; launcher 1.1, whose identity document is the one changed file, published
// with the delta from 1.0 that trelk-pack made. A pristine copy of the installation is kept for many runs.
struct DeltaRelease {
  test::ServedRepository publisher{test::ServedRepository::two_key_root()};
  test::Release base = publisher.launcher("launcher-1.0", "normal");
  test::Release bootstrap = publisher.bootstrap("bootstrap-1.0");
  test::Release next;
  fs::path patch = publisher.dir / "launcher-1.1.patch";
  std::string patch_target;
  json custom;

  DeltaRelease() {
    publisher.publish(base, bootstrap);
    EXPECT_EQ(publisher.install(base, bootstrap).status, 0);
    EXPECT_EQ(publisher.running(), "launcher-1.0");
    next = publisher.launcher("launcher-1.1", "normal");
    const auto made = test::run_program(fs::path(TRELK_TOOLS_DIR) / "trelk-pack",
                                        {"delta", base.archive.string(), next.archive.string(), patch.string()}, {});
    EXPECT_EQ(made.status, 0) << made.err;
    custom = json::parse(made.out);
    patch_target = delta_target(manifest(next).archive_target, sha(base));
    publish_delta(custom);
    publisher.keep_pristine();
  }
  static SnapshotManifest manifest(const test::Release& release) {
    return SnapshotManifest::parse(json::parse(read_file(release.document)));
  }
  static std::string sha(const test::Release& release) { return digest(read_file(release.document), "sha256"); }
  void publish_delta(const json& signed_as) {
    publisher.repo.add_target(patch_target, patch, "targets", signed_as);
    publisher.publish(next, bootstrap);
  }
  void restore() { publisher.restore(); }
  test::Command update() const { return publisher.update_command(); }
};

TEST(DeltaUpdate, AReleaseThatChangesOneFileArrivesAsAPatchAndCommitsTheArchivesTree) {
  DeltaRelease release;
  const json staged = release.publisher.update()["launcher"];
  EXPECT_EQ(staged["status"], "staged");
  EXPECT_EQ(staged["path"], "delta") << staged;
  EXPECT_EQ(staged["downloaded_bytes"], fs::file_size(release.patch));
  EXPECT_LT(fs::file_size(release.patch) * 20, fs::file_size(release.next.archive));
  for (const auto& line : release.publisher.nginx.access_log())
    EXPECT_EQ(line.find(".tar.zst "), std::string::npos) << "the archive was fetched: " << line;
  EXPECT_EQ(release.publisher.running(), "launcher-1.1");

  test::TempDir unpacked;
  extract_snapshot(DeltaRelease::manifest(release.next), release.next.archive, unpacked / "tree", {}, nullptr);
  EXPECT_EQ(test::tree(release.publisher.data / "launcher/versions" / DeltaRelease::sha(release.next)),
            test::tree(unpacked / "tree"));
}

TEST(DeltaUpdate, EveryFailureOfTheDeltaFallsBackToTheArchiveAndSaysWhy) {
  DeltaRelease release;
  const fs::path published = release.publisher.dir / "repo/published/targets" / release.patch_target;
  const std::string patch_bytes = read_file(published);
  auto resigned = [&](const char* member, const json& value) {
    json changed = release.custom;
    changed["delta"][member] = value;
    release.publish_delta(changed);
  };
  struct Case {
    const char* name;
    std::function<void()> spoil;
    const char* code;
  };
  const Case cases[] = {
      {"a mirror serves a tampered patch",
       [&] { test::write_file(published, patch_bytes.substr(0, 100) + "!" + patch_bytes.substr(101)); },
       "hash_mismatch"},
      {"one installed file of the base changed",
       [&] {
         const fs::path file = release.publisher.data / "launcher/versions" / DeltaRelease::sha(release.base) /
                               "bin/trelk-maintenance-gui";
         std::string bytes = read_file(file);
         bytes[1000] ^= 1;
         test::write_file(file, bytes);
       },
       "delta_base"},
      {"the signed result digest is wrong", [&] { resigned("result_tar_sha256", digest("other", "sha256")); },
       "delta_result"},
      {"the window is over the bound", [&] { resigned("window_log", delta_window_log_limit + 1); }, "delta_window"},
  };
  for (const auto& [name, spoil, code] : cases) {
    SCOPED_TRACE(name);
    release.restore();
    spoil();
    const json staged = release.publisher.update()["launcher"];
    EXPECT_EQ(staged["path"], "full") << staged;
    EXPECT_EQ(staged["fallback"]["code"], code) << staged;
    EXPECT_GE(staged["downloaded_bytes"].get<std::uint64_t>(), fs::file_size(release.next.archive));
    EXPECT_EQ(release.publisher.running(), "launcher-1.1");
    test::write_file(published, patch_bytes);
    release.publish_delta(release.custom);
  }
}

TEST(CrashConsistency, ADeltaUpdateKilledAnywhereIsCompletedByTheNextRun) {
  std::string why;
  const auto strace = test::usable_strace(why);
  if (!strace) GTEST_SKIP() << why;
  DeltaRelease release;
  test::Outcome reference;
  const auto points = test::kill_points(*strace, release.update(), reference);
  ASSERT_EQ(reference.status, 0) << reference.err;
  const auto sample = test::sample_kill_points(points, 12);
  for (const auto& point : sample) {
    SCOPED_TRACE(point.text());
    release.restore();
    test::run_killed(*strace, release.update(), point);
    const std::string first = release.publisher.running();
    EXPECT_TRUE(first == "launcher-1.0" || first == "launcher-1.1") << first;
    // What the killed run left is finished by the delta, never by the archive.
    const json next = release.publisher.update()["launcher"];
    EXPECT_TRUE(next["status"] != "staged" || next["path"] == "delta") << next;
    EXPECT_EQ(release.publisher.running(), "launcher-1.1");
  }
}

}  // namespace
}  // namespace trelk
