#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace trelk {

struct SnapshotManifest;

// Geometry and free space of the volume holding one directory.
struct StorageVolume {
  std::filesystem::path path;
  std::string device;  // "device:<number>"
  std::uint64_t allocation_unit = 0;
  std::uint64_t capacity_bytes = 0;
  std::uint64_t available_bytes = 0;
  // Both present, or both absent when the file system reports no usable inode counts.
  std::optional<std::uint64_t> inode_capacity;
  std::optional<std::uint64_t> available_inodes;
};

StorageVolume inspect_storage_volume(const std::filesystem::path& path);
json make_storage_volume_budget(const StorageVolume& volume);
void finish_storage_volume_budget(json& budget);
// The install plan for extracting manifest's snapshot onto volume; existing_allocation_bytes is
// what an owned partial archive file already holds, existing_partial whether it is reused.
json plan_install_storage(const SnapshotManifest& manifest, const StorageVolume& volume, bool verified_archive_cached,
                          std::uint64_t existing_allocation_bytes, bool existing_partial);
// Throws "insufficient_space" when plan shows a byte or file-entry shortfall; label names the
// purpose (a game identifier or "launcher") and may be empty.
void require_install_storage(const json& plan, std::string_view label);

}  // namespace trelk
