#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/paths.hpp"
#include "maintenance/installation.hpp"
#include "maintenance/runtime.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

json finished_view(MaintenanceHandoff& handoff) {
  handoff.join();
  return json::parse(handoff.view());
}

TEST(MaintenanceHandoff, PublishesOutcomesAndRunsOneCancellableJobAtATime) {
  MaintenanceHandoff handoff;
  std::atomic<int> wakeups{0};
  handoff.set_wakeup([&] { ++wakeups; });
  handoff.begin([](MaintenanceHandoff& self) {
    self.publish(MaintenanceHandoff::phase_view("removing", true));
    return json{{"done", true}};
  });
  auto view = finished_view(handoff);
  EXPECT_EQ(view["phase"], "succeeded");
  EXPECT_EQ(view["result"], (json{{"done", true}}));
  EXPECT_EQ(wakeups.load(), 3);  // starting, removing, succeeded

  handoff.begin([](MaintenanceHandoff&) -> json { throw std::runtime_error("disk on fire"); });
  view = finished_view(handoff);
  EXPECT_EQ(view["phase"], "failed");
  EXPECT_EQ(view["result"], (json{{"code", "maintenance_failed"}, {"message", "disk on fire"}}));

  std::atomic<bool> entered{false};
  handoff.begin([&](MaintenanceHandoff& self) -> json {
    entered = true;
    while (!self.cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fail("cancelled", "Operation cancelled at a safe boundary");
  });
  while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRELK_ERROR(handoff.begin([](MaintenanceHandoff&) { return json(nullptr); }), "busy", "");
  handoff.cancel();
  EXPECT_EQ(finished_view(handoff)["result"]["code"], "cancelled");
  // The next job starts with the flag cleared.
  handoff.begin([](MaintenanceHandoff& self) { return json(self.cancelled()); });
  EXPECT_EQ(finished_view(handoff)["result"], false);
}

TEST(MaintenanceHandoff, ShortcutJobsAndAWindowOutsideAnInstalledVersion) {
  test::Installation installation;
  MaintenanceHandoff handoff;
  const auto destination = installation.home / "Desktop/trelk.desktop";
  fs::create_directories(destination.parent_path());
  handoff.create_shortcut(installation.root, "", destination, "My Trelk");
  auto view = finished_view(handoff);
  ASSERT_EQ(view["phase"], "succeeded") << view.dump();
  EXPECT_NE(test::read_file(destination).find("Name=My\\sTrelk"), std::string::npos);
  handoff.remove_shortcuts(installation.root);
  EXPECT_EQ(finished_view(handoff)["result"]["removed"], json::array({path_utf8(destination)}));
  EXPECT_FALSE(fs::exists(destination));

  // This test program is no managed launcher image, so it has no windowed helper to hand over to.
  handoff.start(installation.root, "gui", {"uninstall", "--data-dir", installation.root.string()});
  EXPECT_EQ(finished_view(handoff)["result"]["code"], "maintenance_unavailable");
}

}  // namespace
}  // namespace trelk
