#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "core/json.hpp"
#include "files/atomic.hpp"
#include "launcher/manifest.hpp"
#include "launcher/store.hpp"
#include "reference_release.hpp"
#include "supervise.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

TEST(InitialPackage, SeededReferenceLauncherPassesItsFirstStart) {
  const fs::path package = fs::path(TRELK_TOOLS_DIR).parent_path() / "packages" / "launcher";
  auto text = read_file(package / "release.json", launcher_manifest_limit);
  auto manifest = LauncherManifest::parse(parse_json(text, launcher_manifest_limit));
  EXPECT_EQ(manifest.snapshot.executable, "bin/trelk");
  EXPECT_EQ(manifest.gui_executable, "bin/trelk-gui");

  test::TempDir dir;
  auto reference =
      LauncherStore(dir.path()).seed_initial(text, package / (manifest.snapshot.build_id + ".tar.zst"), {});
  auto outcome = test::supervise_candidate(dir.path(), "cli", true, std::chrono::milliseconds(20000));
  EXPECT_TRUE(outcome.confirmed) << outcome.error;
  ASSERT_NE(outcome.child, nullptr);
  EXPECT_EQ(outcome.child->wait(), 0);
  auto record = LauncherStore(dir.path()).load();
  EXPECT_EQ(record["active"], reference);
  EXPECT_TRUE(record["rollback"].is_null());
}

}  // namespace
}  // namespace trelk
