#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "desktop/desktop_entry.hpp"
#include "maintenance/installation.hpp"
#include "maintenance/runtime.hpp"

namespace trelk {
namespace {

json finished_view(MaintenanceHandoff& handoff) {
  handoff.join();
  return json::parse(handoff.view());
}

TEST(MaintenanceHandoff, PublishesTheOutcomeOfEachJob) {
  MaintenanceHandoff handoff;
  std::atomic<int> wakeups{0};
  handoff.set_wakeup([&] { ++wakeups; });

  handoff.begin([](MaintenanceHandoff& self) {
    auto view = MaintenanceHandoff::phase_view("removing", true);
    view["completed_bytes"] = 5;
    view["total_bytes"] = 10;
    self.publish(view);
    return json{{"schema_version", 1}, {"done", true}};
  });
  auto view = finished_view(handoff);
  EXPECT_EQ(view["phase"], "succeeded");
  EXPECT_EQ(view["result"], (json{{"schema_version", 1}, {"done", true}}));
  EXPECT_EQ(wakeups.load(), 3);  // starting, removing, succeeded

  handoff.begin([](MaintenanceHandoff&) -> json { fail("launcher_missing", "Install a verified launcher first"); });
  view = finished_view(handoff);
  EXPECT_EQ(view["phase"], "failed");
  EXPECT_EQ(view["result"], (json{{"code", "launcher_missing"}, {"message", "Install a verified launcher first"}}));

  handoff.begin([](MaintenanceHandoff&) -> json { throw std::runtime_error("disk on fire"); });
  view = finished_view(handoff);
  EXPECT_EQ(view["result"]["code"], "maintenance_failed");
  EXPECT_EQ(view["result"]["message"], "disk on fire");
}

TEST(MaintenanceHandoff, CancelReachesTheRunningJobAndOneJobRunsAtATime) {
  MaintenanceHandoff handoff;
  std::atomic<bool> entered{false};
  handoff.begin([&](MaintenanceHandoff& self) -> json {
    entered = true;
    while (!self.cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fail("cancelled", "Operation cancelled at a safe boundary");
  });
  while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(json::parse(handoff.view())["phase"], "starting");
  try {
    handoff.begin([](MaintenanceHandoff&) { return json(nullptr); });
    ADD_FAILURE() << "a second job began beside the first";
  } catch (const Error& error) {
    EXPECT_EQ(error.code, "busy");
  }
  handoff.cancel();
  auto view = finished_view(handoff);
  EXPECT_EQ(view["phase"], "failed");
  EXPECT_EQ(view["result"]["code"], "cancelled");

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
  EXPECT_EQ(view["result"]["created"], path_utf8(destination));
  EXPECT_NE(test::read_file(destination).find("Name=My\\sTrelk"), std::string::npos);

  handoff.remove_shortcuts(installation.root);
  view = finished_view(handoff);
  EXPECT_EQ(view["result"]["removed"], json::array({path_utf8(destination)}));
  EXPECT_FALSE(fs::exists(destination));

  // This test program is no managed launcher image, so it has no windowed helper to hand over to.
  handoff.start(installation.root, "gui", {"uninstall", "--data-dir", installation.root.string()});
  view = finished_view(handoff);
  EXPECT_EQ(view["phase"], "failed");
  EXPECT_EQ(view["result"]["code"], "maintenance_unavailable");
}

}  // namespace
}  // namespace trelk
