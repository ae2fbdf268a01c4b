#include "maintenance/control.hpp"

#include <gtest/gtest.h>

#include "core/paths.hpp"
#include "launcher/store.hpp"
#include "support/errors.hpp"
#include "support/installation.hpp"

namespace trelk {
namespace {

using Words = std::vector<std::string>;
using test::Installation;

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

TEST(MaintenanceControl, ShortcutsStartTheInstalledBootstrapAndConsoleWorkHonoursAnInterrupt) {
  Installation installation;
  const auto& root = installation.root;
  auto created = native_maintenance_control(root, {"self", "shortcut", "create", "--json"}, {});
  ASSERT_TRUE(created.has_value());
  const auto entry = path_from_utf8((*created)["created"].get<std::string>());
  EXPECT_EQ(entry.parent_path(), installation.dir / "xdg/applications");
  // Entries start the installed bootstrap, never the running program.
  EXPECT_NE(test::read_file(entry).find(path_utf8(installation.bootstrap())), std::string::npos);
  EXPECT_EQ(*native_maintenance_control(root, {"self", "shortcut", "create"}, {}), *created);
  EXPECT_EQ((*native_maintenance_control(root, {"self", "shortcut", "remove"}, {}))["removed"],
            json::array({path_utf8(entry)}));
  EXPECT_FALSE(fs::exists(entry));

  LauncherStore store(root);
  EXPECT_TRELK_ERROR(prepare_console_maintenance(
                         store, installation.reference, root, [] { return true; }, false),
                     "cancelled", "Uninstall cancelled");
  auto runtime = prepare_console_maintenance(
      store, installation.reference, root, [] { return false; }, true);
  EXPECT_EQ(runtime.image(), installation.version() / "bin/trelk-maintenance");
  EXPECT_FALSE(runtime.launched());
}

}  // namespace
}  // namespace trelk
