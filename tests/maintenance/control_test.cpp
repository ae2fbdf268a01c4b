#include "maintenance/control.hpp"

#include <gtest/gtest.h>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "launcher/store.hpp"
#include "maintenance/installation.hpp"

namespace trelk {
namespace {

using test::Installation;
using test::read_file;
using test::write_file;

Error thrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "none");
}

TEST(MaintenanceControl, RecognisesOnlyItsOwnCommands) {
  const fs::path root = "/srv/trelk/data";
  bool json_flag = false;
  EXPECT_EQ(without_json({"--json", "self", "--json", "uninstall"}, json_flag),
            (std::vector<std::string>{"self", "uninstall"}));
  EXPECT_TRUE(json_flag);
  without_json({"self"}, json_flag);
  EXPECT_FALSE(json_flag);

  EXPECT_EQ(maintenance_arguments({"self", "uninstall"}, root),
            (std::vector<std::string>{"uninstall", "--data-dir", "/srv/trelk/data"}));
  EXPECT_EQ(
      maintenance_arguments({"--json", "self", "uninstall", "--remove-data", "--remove-data"}, "/srv/trelk/data/"),
      (std::vector<std::string>{"uninstall", "--data-dir", "/srv/trelk/data", "--remove-data", "--remove-data",
                                "--json"}));
  EXPECT_TRUE(maintenance_arguments({"self", "status"}, root).empty());
  EXPECT_TRUE(maintenance_arguments({"uninstall"}, root).empty());
  auto usage = thrown([&] { maintenance_arguments({"self", "uninstall", "--force"}, root); });
  EXPECT_EQ(usage.code, "usage");
  EXPECT_STREQ(usage.what(), "Use self uninstall [--remove-data]");

  // Nothing here touches the data root: these are not shortcut requests, or are malformed ones.
  EXPECT_FALSE(native_maintenance_control(root, {"self", "uninstall"}, {}).has_value());
  EXPECT_FALSE(native_maintenance_control(root, {"self"}, {}).has_value());
  for (const auto& command : std::vector<std::vector<std::string>>{{"self", "shortcut"},
                                                                   {"self", "shortcut", "list"},
                                                                   {"self", "shortcut", "create", "--game"},
                                                                   {"self", "shortcut", "create", "--name", "x"},
                                                                   {"self", "shortcut", "create", "--game", ""},
                                                                   {"self", "shortcut", "remove", "--json", "x"}}) {
    auto error = thrown([&] { native_maintenance_control(root, command, {}); });
    EXPECT_EQ(error.code, "usage");
    EXPECT_STREQ(error.what(), "Use self shortcut create [--game GAME] or self shortcut remove");
  }
  EXPECT_EQ(thrown([&] {
              native_maintenance_control(root, {"self", "shortcut", "create", "--game", "../x"}, {});
            }).code,
            "invalid_identity");
}

TEST(MaintenanceControl, CreatesAndRemovesOwnedShortcuts) {
  Installation installation;
  const auto& root = installation.root;
  auto created = native_maintenance_control(root, {"self", "shortcut", "create", "--json"}, {});
  ASSERT_TRUE(created.has_value());
  const auto launcher_entry = path_from_utf8((*created)["created"].get<std::string>());
  EXPECT_EQ(launcher_entry, native_menu_entry(root, ""));
  EXPECT_EQ(launcher_entry.parent_path(), installation.menu);
  // Entries start the installed bootstrap, never the running program.
  EXPECT_NE(read_file(launcher_entry).find(path_utf8(root / "native/bootstrap/bin/trelk-bootstrap")),
            std::string::npos);
  // Asking again finds the unchanged entry and reports the same path.
  EXPECT_EQ(*native_maintenance_control(root, {"self", "shortcut", "create"}, {}), *created);

  auto game = native_maintenance_control(root, {"self", "shortcut", "create", "--game", "space-game"}, {});
  const auto game_entry = path_from_utf8((*game)["created"].get<std::string>());
  write_file(game_entry, read_file(game_entry) + "Comment=edited\n");

  auto removal = native_maintenance_control(root, {"self", "shortcut", "remove"}, {});
  ASSERT_TRUE(removal.has_value());
  EXPECT_EQ((*removal)["removed"], json::array({path_utf8(launcher_entry)}));
  EXPECT_EQ((*removal)["changed"], json::array({path_utf8(game_entry)}));
  EXPECT_FALSE(fs::exists(launcher_entry));
  EXPECT_TRUE(fs::exists(game_entry));
  // The ledger forgot both: a second removal has nothing to do.
  auto again = native_maintenance_control(root, {"self", "shortcut", "remove"}, {});
  EXPECT_TRUE((*again)["removed"].empty());
  EXPECT_TRUE((*again)["changed"].empty());
}

TEST(MaintenanceControl, ConsolePreparationHonoursAnEarlierInterrupt) {
  Installation installation;
  LauncherStore store(installation.root);
  auto stop = thrown([&] {
    prepare_console_maintenance(
        store, installation.reference, installation.root, [] { return true; }, false);
  });
  EXPECT_EQ(stop.code, "cancelled");
  EXPECT_STREQ(stop.what(), "Uninstall cancelled");

  auto runtime = prepare_console_maintenance(
      store, installation.reference, installation.root, [] { return false; }, true);
  EXPECT_EQ(runtime.image(), installation.version() / "bin/trelk-maintenance");
  EXPECT_FALSE(runtime.launched());
  EXPECT_TRUE(runtime.copy().empty());
}

}  // namespace
}  // namespace trelk
