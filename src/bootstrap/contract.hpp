#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "files/locks.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

// Fixed names below an installation's data root.
inline constexpr std::string_view native_setup_marker = ".trelk-setup-incomplete";
inline constexpr std::string_view installed_bootstrap_directory = "native/bootstrap";
inline constexpr std::string_view installed_bootstrap_entry = "native/bootstrap/bin/trelk-bootstrap";

// Checks a bootstrap release against the contract of an installable bootstrap.
void validate_bootstrap_contract(const SnapshotManifest& manifest);
// The contract plus what an image needs to replace the running bootstrap on this machine.
void validate_bootstrap_update(const SnapshotManifest& manifest);
// Trusted target that describes the newest bootstrap for this platform.
std::string bootstrap_manifest_target();
// The data root when image_path is an installed bootstrap's entry point; empty elsewhere.
std::optional<std::filesystem::path> installed_data_root(const std::filesystem::path& image_path);
// Shared ownership of the installation the image belongs to, or null outside an installation.
// Keep it alive until exit or image replacement.
std::unique_ptr<NativeFileLock> bootstrap_lifetime(const std::filesystem::path& image_path);

}  // namespace trelk
