#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/paths.hpp"
#include "desktop/shortcut_ledger.hpp"
#include "maintenance/control.hpp"
#include "support/installation.hpp"
#include "support/run_program.hpp"

namespace trelk {
namespace {

using test::Installation;
using test::read_file;
using test::write_file;

TEST(UninstallHandoff, TheInstalledBootstrapRemovesExactlyWhatTheInstallationOwns) {
  for (const bool remove_data : {false, true}) {
    SCOPED_TRACE(remove_data);
    // A launcher shortcut left as written, a game shortcut the user edited, saves, and a file the
    // user put into the launcher version.
    Installation installation;
    const auto& root = installation.root;
    const fs::path launcher_entry = create_installation_shortcut(root, "", {}, {});
    const fs::path game_entry = create_installation_shortcut(root, "space-game", {}, {});
    const std::string edited = read_file(game_entry) + "Comment=my own launcher line\n";
    write_file(game_entry, edited);
    write_file(root / "games/space-game/saves/slot1.sav", "progress");
    write_file(installation.version() / "share/user-notes.txt", "mine");

    std::vector<std::string> arguments{"--cli", "--", "self", "--json", "uninstall"};
    auto variables = installation.variables();
    if (remove_data) {
      arguments.push_back("--remove-data");
      // The helper's copy is made below a temporary directory reached through a link.
      fs::create_directory_symlink(installation.temp, installation.dir / "linked-tmp");
      variables["TMPDIR"] = (installation.dir / "linked-tmp").string();
    }
    const test::Outcome outcome = test::run_program(installation.bootstrap(), arguments, variables);
    ASSERT_EQ(outcome.status, 0) << outcome.err << outcome.out;
    const json result = parse_json(outcome.out, 1 << 20);
    EXPECT_EQ(result["kind"], "uninstall");
    EXPECT_EQ(result["data_removed"], remove_data);
    EXPECT_FALSE(fs::exists(launcher_entry));
    EXPECT_EQ(read_file(game_entry), edited);
    // The helper ran from a temporary copy, and that copy is gone too.
    EXPECT_TRUE(installation.helper_copies().empty());
    EXPECT_NE(result["removed"].dump().find(path_utf8(launcher_entry)), std::string::npos) << result;
    EXPECT_NE(result["changed"].dump().find(path_utf8(game_entry)), std::string::npos) << result;
    if (remove_data) {
      EXPECT_FALSE(fs::exists(root));
      continue;
    }
    for (const char* owned : {"native", "launcher/installation.json", "launcher/leases", ".native-bootstrap.lock"})
      EXPECT_FALSE(fs::exists(root / owned)) << owned;
    EXPECT_FALSE(fs::exists(installation.version() / "bin/trelk-maintenance"));
    // Never ours: kept byte for byte and reported. The version's manifest stays with what is left
    // of the version, so the leftover can still be identified.
    EXPECT_EQ(read_file(installation.version() / "share/user-notes.txt"), "mine");
    EXPECT_NE(result["changed"].dump().find("user-notes.txt"), std::string::npos) << result;
    EXPECT_TRUE(fs::exists(root / "launcher/manifests" /
                           (installation.reference["manifest_sha256"].get<std::string>() + ".json")));
    EXPECT_EQ(read_file(root / "games/space-game/saves/slot1.sav"), "progress");
  }
}

}  // namespace
}  // namespace trelk
