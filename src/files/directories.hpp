#pragma once

#include <filesystem>
#include <functional>

namespace trelk {

// Canonical absolute path in which only links owned by root inside root-owned, not group- or
// other-writable directories are followed; every other link stays in place for no-follow checks.
std::filesystem::path resolve_system_links(const std::filesystem::path& path);

// Makes sure path is an existing 0700 directory (creating missing parents, each synchronised into its parent);
// refuses a symbolic link.
void private_directory(const std::filesystem::path& path);

// Creates a new empty 0700 directory whose whole ancestry is proven to be ordinary directories, synchronised
// into its parent.
void private_directory_new(const std::filesystem::path& path);

// Moves a private file or directory to a new name, never replacing an existing destination; both parents are
// synchronised before it returns.
// verify runs between the identity checks (may be empty).
void commit_private_path_new(const std::filesystem::path& source, const std::filesystem::path& destination,
                             const std::function<void()>& verify);

// Swaps two private directories on one volume in one atomic step.
void exchange_private_directories(const std::filesystem::path& first, const std::filesystem::path& second,
                                  const std::function<void()>& verify);

namespace native_files {

void rename_replace(const std::filesystem::path& from, const std::filesystem::path& to);
// Removes a file or empty directory at once; trash is unused on this platform. Always true.
bool remove_or_trash(const std::filesystem::path& path, const std::filesystem::path& trash);
// Removes the tree at once, ignoring every error.
void remove_after_exit(const std::filesystem::path& path);
std::filesystem::path temporary_directory(const std::filesystem::path& path);

}  // namespace native_files

}  // namespace trelk
