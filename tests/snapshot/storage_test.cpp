#include "snapshot/storage.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

// One one-byte file in one directory, from a 5000-byte archive: the tree takes 3 units and 2 entries, the download 3
// units and 1 entry, with a 16 MiB and 64-entry margin on top.
const std::uint64_t needed = 8192 + 4096 + 3 * 4096 + 16777216;

TEST(StoragePlan, RefusesAVolumeThatCannotHoldTreeDownloadAndMargin) {
  const auto manifest = SnapshotManifest::parse(inventory_document({{"dir/a", "x", true}}, std::string(5000, 'a')));
  auto check = [&](std::uint64_t available, std::optional<std::uint64_t> inodes, bool cached = false) {
    const StorageVolume volume{"/volume", "device:1", 4096, 1 << 30, available, 1000, inodes};
    require_install_storage(plan_install_storage(manifest, volume, cached, 0, false), "");
  };
  check(needed, 67);
  EXPECT_TRELK_ERROR(check(needed - 1, 900), "insufficient_space",
                     "Storage at /volume needs 1 more byte before installation; free space first");
  const auto entries = thrown([&] { check(needed, 60); });
  EXPECT_STREQ(entries.what(), "Storage at /volume needs 7 more file entries before installation; free space first");
  EXPECT_EQ(entries.details, std::vector<std::string>{"trelk-install --status --data-dir PATH"});
  // A cached archive needs no download; without inode counts entries never fail.
  check(needed - 12288, {}, true);
}

}  // namespace
}  // namespace trelk::test
