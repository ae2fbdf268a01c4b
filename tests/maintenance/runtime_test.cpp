#include "maintenance/runtime.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "launcher/store.hpp"
#include "maintenance/control.hpp"
#include "maintenance/installation.hpp"
#include "process/arguments.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::Installation;
using test::read_file;

TEST(MaintenanceRuntime, PrepareProvesTheHelperAgainstItsInventory) {
  Installation installation;
  LauncherStore store(installation.root);
  auto prepare = [&](const char* role) {
    return MaintenanceRuntime::prepare(store, installation.reference, role, installation.root, {});
  };
  EXPECT_EQ(prepare("maintenance").image(), installation.version() / "bin/trelk-maintenance");
  EXPECT_TRELK_ERROR(prepare("crash-handler"), "maintenance_unavailable",
                     "This Trelk version has no crash-handler helper; use the Trelk installer to uninstall");
  // One byte differs, the length does not.
  auto helper = installation.version() / "bin/trelk-maintenance";
  auto bytes = read_file(helper);
  bytes[bytes.size() / 2] ^= 1;
  test::write_file(helper, bytes);
  EXPECT_TRELK_ERROR(prepare("maintenance"), "content_mismatch",
                     "The maintenance helper is damaged; run the Trelk installer to repair it");
}

TEST(MaintenanceRuntime, TemporaryCopiesAreRecognisedAndRemoved) {
  EXPECT_TRELK_ERROR(require_maintenance_runtime_image("/tmp/trelk-maintenance-1f2e/bin/trelk"), "maintenance_copy",
                     "");
  EXPECT_NO_THROW(require_maintenance_runtime_image("/opt/my-trelk-maintenance-/trelk"));

  test::TempDir dir;
  test::ScopedEnv environment;
  environment.set("TMPDIR", dir.path().string());
  environment.set("TRELK_MAINTENANCE_COPY", (dir / "trelk-maintenance-other").string());
  environment.set("TRELK_MAINTENANCE_READY", "");
  EXPECT_TRELK_ERROR(MaintenanceRuntime::attach("maintenance", ""), "maintenance_copy",
                     "Maintenance helper copy path is invalid");

  // A copy made but never started is removed with its handle.
  environment.set("TRELK_MAINTENANCE_COPY", "");
  fs::path copy;
  {
    auto runtime = MaintenanceRuntime::relocate();
    copy = runtime.copy();
    EXPECT_EQ(copy.parent_path(), dir.path());
    EXPECT_EQ(read_file(runtime.image()), read_file(current_executable_path()));
    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  EXPECT_FALSE(fs::exists(copy));
}

TEST(MaintenanceRuntime, ConsoleAndWindowedHelpersStartFromTheirCopies) {
  Installation installation;
  LauncherStore store(installation.root);
  auto entry = create_installation_shortcut(installation.root, "", {}, {});
  fs::remove(entry);

  // The windowed helper repairs the lost entry once its window is open.
  auto window = MaintenanceRuntime::prepare(store, installation.reference, "maintenance-gui", installation.root, {});
  window.launch_gui({"repair-shortcuts", "--data-dir", installation.root.string()}, std::chrono::seconds(20));
  for (int i = 0; i < 500 && !(fs::exists(entry) && installation.helper_copies().empty()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(fs::exists(entry));
  EXPECT_TRUE(installation.helper_copies().empty());

  auto console = MaintenanceRuntime::prepare(store, installation.reference, "maintenance", installation.root, {});
  EXPECT_EQ(console.launch_console({"remove-shortcuts", "--data-dir", installation.root.string()})->wait(), 0);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(installation.helper_copies().empty());

  // A malformed request: the helper ends with a usage error before it reports its window.
  auto failing = MaintenanceRuntime::prepare(store, installation.reference, "maintenance-gui", installation.root, {});
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRELK_ERROR(failing.launch_gui({"uninstall"}, std::chrono::seconds(60)), "maintenance_startup",
                     "The uninstall window did not open");
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60));
  EXPECT_TRUE(installation.helper_copies().empty());
}

}  // namespace
}  // namespace trelk
