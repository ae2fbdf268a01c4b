#include "maintenance/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bootstrap/contract.hpp"
#include "core/paths.hpp"
#include "launcher/store.hpp"
#include "maintenance/control.hpp"
#include "maintenance/uninstall.hpp"
#include "support/errors.hpp"
#include "support/installation.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::Installation;
using test::read_file;

json finished_view(MaintenanceHandoff& handoff) {
  handoff.join();
  return json::parse(handoff.view());
}

TEST(MaintenanceHandoff, PublishesOutcomesAndRunsOneCancellableJobAtATime) {
  MaintenanceHandoff handoff;
  std::atomic<int> wakeups{0};
  handoff.set_wakeup([&] { ++wakeups; });
  handoff.begin([](MaintenanceHandoff& self) -> json {
    self.publish(MaintenanceHandoff::phase_view("removing", true));
    throw std::runtime_error("disk on fire");
  });
  const auto view = finished_view(handoff);
  EXPECT_EQ(view["phase"], "failed");
  EXPECT_EQ(view["result"], (json{{"code", "maintenance_failed"}, {"message", "disk on fire"}}));
  EXPECT_EQ(wakeups.load(), 3);  // starting, removing, failed

  std::atomic<bool> entered{false};
  handoff.begin([&](MaintenanceHandoff& self) -> json {
    entered = true;
    while (!self.cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fail("cancelled", "Operation cancelled at a safe boundary");
  });
  ASSERT_TRUE(test::eventually([&] { return entered.load(); }));
  EXPECT_TRELK_ERROR(handoff.begin([](MaintenanceHandoff&) { return json(nullptr); }), "busy", "");
  handoff.cancel();
  EXPECT_EQ(finished_view(handoff)["result"]["code"], "cancelled");
  // The next job starts with the flag cleared.
  handoff.begin([](MaintenanceHandoff& self) { return json(self.cancelled()); });
  EXPECT_EQ(finished_view(handoff)["result"], false);
}

TEST(MaintenanceRuntime, ShortcutsAndHelpersAreProvenAndHandedOverFromTheirCopies) {
  Installation installation;
  const fs::path& root = installation.root;
  LauncherStore store(root);
  auto prepare = [&](const char* role) {
    return MaintenanceRuntime::prepare(store, installation.reference, role, root, {});
  };
  const fs::path helper = installation.version() / "bin/trelk-maintenance";
  EXPECT_EQ(prepare("maintenance").image(), helper);
  EXPECT_TRELK_ERROR(prepare("crash-handler"), "maintenance_unavailable",
                     "This Trelk version has no crash-handler helper; use the Trelk installer to uninstall");
  EXPECT_TRELK_ERROR(prepare_console_maintenance(
                         store, installation.reference, root, [] { return true; }, false),
                     "cancelled", "Uninstall cancelled");
  {
    test::ScopedEnv copy{"TRELK_MAINTENANCE_COPY", (installation.temp / "trelk-maintenance-other").string()};
    EXPECT_TRELK_ERROR(MaintenanceRuntime::attach("maintenance", ""), "maintenance_copy",
                       "Maintenance helper copy path is invalid");
  }

  // Below the command grammar, the helper's own parser still takes only its own words.
  EXPECT_EQ(maintenance_arguments({"--json", "self", "uninstall", "--remove-data"}, root.string() + "/"),
            (std::vector<std::string>{"uninstall", "--data-dir", root.string(), "--remove-data", "--json"}));
  EXPECT_TRELK_ERROR(maintenance_arguments({"self", "uninstall", "--force"}, root), "usage",
                     "Use self uninstall [--remove-data]");
  EXPECT_TRELK_ERROR(native_maintenance_control(root, {"self", "shortcut", "create", "--game"}, {}), "usage",
                     "Use self shortcut create [--game GAME] or self shortcut remove");
  // A menu entry made by the command starts the installed bootstrap, never the running program.
  const auto created = native_maintenance_control(root, {"self", "shortcut", "create", "--json"}, {});
  ASSERT_TRUE(created.has_value());
  const auto entry = path_from_utf8((*created)["created"].get<std::string>());
  EXPECT_EQ(entry.parent_path(), installation.dir / "xdg/applications");
  EXPECT_NE(read_file(entry).find(path_utf8(installation.bootstrap())), std::string::npos);
  MaintenanceHandoff handoff;
  const fs::path destination = installation.home / "trelk.desktop";
  handoff.create_shortcut(root, "", destination, "My Trelk");
  ASSERT_EQ(finished_view(handoff)["phase"], "succeeded");
  // The windowed helper repairs the lost entry once its window is open, then its copy goes.
  fs::remove(destination);
  prepare("maintenance-gui").launch_gui({"repair-shortcuts", "--data-dir", root.string()}, std::chrono::seconds(20));
  EXPECT_TRUE(test::eventually([&] { return fs::exists(destination) && installation.helper_copies().empty(); }));
  handoff.remove_shortcuts(root);
  EXPECT_EQ(finished_view(handoff)["result"]["removed"], json::array({path_utf8(entry), path_utf8(destination)}));
  EXPECT_FALSE(fs::exists(entry) || fs::exists(destination));
  EXPECT_EQ((*native_maintenance_control(root, {"self", "shortcut", "remove"}, {}))["removed"], json::array());

  // This test program is no managed launcher image, so it has no windowed helper to hand over to.
  handoff.start(root, "gui", {"uninstall", "--data-dir", root.string()});
  EXPECT_EQ(finished_view(handoff)["result"]["code"], "maintenance_unavailable");
  // A malformed request: the helper ends with a usage error before it reports its window.
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRELK_ERROR(prepare("maintenance-gui").launch_gui({"uninstall"}, std::chrono::seconds(60)),
                     "maintenance_startup", "The uninstall window did not open");
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60));
  EXPECT_TRUE(installation.helper_copies().empty());
  // One byte differs, the length does not.
  const auto bytes = read_file(helper);
  test::write_file(helper, bytes.substr(0, bytes.size() - 1) + static_cast<char>(bytes.back() ^ 1));
  EXPECT_TRELK_ERROR(prepare("maintenance"), "content_mismatch",
                     "The maintenance helper is damaged; run the Trelk installer to repair it");
  test::write_file(helper, bytes);

  // The uninstall helper refuses while bootstraps run (each holds the installation shared for its lifetime); once
  // they have gone, an installation without user data leaves nothing behind. A directory without an installation
  // record is never uninstalled, whatever the command line says.
  UninstallOptions quick{.release_wait = std::chrono::milliseconds(0)};
  {
    const auto first = bootstrap_lifetime(installation.bootstrap()),
               second = bootstrap_lifetime(installation.bootstrap());
    ASSERT_TRUE(first && second);
    EXPECT_TRELK_ERROR(uninstall_installation(root, quick), "busy", "Another worker owns this native installation");
    EXPECT_TRUE(fs::exists(helper));
  }
  EXPECT_TRUE(uninstall_installation(root, quick).changed.empty());
  EXPECT_FALSE(fs::exists(root));
  test::write_file(installation.dir / "other/keep.txt", "keep");
  quick.remove_data = true;
  EXPECT_TRELK_ERROR(uninstall_installation(installation.dir / "other", quick), "not_installed", "");
  EXPECT_EQ(read_file(installation.dir / "other/keep.txt"), "keep");
}

}  // namespace
}  // namespace trelk
