#include "snapshot/storage.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <limits>
#include <set>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

namespace {

constexpr std::uint64_t all_ones = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t control_margin_bytes = 16777216;
constexpr std::uint64_t control_margin_file_entries = 64;

std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  require(a <= all_ones - b, "size_limit", "Peak storage calculation overflowed");
  return a + b;
}

std::uint64_t multiply(std::uint64_t a, std::uint64_t b) {
  require(b == 0 || a <= all_ones / b, "size_limit", "Peak storage calculation overflowed");
  return a * b;
}

std::uint64_t round_up(std::uint64_t value, std::uint64_t unit) {
  const std::uint64_t remainder = value % unit;
  return remainder == 0 ? value : add(value, unit - remainder);
}

std::uint64_t member(const json& object, const char* key) { return object.at(key).get<std::uint64_t>(); }

}  // namespace

StorageVolume inspect_storage_volume(const std::filesystem::path& path) {
  struct stat st {};
  require(path.is_absolute() && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode), "unsafe_path",
          "Storage needs an ordinary absolute directory");
  struct statvfs vfs {};
  require(::stat(path.c_str(), &st) == 0 && ::statvfs(path.c_str(), &vfs) == 0, "volume_query",
          "Cannot inspect storage volume allocation geometry");
  StorageVolume volume;
  volume.path = path;
  volume.device = "device:" + std::to_string(static_cast<std::uint64_t>(st.st_dev));
  volume.allocation_unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  const bool geometry = volume.allocation_unit != 0 && vfs.f_blocks <= all_ones / volume.allocation_unit &&
                        vfs.f_bavail <= all_ones / volume.allocation_unit;
  if (geometry) {
    volume.capacity_bytes = static_cast<std::uint64_t>(vfs.f_blocks) * volume.allocation_unit;
    volume.available_bytes = static_cast<std::uint64_t>(vfs.f_bavail) * volume.allocation_unit;
  }
  const auto files = static_cast<std::uint64_t>(vfs.f_files);
  const auto free_files = static_cast<std::uint64_t>(vfs.f_favail);
  // Some file systems (btrfs, tmpfs without a limit) report no meaningful inode counts.
  if (files != 0 && files != all_ones && free_files != all_ones) {
    volume.inode_capacity = files;
    volume.available_inodes = free_files;
  }
  require(geometry && volume.path.has_root_path() && !volume.device.empty() && volume.capacity_bytes < all_ones &&
              volume.available_bytes <= volume.capacity_bytes,
          "volume_query", "Storage capacity or allocation geometry is unavailable");
  require(volume.inode_capacity.has_value() == volume.available_inodes.has_value(), "volume_query",
          "Storage file-entry counters are incomplete");
  require(!volume.inode_capacity || *volume.available_inodes <= *volume.inode_capacity, "volume_query",
          "Storage file-entry counters are invalid");
  return volume;
}

json make_storage_volume_budget(const StorageVolume& volume) {
  json budget = json::object();
  budget["path"] = path_utf8(volume.path);
  budget["allocation_unit"] = volume.allocation_unit;
  budget["capacity_bytes"] = volume.capacity_bytes;
  budget["available_bytes"] = volume.available_bytes;
  budget["download_bytes"] = 0u;
  budget["staging_bytes"] = 0u;
  budget["control_margin_bytes"] = control_margin_bytes;
  budget["inode_capacity"] = volume.inode_capacity ? json(*volume.inode_capacity) : json(nullptr);
  budget["available_inodes"] = volume.available_inodes ? json(*volume.available_inodes) : json(nullptr);
  budget["download_file_entries"] = 0u;
  budget["staging_file_entries"] = 0u;
  budget["control_margin_file_entries"] = control_margin_file_entries;
  return budget;
}

void finish_storage_volume_budget(json& budget) {
  const std::uint64_t capacity = member(budget, "capacity_bytes");
  const std::uint64_t available = member(budget, "available_bytes");
  require(available <= capacity, "volume_query", "Storage capacity or allocation geometry is unavailable");
  const std::uint64_t additional = add(add(member(budget, "download_bytes"), member(budget, "staging_bytes")),
                                       member(budget, "control_margin_bytes"));
  const std::uint64_t existing = capacity - available;
  const std::uint64_t peak = add(existing, additional);
  budget["additional_bytes"] = additional;
  budget["existing_or_unavailable_bytes"] = existing;
  budget["peak_capacity_bytes"] = peak;
  budget["shortfall_bytes"] = peak > capacity ? peak - capacity : 0;
  const std::uint64_t entries =
      add(add(member(budget, "download_file_entries"), member(budget, "staging_file_entries")),
          member(budget, "control_margin_file_entries"));
  budget["additional_file_entries"] = entries;
  if (!budget.at("available_inodes").is_null()) {
    const std::uint64_t inodes = member(budget, "inode_capacity");
    const std::uint64_t free_inodes = member(budget, "available_inodes");
    require(free_inodes <= inodes, "volume_query", "Storage file-entry counters are invalid");
    const std::uint64_t used = inodes - free_inodes;
    const std::uint64_t peak_inodes = add(used, entries);
    budget["existing_or_unavailable_inodes"] = used;
    budget["peak_inodes"] = peak_inodes;
    budget["shortfall_file_entries"] = peak_inodes > inodes ? peak_inodes - inodes : 0;
  }
}

json plan_install_storage(const SnapshotManifest& manifest, const StorageVolume& volume, bool verified_archive_cached,
                          std::uint64_t existing_allocation_bytes, bool existing_partial) {
  require(existing_allocation_bytes == 0 || existing_partial, "volume_query",
          "Existing allocation needs an owned partial file");
  const std::uint64_t unit = volume.allocation_unit;
  require(unit != 0, "volume_query", "Storage capacity or allocation geometry is unavailable");
  json budget = make_storage_volume_budget(volume);
  if (!verified_archive_cached) {
    budget["download_file_entries"] = existing_partial ? 0u : 1u;
    const std::uint64_t archive = round_up(manifest.archive_length, unit);
    const std::uint64_t remaining = archive > existing_allocation_bytes ? archive - existing_allocation_bytes : 0;
    budget["download_bytes"] = add(remaining, existing_partial ? 0 : unit);
  }
  // Every file and every distinct directory costs an entry and at least one allocation unit.
  std::set<std::string_view> directories;
  std::uint64_t bytes = 0;
  for (const auto& [relative, file] : manifest.files) {
    bytes = add(bytes, round_up(file.length, unit));
    for (std::size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1))
      directories.insert(std::string_view(relative).substr(0, slash));
  }
  const std::uint64_t entries = add(manifest.files.size(), directories.size());
  budget["staging_bytes"] = add(bytes, multiply(unit, entries));
  budget["staging_file_entries"] = entries;
  finish_storage_volume_budget(budget);
  return json{{"schema_version", 1},
              {"reserved", false},
              {"verified_archive_cached", verified_archive_cached},
              {"existing_partial", existing_partial},
              {"existing_archive_allocation_bytes", existing_allocation_bytes},
              {"volume", budget}};
}

void require_install_storage(const json& plan, std::string_view label) {
  const json& volume = plan.at("volume");
  const std::uint64_t bytes = member(volume, "shortfall_bytes");
  std::uint64_t entries = 0;
  if (volume.contains("shortfall_file_entries") && !volume.at("shortfall_file_entries").is_null())
    entries = member(volume, "shortfall_file_entries");
  if (bytes == 0 && entries == 0) return;
  const std::uint64_t count = bytes != 0 ? bytes : entries;
  std::string unit;
  if (bytes != 0)
    unit = count == 1 ? " more byte" : " more bytes";
  else
    unit = count == 1 ? " more file entry" : " more file entries";
  const std::string hint = label.empty() ? "trelk-install --status --data-dir PATH" : "locations " + std::string(label);
  fail("insufficient_space",
       "Storage at " + volume.at("path").get<std::string>() + " needs " + std::to_string(count) + unit +
           " before installation; free space first",
       {hint});
}

}  // namespace trelk
