#include "maintenance/runtime.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "desktop/shortcut_ledger.hpp"
#include "launcher/store.hpp"
#include "maintenance/control.hpp"
#include "maintenance/installation.hpp"
#include "process/arguments.hpp"

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

LauncherPayload windowed_payload() {
  LauncherPayload payload;
  payload.files.push_back({"bin/trelk-maintenance-gui", read_file(test::helper_program()), true});
  payload.helpers.emplace_back("bin/trelk-maintenance-gui", "maintenance-gui");
  return payload;
}

TEST(MaintenanceRuntime, PrepareProvesTheHelperAgainstItsInventory) {
  Installation installation;
  LauncherStore store(installation.root);
  auto runtime = MaintenanceRuntime::prepare(store, installation.reference, "maintenance", installation.root, {});
  EXPECT_EQ(runtime.image(), installation.version() / "bin/trelk-maintenance");
  EXPECT_FALSE(runtime.attached());
  EXPECT_EQ(runtime.environment().at("TRELK_LAUNCHER_HEALTH_NONCE"), "");
  EXPECT_EQ(runtime.environment().at("TRELK_MAINTENANCE_COPY"), "");

  auto missing = thrown(
      [&] { MaintenanceRuntime::prepare(store, installation.reference, "maintenance-gui", installation.root, {}); });
  EXPECT_EQ(missing.code, "maintenance_unavailable");
  EXPECT_STREQ(missing.what(),
               "This Trelk version has no maintenance-gui helper; use the Trelk installer to uninstall");

  // Verification reports progress and stops when asked to.
  auto stopped = thrown([&] {
    MaintenanceRuntime::prepare(store, installation.reference, "maintenance", installation.root,
                                [](std::uint64_t, std::uint64_t) { return false; });
  });
  EXPECT_EQ(stopped.code, "cancelled");

  // One byte differs, the length does not.
  auto helper = installation.version() / "bin/trelk-maintenance";
  auto bytes = read_file(helper);
  bytes[bytes.size() / 2] ^= 1;
  write_file(helper, bytes);
  auto damaged =
      thrown([&] { MaintenanceRuntime::prepare(store, installation.reference, "maintenance", installation.root, {}); });
  EXPECT_EQ(damaged.code, "content_mismatch");
  EXPECT_STREQ(damaged.what(), "The maintenance helper is damaged; run the Trelk installer to repair it");

  // A longer file fails on its length alone.
  write_file(helper, bytes + "x");
  EXPECT_EQ(thrown([&] {
              MaintenanceRuntime::prepare(store, installation.reference, "maintenance", installation.root, {});
            }).code,
            "content_mismatch");
}

TEST(MaintenanceRuntime, TemporaryCopiesAreRecognisedAndNeverStartTheLauncher) {
  EXPECT_EQ(thrown([] { require_maintenance_runtime_image("/tmp/trelk-maintenance-1f2e/bin/trelk"); }).code,
            "maintenance_copy");
  EXPECT_NO_THROW(require_maintenance_runtime_image("/opt/trelk/bin/trelk"));
  EXPECT_NO_THROW(require_maintenance_runtime_image("/opt/my-trelk-maintenance-/trelk"));

  test::TempDir dir;
  test::ScopedEnvironment environment;
  environment.set("TMPDIR", dir.path().string());
  environment.set("TRELK_MAINTENANCE_COPY", "");
  environment.set("TRELK_MAINTENANCE_READY", "");
  EXPECT_EQ(MaintenanceRuntime::attach("maintenance", ""), nullptr);

  // A copy that is not this program's own directory.
  environment.set("TRELK_MAINTENANCE_COPY", (dir / "trelk-maintenance-other").string());
  auto invalid = thrown([] { MaintenanceRuntime::attach("maintenance", ""); });
  EXPECT_EQ(invalid.code, "maintenance_copy");
  EXPECT_STREQ(invalid.what(), "Maintenance helper copy path is invalid");
  environment.set("TRELK_MAINTENANCE_COPY", current_executable_path().parent_path().string());
  EXPECT_EQ(thrown([] { MaintenanceRuntime::attach("maintenance", ""); }).code, "maintenance_copy");
  EXPECT_EQ(thrown([] { MaintenanceRuntime::attach("crash-handler", ""); }).code, "launcher_helper");

  // A copy made but never started is removed with its handle.
  environment.set("TRELK_MAINTENANCE_COPY", "");
  environment.set("TRELK_MAINTENANCE_READY", (dir / "ready").string());
  fs::path copy;
  {
    auto runtime = MaintenanceRuntime::relocate();
    copy = runtime.copy();
    EXPECT_EQ(copy.parent_path(), dir.path());
    EXPECT_TRUE(copy.filename().string().starts_with("trelk-maintenance-"));
    EXPECT_EQ(runtime.image(), copy / current_executable_path().filename());
    EXPECT_EQ(read_file(runtime.image()), read_file(current_executable_path()));
    EXPECT_EQ(runtime.environment().at("TRELK_MAINTENANCE_READY"), (dir / "ready").string());
    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto moved = std::move(runtime);
    EXPECT_TRUE(runtime.copy().empty());
  }
  EXPECT_FALSE(fs::exists(copy));
}

TEST(MaintenanceRuntime, ConsoleAndWindowedHelpersStartFromTheirCopies) {
  Installation installation(windowed_payload());
  LauncherStore store(installation.root);
  auto entry = create_installation_shortcut(installation.root, "", {}, {});
  fs::remove(entry);

  // The windowed helper repairs the lost entry once its window is open.
  auto window = MaintenanceRuntime::prepare(store, installation.reference, "maintenance-gui", installation.root, {});
  window.launch_gui({"repair-shortcuts", "--data-dir", installation.root.string()}, std::chrono::seconds(20));
  EXPECT_TRUE(window.launched());
  for (int i = 0; i < 500 && !(fs::exists(entry) && installation.helper_copies().empty()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(fs::exists(entry));
  EXPECT_TRUE(installation.helper_copies().empty());

  auto console = MaintenanceRuntime::prepare(store, installation.reference, "maintenance", installation.root, {});
  auto child = console.launch_console({"remove-shortcuts", "--data-dir", installation.root.string()});
  EXPECT_EQ(child->wait(), 0);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(installation.helper_copies().empty());
}

TEST(MaintenanceRuntime, AWindowThatNeverOpensIsReportedBeforeTheTimeout) {
  Installation installation(windowed_payload());
  LauncherStore store(installation.root);
  auto window = MaintenanceRuntime::prepare(store, installation.reference, "maintenance-gui", installation.root, {});
  const auto began = std::chrono::steady_clock::now();
  // A malformed request: the helper ends with a usage error before it reports its window.
  auto error = thrown([&] { window.launch_gui({"uninstall"}, std::chrono::seconds(60)); });
  EXPECT_EQ(error.code, "maintenance_startup");
  EXPECT_STREQ(error.what(), "The uninstall window did not open");
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60));
  for (const auto& entry : fs::directory_iterator(installation.temp))
    EXPECT_FALSE(entry.path().filename().string().starts_with("trelk-maintenance-ready-")) << entry.path();
}

}  // namespace
}  // namespace trelk
