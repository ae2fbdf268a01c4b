#include "snapshot/storage.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

StorageVolume volume(std::uint64_t available, std::optional<std::uint64_t> free_inodes) {
  return StorageVolume{"/volume", "device:1", 4096, 1 << 30, available, 1000, free_inodes};
}

// One one-byte file in one directory, from a 5000-byte archive: the tree takes 3 units and 2 entries, the download 3
// units and 1 entry, with a 16 MiB and 64-entry margin on top.
const std::uint64_t needed = 8192 + 4096 + 3 * 4096 + 16777216;

std::string shortfall(std::uint64_t available, std::uint64_t free_inodes, const std::string& label = "") {
  const auto manifest = SnapshotManifest::parse(inventory_document({{"dir/a", "x", true}}, std::string(5000, 'a')));
  try {
    require_install_storage(plan_install_storage(manifest, volume(available, free_inodes), false, 0, false), label);
  } catch (const Error& error) {
    EXPECT_EQ(error.code, "insufficient_space");
    EXPECT_EQ(error.details, std::vector<std::string>{label.empty() ? "trelk-install --status --data-dir PATH"
                                                                    : "locations " + label});
    return error.what();
  }
  return "";
}

TEST(StoragePlan, RefusesAVolumeThatCannotHoldTreeDownloadAndMargin) {
  EXPECT_EQ(shortfall(needed, 67), "");
  EXPECT_EQ(shortfall(needed - 1, 900, "launcher"),
            "Storage at /volume needs 1 more byte before installation; free "
            "space first");
  EXPECT_EQ(shortfall(needed, 60, "game-1"),
            "Storage at /volume needs 7 more file entries before installation; "
            "free space first");

  const auto manifest = SnapshotManifest::parse(inventory_document({{"dir/a", "x", true}}, std::string(5000, 'a')));
  // A cached archive needs no download; without inode counts entries never fail.
  require_install_storage(plan_install_storage(manifest, volume(needed - 12288, {}), true, 0, false), "");
  EXPECT_TRELK_ERROR(plan_install_storage(manifest, StorageVolume{"/v", "d", 4096, ~0ull, 0, {}, {}}, false, 0, false),
                     "size_limit", "Peak storage calculation overflowed");
}

}  // namespace
}  // namespace trelk::test
