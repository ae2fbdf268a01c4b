#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/json.hpp"
#include "files/atomic.hpp"
#include "launcher/manifest.hpp"
#include "reference_release.hpp"
#include "snapshot/extract.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

TEST(InitialPackage, BuildProducesAnExtractableReferenceLauncherRelease) {
  const fs::path package = fs::path(TRELK_TOOLS_DIR).parent_path() / "packages" / "launcher";
  auto manifest = LauncherManifest::parse(parse_json(read_file(package / "release.json", 524288), 524288));
  EXPECT_EQ(manifest.snapshot.executable, "bin/trelk");
  EXPECT_EQ(manifest.gui_executable, "bin/trelk-gui");
  EXPECT_TRUE(manifest.runtime_helpers.empty());
  auto archive = package / (manifest.snapshot.build_id + ".tar.zst");
  EXPECT_EQ(fs::file_size(archive), manifest.snapshot.archive_length);

  test::TempDir dir;
  auto staging = dir / "staging";
  extract_snapshot(manifest.snapshot, archive, staging, {}, nullptr);
  verify_snapshot_tree(manifest.snapshot, staging, {});
  EXPECT_EQ(test::read_file(staging / "bin/trelk"), test::reference_launcher_image());
  auto identity = parse_json(test::read_file(staging / "launcher.json"), 4096);
  EXPECT_EQ(identity["build_id"], manifest.snapshot.build_id);
  EXPECT_EQ(identity["behaviour"], "normal");
}

}  // namespace
}  // namespace trelk
