#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/paths.hpp"
#include "desktop/desktop_entry.hpp"
#include "desktop/shortcut_ledger.hpp"
#include "files/locks.hpp"
#include "maintenance/control.hpp"
#include "maintenance/installation.hpp"
#include "maintenance/uninstall.hpp"
#include "process/child.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

using test::Installation;
using test::read_file;
using test::write_file;

// Runs the installed bootstrap the way a terminal would, with its standard output in a file.
int run_bootstrap(const Installation& installation, const std::vector<std::string>& command, const fs::path& output) {
  std::vector<std::string> arguments{"-c", "exec \"$0\" \"$@\" > \"$OUTPUT\"", installation.bootstrap().string(),
                                     "--cli", "--"};
  arguments.insert(arguments.end(), command.begin(), command.end());
  ChildProcess child(fs::canonical("/bin/sh"), arguments, installation.dir.path(), {{"OUTPUT", output.string()}});
  return child.wait();
}

// An installation with a launcher shortcut left as written, a game shortcut the user edited, user data and a
// file the user put into the launcher version.
struct UsedInstallation : Installation {
  fs::path launcher_entry;
  fs::path game_entry;
  UsedInstallation() {
    launcher_entry = create_installation_shortcut(root, "", {}, {});
    game_entry = create_installation_shortcut(root, "space-game", {}, {});
    write_file(game_entry, read_file(game_entry) + "Comment=my own launcher line\n");
    write_file(root / "games/space-game/saves/slot1.sav", "progress");
    write_file(version() / "share/user-notes.txt", "mine");
  }
};

TEST(UninstallHandoff, RemovesExactlyWhatTheInstallationOwns) {
  UsedInstallation installation;
  const auto& root = installation.root;
  ASSERT_TRUE(fs::exists(installation.launcher_entry));
  const auto edited = read_file(installation.game_entry);

  ASSERT_EQ(run_bootstrap(installation, {"self", "--json", "uninstall"}, installation.dir / "out.json"), 0);

  auto result = parse_json(read_file(installation.dir / "out.json"), 1 << 20);
  EXPECT_EQ(result["kind"], "uninstall");
  EXPECT_EQ(result["data_removed"], false);

  // Owned and unchanged: gone.
  EXPECT_FALSE(fs::exists(installation.launcher_entry));
  EXPECT_FALSE(fs::exists(root / "native"));
  EXPECT_FALSE(fs::exists(root / "launcher/installation.json"));
  EXPECT_FALSE(fs::exists(root / "launcher/leases"));
  EXPECT_FALSE(fs::exists(installation.version() / "bin/trelk-maintenance"));
  EXPECT_FALSE(fs::exists(root / ".native-bootstrap.lock"));
  // Changed by the user or never ours: kept, byte for byte, and reported.
  EXPECT_EQ(read_file(installation.game_entry), edited);
  EXPECT_EQ(read_file(installation.version() / "share/user-notes.txt"), "mine");
  // The version's manifest stays with what is left of the version, so the leftover can still be identified.
  EXPECT_TRUE(fs::exists(root / "launcher/manifests" /
                         (installation.reference["manifest_sha256"].get<std::string>() + ".json")));
  EXPECT_EQ(read_file(root / "games/space-game/saves/slot1.sav"), "progress");
  auto changed = result["changed"].dump();
  EXPECT_NE(changed.find(path_utf8(installation.game_entry)), std::string::npos) << changed;
  EXPECT_NE(changed.find("user-notes.txt"), std::string::npos) << changed;
  auto removed = result["removed"].dump();
  EXPECT_NE(removed.find(path_utf8(installation.launcher_entry)), std::string::npos) << removed;
  // The helper ran from a temporary copy, and that copy is gone too.
  EXPECT_TRUE(installation.helper_copies().empty());
}

TEST(UninstallHandoff, RemoveDataTakesTheDataRootButNotEditedShortcuts) {
  UsedInstallation installation;
  const auto edited = read_file(installation.game_entry);

  ASSERT_EQ(
      run_bootstrap(installation, {"self", "uninstall", "--remove-data", "--json"}, installation.dir / "out.json"), 0);

  auto result = parse_json(read_file(installation.dir / "out.json"), 1 << 20);
  EXPECT_EQ(result["data_removed"], true);
  EXPECT_FALSE(fs::exists(installation.root));
  EXPECT_FALSE(fs::exists(installation.launcher_entry));
  EXPECT_EQ(read_file(installation.game_entry), edited);
  EXPECT_TRUE(installation.helper_copies().empty());
}

TEST(UninstallHandoff, HelperRefusesWhileTheInstallationRunsAndWithoutAnInstallation) {
  Installation installation;
  // A running bootstrap holds the installation shared for its lifetime.
  NativeFileLock running(installation.root / native_bootstrap_lock, true, NativeLockSharing::none, LockMode::shared);
  UninstallOptions quick;
  quick.release_wait = std::chrono::milliseconds(0);
  EXPECT_TRELK_ERROR(uninstall_installation(installation.root, quick), "busy", "");
  EXPECT_TRUE(fs::exists(installation.version() / "bin/trelk-maintenance"));

  // Once the bootstrap has gone, an installation without user data leaves nothing behind.
  running = NativeFileLock(installation.temp / "elsewhere.lock", true, NativeLockSharing::none, LockMode::shared);
  auto report = uninstall_installation(installation.root, quick);
  EXPECT_FALSE(fs::exists(installation.root));
  EXPECT_TRUE(report.changed.empty());
  EXPECT_FALSE(report.data_removed);

  // Whatever the command line says, a directory without an installation record is not uninstalled.
  test::TempDir other;
  write_file(other / "data/keep.txt", "keep");
  UninstallOptions everything;
  everything.remove_data = true;
  EXPECT_TRELK_ERROR(uninstall_installation(other / "data", everything), "not_installed", "");
  EXPECT_EQ(read_file(other / "data/keep.txt"), "keep");
}

}  // namespace
}  // namespace trelk
