#include <gtest/gtest.h>
#include <stdlib.h>

#include "launcher/runtime.hpp"
#include "reference_release.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

// Startup variables for this test process, removed again whatever happens.
struct StartupVariables {
  explicit StartupVariables(const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) ::setenv(name.c_str(), value.c_str(), 1);
  }
  ~StartupVariables() {
    for (const char* name : {"TRELK_LAUNCHER_HEALTH_NONCE", "TRELK_LAUNCHER_MANIFEST", "TRELK_LAUNCHER_BUILD",
                             "TRELK_LAUNCHER_INTERFACE", "TRELK_LAUNCHER_DATA_ROOT"})
      ::unsetenv(name);
  }
};

TEST(LauncherRuntime, AttachChecksTheStartupIdentityBeforeTakingLeases) {
  test::TempDir dir;
  // Outside every installed version and not under the protocol: nothing to attach to.
  EXPECT_EQ(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path()), nullptr);

  test::select_versions(dir.path(), nullptr, install_launcher_payload(dir.path(), LauncherPayload{}));
  LauncherStore store(dir.path());
  auto attempt = store.begin_candidate();
  const char* mismatch = "Launcher startup does not match this build, interface or data root";
  {
    StartupVariables variables(store.health_environment(attempt, "cli"));
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-9.0.0", "cli", dir.path()), "launcher_health", mismatch);
    // This test program is no entry point of the version.
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path()), "launcher_identity",
                       "Running launcher image differs from its verified native entry point");
    FileLock probe(store.startup_lease_path(attempt), false, LockMode::exclusive);  // no lease was taken
  }
  EXPECT_EQ(store.load()["attempt"], attempt);
  EXPECT_FALSE(fs::exists(store.startup_ack_path(attempt)));
}

}  // namespace
}  // namespace trelk
