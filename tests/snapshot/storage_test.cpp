#include "snapshot/storage.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

StorageVolume volume_of(std::uint64_t capacity, std::uint64_t available, std::optional<std::uint64_t> inodes,
                        std::optional<std::uint64_t> free_inodes) {
  return StorageVolume{"/volume", "device:1", 4096, capacity, available, inodes, free_inodes};
}

SnapshotManifest one_byte_in_one_directory() {
  return SnapshotManifest::parse(inventory_document({{"dir/a", "x", true}}, std::string(5000, 'a')));
}

TEST(StoragePlan, CountsTreeAllocationDownloadAndMargin) {
  const auto manifest = one_byte_in_one_directory();
  const json plan = plan_install_storage(manifest, volume_of(1 << 30, 1 << 29, 1000, 900), false, 0, false);
  EXPECT_EQ(plan.at("schema_version"), 1);
  EXPECT_EQ(plan.at("reserved"), false);
  const json& volume = plan.at("volume");
  EXPECT_EQ(volume.at("staging_bytes"), 4096 + 2 * 4096);
  EXPECT_EQ(volume.at("staging_file_entries"), 2);
  EXPECT_EQ(volume.at("download_bytes"), 8192 + 4096);  // 5000 rounded up, plus the new file's unit
  EXPECT_EQ(volume.at("download_file_entries"), 1);
  EXPECT_EQ(volume.at("additional_bytes"), 8192 + 4096 + 3 * 4096 + 16777216);
  EXPECT_EQ(volume.at("existing_or_unavailable_bytes"), 1 << 29);
  EXPECT_EQ(volume.at("shortfall_bytes"), 0);
  EXPECT_EQ(volume.at("additional_file_entries"), 1 + 2 + 64);
  EXPECT_EQ(volume.at("peak_inodes"), 100 + 67);
  EXPECT_EQ(volume.at("shortfall_file_entries"), 0);
  require_install_storage(plan, "launcher");

  // A cached archive needs no download; a reused partial file only what it still lacks.
  const json cached = plan_install_storage(manifest, volume_of(1 << 30, 1 << 29, 1000, 900), true, 0, false);
  EXPECT_EQ(cached.at("volume").at("download_bytes"), 0);
  EXPECT_EQ(cached.at("volume").at("download_file_entries"), 0);
  const json resumed = plan_install_storage(manifest, volume_of(1 << 30, 1 << 29, 1000, 900), false, 4096, true);
  EXPECT_EQ(resumed.at("volume").at("download_bytes"), 4096);
  EXPECT_EQ(resumed.at("volume").at("download_file_entries"), 0);
  EXPECT_TRELK_ERROR(plan_install_storage(manifest, volume_of(1 << 30, 1 << 29, 1000, 900), false, 4096, false),
                     "volume_query", "Existing allocation needs an owned partial file");

  // Without inode counts the plan never fails on file entries.
  const json no_inodes = plan_install_storage(manifest, volume_of(1 << 30, 1 << 29, {}, {}), false, 0, false);
  EXPECT_TRUE(no_inodes.at("volume").at("inode_capacity").is_null());
  EXPECT_FALSE(no_inodes.at("volume").contains("shortfall_file_entries"));
  require_install_storage(no_inodes, "");
}

TEST(StoragePlan, ShortfallsBecomeOneMessage) {
  const auto manifest = one_byte_in_one_directory();
  const std::uint64_t needed = 8192 + 4096 + 3 * 4096 + 16777216;
  auto failure = [&](std::uint64_t available, std::uint64_t free_inodes, const std::string& label) {
    try {
      require_install_storage(
          plan_install_storage(manifest, volume_of(1 << 30, available, 1000, free_inodes), false, 0, false), label);
    } catch (const Error& error) {
      EXPECT_EQ(error.code, "insufficient_space");
      return std::make_pair(std::string(error.what()), error.details);
    }
    return std::make_pair(std::string(), std::vector<std::string>{});
  };
  auto [one_byte, hints] = failure(needed - 1, 900, "launcher");
  EXPECT_EQ(one_byte, "Storage at /volume needs 1 more byte before installation; free space first");
  EXPECT_EQ(hints, std::vector<std::string>{"locations launcher"});
  // Both short: only the bytes are reported.
  EXPECT_EQ(failure(needed - 10, 10, "").first,
            "Storage at /volume needs 10 more bytes before installation; free space first");
  auto [entries, default_hints] = failure(needed, 66, "");
  EXPECT_EQ(entries, "Storage at /volume needs 1 more file entry before installation; free space first");
  EXPECT_EQ(default_hints, std::vector<std::string>{"trelk-install --status --data-dir PATH"});
  EXPECT_EQ(failure(needed, 60, "game-1").first,
            "Storage at /volume needs 7 more file entries before installation; free space first");
  EXPECT_EQ(failure(needed, 67, "").first, "");

  EXPECT_TRELK_ERROR(plan_install_storage(manifest, volume_of(~0ull, 0, {}, {}), false, 0, false), "size_limit",
                     "Peak storage calculation overflowed");
}

TEST(StorageVolume, InspectsARealDirectory) {
  TempDir dir;
  const StorageVolume volume = inspect_storage_volume(dir.path());
  EXPECT_EQ(volume.path, dir.path());
  EXPECT_EQ(volume.device.rfind("device:", 0), 0u);
  EXPECT_GT(volume.allocation_unit, 0u);
  EXPECT_LE(volume.available_bytes, volume.capacity_bytes);
  EXPECT_EQ(volume.inode_capacity.has_value(), volume.available_inodes.has_value());
  const json budget = make_storage_volume_budget(volume);
  EXPECT_EQ(budget.at("control_margin_bytes"), 16777216);
  EXPECT_EQ(budget.at("control_margin_file_entries"), 64);

  const std::string ordinary = "Storage needs an ordinary absolute directory";
  EXPECT_TRELK_ERROR(inspect_storage_volume("relative/dir"), "unsafe_path", ordinary);
  write_file(dir / "file", "");
  EXPECT_TRELK_ERROR(inspect_storage_volume(dir / "file"), "unsafe_path", ordinary);
  fs::create_directory_symlink(dir.path(), dir / "link");
  EXPECT_TRELK_ERROR(inspect_storage_volume(dir / "link"), "unsafe_path", ordinary);
}

}  // namespace
}  // namespace trelk::test
