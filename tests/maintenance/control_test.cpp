#include "maintenance/control.hpp"

#include <gtest/gtest.h>

#include "core/paths.hpp"
#include "launcher/store.hpp"
#include "maintenance/installation.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

using Words = std::vector<std::string>;
using test::Installation;
using test::read_file;

TEST(MaintenanceControl, RecognisesOnlyItsOwnCommands) {
  EXPECT_EQ(maintenance_arguments({"--json", "self", "uninstall", "--remove-data"}, "/srv/data/"),
            (Words{"uninstall", "--data-dir", "/srv/data", "--remove-data", "--json"}));
  EXPECT_TRUE(maintenance_arguments({"self", "status"}, "/srv/data").empty());
  EXPECT_TRELK_ERROR(maintenance_arguments({"self", "uninstall", "--force"}, "/srv/data"), "usage",
                     "Use self uninstall [--remove-data]");
  EXPECT_FALSE(native_maintenance_control("/srv/data", {"self", "uninstall"}, {}).has_value());
  EXPECT_TRELK_ERROR(native_maintenance_control("/srv/data", {"self", "shortcut", "create", "--game"}, {}), "usage",
                     "Use self shortcut create [--game GAME] or self shortcut remove");
}

TEST(MaintenanceControl, CreatesAndRemovesOwnedShortcuts) {
  Installation installation;
  const auto& root = installation.root;
  auto created = native_maintenance_control(root, {"self", "shortcut", "create", "--json"}, {});
  ASSERT_TRUE(created.has_value());
  const auto launcher_entry = path_from_utf8((*created)["created"].get<std::string>());
  EXPECT_EQ(launcher_entry.parent_path(), installation.menu);
  // Entries start the installed bootstrap, never the running program.
  EXPECT_NE(read_file(launcher_entry).find(path_utf8(installation.bootstrap())), std::string::npos);
  EXPECT_EQ(*native_maintenance_control(root, {"self", "shortcut", "create"}, {}), *created);

  auto game = native_maintenance_control(root, {"self", "shortcut", "create", "--game", "space-game"}, {});
  const auto game_entry = path_from_utf8((*game)["created"].get<std::string>());
  test::write_file(game_entry, read_file(game_entry) + "Comment=edited\n");
  auto removal = native_maintenance_control(root, {"self", "shortcut", "remove"}, {});
  EXPECT_EQ((*removal)["removed"], json::array({path_utf8(launcher_entry)}));
  EXPECT_EQ((*removal)["changed"], json::array({path_utf8(game_entry)}));
  EXPECT_FALSE(fs::exists(launcher_entry));
  EXPECT_TRUE(fs::exists(game_entry));
}

TEST(MaintenanceControl, ConsolePreparationHonoursAnEarlierInterrupt) {
  Installation installation;
  LauncherStore store(installation.root);
  EXPECT_TRELK_ERROR(prepare_console_maintenance(
                         store, installation.reference, installation.root, [] { return true; }, false),
                     "cancelled", "Uninstall cancelled");
  auto runtime = prepare_console_maintenance(
      store, installation.reference, installation.root, [] { return false; }, true);
  EXPECT_EQ(runtime.image(), installation.version() / "bin/trelk-maintenance");
  EXPECT_FALSE(runtime.launched());
}

}  // namespace
}  // namespace trelk
