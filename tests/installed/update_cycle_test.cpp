// The whole update cycle with the real programs: a publisher releases through the repository tool, nginx serves it
// over HTTPS, trelk-install lays out the installation under a brand, and the installed bootstrap with the reference
// launcher picks releases up as a small patch or, whatever goes wrong with the patch, as the full archive, proves
// them and keeps or rejects them. An install or update killed before its mutating calls, or two updates at once,
// are finished by the next run while every start runs a working version.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "snapshot/delta.hpp"
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
  Release base = publisher.launcher("launcher-1.0", "normal"), bootstrap_10 = publisher.bootstrap("bootstrap-1.0");
  Release next = publisher.launcher("launcher-1.1", "normal"), bootstrap = publisher.bootstrap("bootstrap-1.1");
  fs::path patch = publisher.dir / "launcher-1.1.patch", shortcut = publisher.dir / "acme.desktop";
  std::string patch_target = delta_target(next.archive.filename().string(), sha(base));
  json custom;
  test::Outcome installed;

  explicit Published(const fs::path& data = {}) {
    if (!data.empty()) publisher.data = data;
    publisher.publish(base, bootstrap_10);
    installed = publisher.install(base, bootstrap_10,
                                  {"--brand-name", "Acme Games", "--brand-id", "acme", "--brand-publisher", "Acme Ltd",
                                   "--desktop-entry", shortcut.string()});
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(publisher.running(), "launcher-1.0");
    const auto made = test::run_program(fs::path(TRELK_TOOLS_DIR) / "trelk-pack",
                                        {"delta", base.archive.string(), next.archive.string(), patch.string()}, {});
    EXPECT_EQ(made.status, 0) << made.err;
    custom = json::parse(made.out);
    publish_delta();
    publisher.keep_pristine();
  }
  static std::string sha(const Release& release) { return digest(read_file(release.document), "sha256"); }
  // The patch, signed with trelk-pack's description of it (with one of its members changed).
  void publish_delta(const std::string& member = "", const json& value = nullptr) {
    json signed_as = custom;
    if (!member.empty()) signed_as["delta"][member] = value;
    publisher.repo.add_target(patch_target, patch, "targets", signed_as);
    publisher.publish(next, bootstrap);
  }
  // Whatever happened before, a start runs a working version and an update then completes the release. The
  // launcher's part of that update.
  json expect_recovers() {
    const std::string first = publisher.running();
    EXPECT_TRUE(first == "launcher-1.0" || first == "launcher-1.1") << first;
    const json launcher = publisher.update()["launcher"];
    // What an interrupted run left is finished by the delta, never by the archive.
    EXPECT_TRUE(launcher["status"] != "staged" || launcher["path"] == "delta") << launcher;
    EXPECT_EQ(publisher.running(), "launcher-1.1");
    EXPECT_EQ(read_file(publisher.data / "native/bootstrap/share/release.txt"), "bootstrap-1.1");
    return launcher;
  }
};

TEST(UpdateCycle, ReleasesArriveAsAPatchOrTheArchiveAndAreProvenAndKeptOrRejected) {
  // The installation on a small volume of its own where the system allows one, so that a full disk can be tried.
  test::TempDir volume;
  // Its room grows with the programs every release carries, which a sanitizer build makes several times larger.
  const std::string room =
      "size=" + std::to_string((std::uintmax_t{1} << 30) + 8 * fs::file_size(TRELK_TOOLS_DIR "/trelk-launcher"));
  const bool mounted = ::mount("tmpfs", volume.path().c_str(), "tmpfs", 0, room.c_str()) == 0;
  const std::unique_ptr<const fs::path, decltype([](const fs::path* path) { ::umount2(path->c_str(), MNT_DETACH); })>
      unmount(&volume.path());
  Published release(volume / "data");
  test::ServedRepository& publisher = release.publisher;
  const json result = parse_json(release.installed.out, 1 << 16);
  EXPECT_EQ(json({result["data_dir"], result["bootstrap"], result["launcher"]["build_id"]}),
            json({publisher.data.string(), "bootstrap-1.0", "launcher-1.0"}));
  EXPECT_EQ(read_file(publisher.data / "native/bootstrap.json"), read_file(publisher.dir / "bootstrap-1.0.json"));
  EXPECT_EQ(read_file(publisher.data / "native/installation.json"),
            R"({"brand":{"icon":false,"id":"acme","name":"Acme Games","publisher":"Acme Ltd"},"schema_version":1})");
  // The entry the installed bootstrap wrote starts it under the brand's name.
  const std::string desktop = read_file(release.shortcut);
  EXPECT_NE(desktop.find("Name=Acme\\sGames\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find((publisher.data / installed_bootstrap_entry).string()), std::string::npos) << desktop;
  // A second install into the installation is refused and changes nothing.
  const auto before = test::tree(publisher.data);
  EXPECT_NE(publisher.install(release.base, release.bootstrap_10).err.find("already holds"), std::string::npos);
  EXPECT_EQ(test::tree(publisher.data), before);

  // A one-file change arrives as a patch; the bootstrap's release is staged beside it and applied by the next start.
  json update = publisher.update();
  EXPECT_EQ(update["launcher"],
            json::parse(R"({"staged":true,"status":"staged","build_id":"launcher-1.1","path":"delta","fallback":null,)"
                        R"("downloaded_bytes":)" +
                        std::to_string(fs::file_size(release.patch)) + "}"));
  EXPECT_EQ(update["bootstrap"], (json{{"staged", true}, {"status", "staged"}, {"build_id", "bootstrap-1.1"}}));
  EXPECT_LT(fs::file_size(release.patch) * 20, fs::file_size(release.next.archive));
  EXPECT_EQ(publisher.requests("launcher-1.1.tar.zst "), 0u) << "the archive was fetched";
  EXPECT_EQ(release.expect_recovers()["status"], "current");

  // Whatever goes wrong with the patch ends in the full archive.
  const fs::path published = publisher.dir / "repo/published/targets" / release.patch_target;
  const std::string patch_bytes = read_file(published);
  const fs::path base_file =
      publisher.data / "launcher/versions" / Published::sha(release.base) / "bin/trelk-maintenance-gui";
  // A mirror serves a tampered patch, an installed file of the base changed, the patch is signed with another
  // result or a window too large.
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { test::write_file(published, patch_bytes.substr(0, 100) + "!" + patch_bytes.substr(101)); },
       "hash_mismatch"},
      {[&] { std::ofstream(base_file, std::ios::in | std::ios::binary) << '!'; }, "delta_base"},
      {[&] { release.publish_delta("result_tar_sha256", digest("other", "sha256")); }, "delta_result"},
      {[&] { release.publish_delta("window_log", delta_window_log_limit + 1); }, "delta_window"},
  };
  for (const auto& [spoil, code] : cases) {
    SCOPED_TRACE(code);
    publisher.restore();
    spoil();
    const json staged = publisher.update()["launcher"];
    EXPECT_EQ(json({staged["path"], staged["fallback"]["code"]}), json({"full", code})) << staged;
    EXPECT_GE(staged["downloaded_bytes"].get<std::uint64_t>(), fs::file_size(release.next.archive));
    EXPECT_EQ(publisher.running(), "launcher-1.1");
    test::write_file(published, patch_bytes);
    release.publish_delta();
  }

  // 1.2 never reports health: the next start rejects it and runs 1.1; it is not staged again.
  publisher.publish(publisher.launcher("launcher-1.2", "no_health"), release.bootstrap);
  EXPECT_EQ(publisher.update()["launcher"]["status"], "staged");
  EXPECT_EQ(publisher.running(), "launcher-1.1");
  // A run killed after the store recorded 1.2 left its finished archive and a patch to it: the next update,
  // which stages nothing, removes them and its own release document.
  const fs::path downloads = publisher.data / "launcher/downloads";
  fs::copy_file(publisher.dir / "launcher-1.2.tar.zst", downloads / "launcher-1.2.tar.zst");
  fs::copy_file(publisher.dir / "launcher-1.2.tar.zst", downloads / "launcher-1.2.tar.zst.from-0123456789abcdef.patch");
  update = publisher.update();
  EXPECT_EQ(update["launcher"]["status"], "rejected");
  EXPECT_EQ(update["bootstrap"]["status"], "current");
  EXPECT_EQ(std::distance(fs::directory_iterator(downloads), fs::directory_iterator()), 0);

  // A disk without room for the next release is reported before any download.
  if (!mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
  publisher.publish(publisher.launcher("launcher-1.3", "normal"), release.bootstrap);
  const int filler = ::open((volume / "filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
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

// The same install command run again completes what a killed one started; an update killed anywhere, or run twice
// at once, is completed by the next run.
TEST(CrashConsistency, AKilledInstallOrUpdateAndTwoUpdatesAtOnceAreCompletedByTheNextRun) {
  Published release;
  test::ServedRepository& publisher = release.publisher;
  const auto install = [&] { return publisher.install(release.base, release.bootstrap_10); };
  const auto succeeded = [](const test::Outcome& outcome) { ASSERT_EQ(outcome.status, 0) << outcome.err; };
  // A directory holding anything this installer did not make is never taken over.
  fs::remove_all(publisher.dir / "home");
  test::write_file(publisher.data / "notes.txt", "mine");
  EXPECT_NE(install().err.find("(not_empty)"), std::string::npos);
  EXPECT_EQ(read_file(publisher.data / "notes.txt"), "mine");
  const auto prepare_install = [&] {
    fs::remove_all(publisher.dir / "home");
    return publisher.install_command(release.base, release.bootstrap_10);
  };
  const auto check_install = [&] {
    const bool complete =
        fs::exists(publisher.data / "native/installation.json") && !fs::exists(publisher.data / native_setup_marker);
    const auto again = install();
    EXPECT_EQ(again.status, complete ? 1 : 0) << again.err;
    EXPECT_EQ(publisher.running(), "launcher-1.0");
  };
  test::run_crash_test({.prepare = prepare_install, .reference = succeeded, .check = check_install, .sample = 10});

  const test::Command command = publisher.start_command({"self", "update"});
  publisher.restore();
  test::Started first(command.program, command.arguments, command.environment);
  test::Started second(command.program, command.arguments, command.environment);
  for (auto* started : {&first, &second}) {
    const auto outcome = started->wait();
    // One may find the other at work; it says so and changes nothing.
    EXPECT_TRUE(outcome.status == 0 || outcome.err.find("Another Trelk operation") != std::string::npos) << outcome.err;
  }
  release.expect_recovers();
  const auto prepare_update = [&] {
    publisher.restore();
    return command;
  };
  test::run_crash_test(
      {.prepare = prepare_update, .reference = succeeded, .check = [&] { release.expect_recovers(); }, .sample = 20});
}

}  // namespace
}  // namespace trelk
