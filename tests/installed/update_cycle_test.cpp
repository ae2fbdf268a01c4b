// The whole update cycle with the real programs: a publisher releases through the repository tool, nginx serves it
// over HTTPS, trelk-install lays out the installation under a brand, and the installed bootstrap with the reference
// launcher picks releases up as a small patch or, whatever goes wrong with the patch, as the full archive, proves
// them and keeps or rejects them. An update killed before its mutating calls or run twice at once is finished by
// the next one while every start runs a working version.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "snapshot/delta.hpp"
#include "snapshot/manifest.hpp"
#include "support/installation.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::Release;

// Launcher and bootstrap 1.0 installed under a brand and confirmed; 1.1 of both published, the launcher's (whose
// identity document is the one changed file) with the delta from 1.0 that trelk-pack made. A pristine copy of the
// installation is kept so that every run starts from exactly this state.
struct Published {
  test::ServedRepository publisher{test::ServedRepository::two_key_root()};
  Release base, next, bootstrap;
  fs::path patch = publisher.dir / "launcher-1.1.patch";
  fs::path shortcut = publisher.dir / "acme.desktop";
  std::string patch_target;
  json custom;
  test::Outcome installed;

  explicit Published(const fs::path& data = {}) {
    if (!data.empty()) publisher.data = data;
    base = publisher.launcher("launcher-1.0", "normal");
    const Release bootstrap_10 = publisher.bootstrap("bootstrap-1.0");
    publisher.publish(base, bootstrap_10);
    installed = publisher.install(base, bootstrap_10,
                                  {"--brand-name", "Acme Games", "--brand-id", "acme", "--brand-publisher", "Acme Ltd",
                                   "--desktop-entry", shortcut.string()});
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(publisher.running(), "launcher-1.0");
    next = publisher.launcher("launcher-1.1", "normal");
    bootstrap = publisher.bootstrap("bootstrap-1.1");
    const auto made = test::run_program(fs::path(TRELK_TOOLS_DIR) / "trelk-pack",
                                        {"delta", base.archive.string(), next.archive.string(), patch.string()}, {});
    EXPECT_EQ(made.status, 0) << made.err;
    custom = json::parse(made.out);
    patch_target =
        delta_target(SnapshotManifest::parse(json::parse(read_file(next.document))).archive_target, sha(base));
    publish_delta(custom);
    publisher.keep_pristine();
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

TEST(UpdateCycle, ReleasesArriveAsAPatchOrTheArchiveAndAreProvenAndKeptOrRejected) {
  // The installation on a small volume of its own where the system allows one, so that a full disk can be tried.
  test::TempDir volume;
  // Its room grows with the programs every release carries, which a sanitizer build makes several times larger.
  std::string room = "size=";
  room += std::to_string((std::uintmax_t{1} << 30) + 8 * fs::file_size(TRELK_TOOLS_DIR "/trelk-launcher"));
  const bool mounted = ::mount("tmpfs", volume.path().c_str(), "tmpfs", 0, room.c_str()) == 0;
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{volume.path()};
  Published release(volume / "data");
  test::ServedRepository& publisher = release.publisher;
  const json result = parse_json(release.installed.out, 1 << 16);
  EXPECT_EQ(result.at("data_dir"), publisher.data.string());
  EXPECT_EQ(result.at("bootstrap"), "bootstrap-1.0");
  EXPECT_EQ(result.at("launcher").at("build_id"), "launcher-1.0");
  EXPECT_EQ(read_file(publisher.data / "native/bootstrap.json"), read_file(publisher.dir / "bootstrap-1.0.json"));
  EXPECT_EQ(
      parse_json(read_file(publisher.data / "native/installation.json"), 1 << 16),
      json::parse(
          R"({"schema_version":1,"brand":{"name":"Acme Games","id":"acme","publisher":"Acme Ltd","icon":false}})"));
  // The entry the installed bootstrap wrote starts it under the brand's name.
  const fs::path entry = publisher.data / installed_bootstrap_entry;
  const std::string desktop = read_file(release.shortcut);
  EXPECT_NE(desktop.find("Name=Acme\\sGames\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find(entry.string()), std::string::npos) << desktop;
  // A second install into the installation changes nothing.
  const auto before = test::tree(publisher.data);
  const auto again =
      publisher.install(release.base, {publisher.dir / "bootstrap-1.0.json", publisher.dir / "bootstrap-1.0.tar.zst"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already holds"), std::string::npos) << again.err;
  EXPECT_EQ(test::tree(publisher.data), before);

  // A one-file change arrives as a patch; the bootstrap's release is staged beside it and applied by the next start.
  json update = publisher.update();
  EXPECT_EQ(update["launcher"], (json{{"staged", true},
                                      {"status", "staged"},
                                      {"build_id", "launcher-1.1"},
                                      {"path", "delta"},
                                      {"downloaded_bytes", fs::file_size(release.patch)},
                                      {"fallback", nullptr}}));
  EXPECT_EQ(update["bootstrap"], (json{{"staged", true}, {"status", "staged"}, {"build_id", "bootstrap-1.1"}}));
  EXPECT_LT(fs::file_size(release.patch) * 20, fs::file_size(release.next.archive));
  EXPECT_EQ(publisher.requests("launcher-1.1.tar.zst "), 0u) << "the archive was fetched";
  EXPECT_EQ(publisher.running(), "launcher-1.1");
  EXPECT_EQ(read_file(publisher.data / "native/bootstrap/share/release.txt"), "bootstrap-1.1");
  EXPECT_FALSE(fs::exists(publisher.data / "native/bootstrap-update.json"));
  EXPECT_EQ(publisher.status()["active"]["build_id"], "launcher-1.1");
  update = publisher.update();
  EXPECT_EQ(update["launcher"]["status"], "current");
  EXPECT_EQ(update["bootstrap"]["status"], "current");

  // Whatever goes wrong with the patch ends in the full archive.
  const fs::path published = publisher.dir / "repo/published/targets" / release.patch_target;
  const std::string patch_bytes = read_file(published);
  auto resigned = [&](const char* member, const json& value) {
    json changed = release.custom;
    changed["delta"][member] = value;
    release.publish_delta(changed);
  };
  const fs::path base_file =
      publisher.data / "launcher/versions" / Published::sha(release.base) / "bin/trelk-maintenance-gui";
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
    publisher.restore();
    spoil();
    const json staged = publisher.update()["launcher"];
    EXPECT_EQ(staged["path"], "full") << staged;
    EXPECT_EQ(staged["fallback"]["code"], code) << staged;
    EXPECT_GE(staged["downloaded_bytes"].get<std::uint64_t>(), fs::file_size(release.next.archive));
    EXPECT_EQ(publisher.running(), "launcher-1.1");
    test::write_file(published, patch_bytes);
    release.publish_delta(release.custom);
  }

  // 1.2 never reports health: the next start rejects it and runs 1.1; it is not staged again.
  publisher.publish(publisher.launcher("launcher-1.2", "no_health"), release.bootstrap);
  EXPECT_EQ(publisher.update()["launcher"]["status"], "staged");
  EXPECT_EQ(publisher.running(), "launcher-1.1");
  const json status = publisher.status();
  EXPECT_EQ(status["active"]["build_id"], "launcher-1.1");
  EXPECT_TRUE(status["candidate"].is_null());
  // A run killed after the store recorded 1.2 left its finished archive and a patch to it: the next update,
  // which stages nothing, removes them and its own release document.
  const fs::path downloads = publisher.data / "launcher/downloads";
  const json archive = json::parse(read_file(publisher.dir / "launcher-1.2.json"))["archive"];
  const fs::path left = downloads / fs::path(archive["target"].get<std::string>()).filename();
  fs::copy_file(publisher.dir / "launcher-1.2.tar.zst", left);
  fs::copy_file(left, fs::path(left) += ".from-0123456789abcdef.patch");
  update = publisher.update();
  EXPECT_EQ(update["launcher"]["status"], "rejected");
  EXPECT_EQ(update["bootstrap"]["status"], "current");
  EXPECT_EQ(std::distance(fs::directory_iterator(downloads), fs::directory_iterator()), 0);

  // A disk without room for the next release is reported before any download.
  if (!mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
  publisher.publish(publisher.launcher("launcher-1.3", "normal"), release.bootstrap);
  const int filler = ::open((volume / "filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(filler, 0);
  ASSERT_EQ(::posix_fallocate(filler, 0, static_cast<off_t>(fs::space(volume.path()).available - (8 << 20))), 0);
  ::close(filler);
  const json state = publisher.status();
  const auto refused = publisher.start({"--json", "self", "update"});
  EXPECT_EQ(refused.status, 1);
  // Refused by the plan for the whole release, not by the first allocation that fails.
  const json problem = json::parse(refused.out)["problem"];
  EXPECT_EQ(problem["code"], "insufficient_space");
  EXPECT_NE(problem["message"].get<std::string>().find("more bytes before installation"), std::string::npos);
  EXPECT_EQ(publisher.status(), state);
  EXPECT_EQ(publisher.requests("launcher-1.3.tar.zst"), 0u);
}

TEST(CrashConsistency, AnUpdateKilledAnywhereOrRunTwiceAtOnceIsCompletedByTheNextRun) {
  Published release;
  const test::Command command = release.publisher.start_command({"self", "update"});
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

}  // namespace
}  // namespace trelk
