#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/paths.hpp"
#include "support/errors.hpp"
#include "files/locks.hpp"
#include "launcher/runtime.hpp"
#include "launcher/store.hpp"
#include "reference_release.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

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
  TempDir dir;
  // Outside every installed version and not under the protocol: nothing to attach to.
  EXPECT_EQ(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path()), nullptr);
  report_launcher_health(nullptr);
  EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-1.0.0", "tui", dir.path()), "launcher_interface",
                     "Choose the CLI or GUI launcher interface");

  auto version = install_launcher_payload(dir.path(), LauncherPayload{});
  LauncherStore store(dir.path());
  auto record = store.load();
  record["candidate"] = version;
  store.save(record);
  auto attempt = store.begin_candidate();
  auto environment = store.health_environment(attempt, "cli");
  const char* mismatch = "Launcher startup does not match this build, interface or data root";
  {
    StartupVariables variables(environment);
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-9.0.0", "cli", dir.path()), "launcher_health", mismatch);
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-1.0.0", "gui", dir.path()), "launcher_health", mismatch);
    TempDir other;
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-1.0.0", "cli", other.path()), "launcher_health", mismatch);
    // None of these took a lease.
    FileLock probe(store.startup_lease_path(attempt), false, LockMode::exclusive);
  }
  {
    // Another spelling of the same root is the same root; this test program is no entry point, though.
    StartupVariables variables(environment);
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path() / "launcher" / ".."),
                       "launcher_identity", "Running launcher image differs from its verified native entry point");
    auto forged = environment;
    forged["TRELK_LAUNCHER_HEALTH_NONCE"] = "not-a-nonce";
    StartupVariables forged_variables(forged);
    EXPECT_TRELK_ERROR(LauncherRuntime::attach("launcher-1.0.0", "cli", dir.path()), "launcher_state",
                       "Launcher startup identity is invalid");
  }
  EXPECT_TRUE(store.load()["attempt"] == attempt);
  EXPECT_FALSE(fs::exists(store.startup_ack_path(attempt)));
}

TEST(LauncherRuntime, CopyOfTheEntryPointOutsideItsVersionIsRefused) {
  TempDir dir;
  auto version = test::install_reference(dir.path(), "launcher-2.0.0", "normal");
  test::select_versions(dir.path(), nullptr, version);
  LauncherStore store(dir.path());
  auto attempt = store.begin_candidate();
  auto copy = dir / "copy";
  write_payload_tree(copy, test::reference_payload("launcher-2.0.0", "normal").files);

  auto result = test::run_captured(copy / "bin/trelk", {"--data-dir", path_utf8(dir.path())},
                                   store.health_environment(attempt, "cli"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "trelk: Running launcher image differs from its verified native entry point\n");
  EXPECT_FALSE(fs::exists(store.startup_ack_path(attempt)));
  EXPECT_FALSE(fs::exists(store.health_path(attempt)));
}

TEST(ReferenceLauncher, AnswersSelfStatusAndRefusesWhatItCannotDo) {
  TempDir dir;
  auto working = test::install_reference(dir.path(), "launcher-1.0.0", "normal");
  auto staged = test::install_reference(dir.path(), "launcher-2.0.0", "normal");
  test::select_versions(dir.path(), working, staged);
  LauncherStore store(dir.path());
  auto payload = store.payload(working);
  const auto root = path_utf8(dir.path());

  auto status = test::run_captured(payload / "bin/trelk", {"self", "status", "--data-dir", root});
  EXPECT_EQ(status.status, 0) << status.err;
  ASSERT_FALSE(status.out.empty());
  EXPECT_EQ(status.out.back(), '\n');
  auto document = parse_json(status.out.substr(0, status.out.size() - 1), 4096);
  EXPECT_EQ(document.dump() + "\n", status.out);  // compact, one line
  EXPECT_TRUE(document["running"]["pid"].is_number_integer());
  document["running"].erase("pid");
  EXPECT_EQ(
      document["running"],
      (json{{"build_id", "launcher-1.0.0"}, {"interface", "cli"}, {"manifest_sha256", working["manifest_sha256"]}}));
  EXPECT_EQ(document["active"], working);
  EXPECT_TRUE(document["rollback"].is_null());
  EXPECT_EQ(document["candidate"], staged);

  auto refused = test::run_captured(payload / "bin/trelk", {"--data-dir", root, "list"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "trelk: This command is not available in this launcher\n");
  EXPECT_TRUE(refused.out.empty());

  auto as_json = test::run_captured(payload / "bin/trelk", {"--data-dir", root, "--json", "list"});
  EXPECT_EQ(as_json.status, 1);
  EXPECT_EQ(as_json.out,
            "{\"problem\":{\"code\":\"launcher_command\",\"message\":\"This command is not available in this "
            "launcher\",\"recovery\":[]},\"schema_version\":1}\n");

  auto misuse = test::run_captured(payload / "bin/trelk", {"--data-dir", root, "--json", "list", "extra"});
  EXPECT_EQ(misuse.status, 2);
  EXPECT_NE(misuse.out.find("\"code\":\"usage\""), std::string::npos);

  // The GUI entry point is the same program under its second name.
  auto gui = test::run_captured(payload / "bin/trelk-gui", {"--data-dir", root});
  EXPECT_EQ(gui.status, 0) << gui.err;
}

}  // namespace
}  // namespace trelk
