#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "core/json.hpp"
#include "files/locks.hpp"
#include "launcher/manifest.hpp"

namespace trelk {

// Environment through which the bootstrap hands a start attempt to a candidate launcher.
inline constexpr const char* launcher_health_nonce_environment = "TRELK_LAUNCHER_HEALTH_NONCE";
inline constexpr const char* launcher_manifest_environment = "TRELK_LAUNCHER_MANIFEST";
inline constexpr const char* launcher_build_environment = "TRELK_LAUNCHER_BUILD";
inline constexpr const char* launcher_interface_environment = "TRELK_LAUNCHER_INTERFACE";
inline constexpr const char* launcher_data_root_environment = "TRELK_LAUNCHER_DATA_ROOT";
inline constexpr std::size_t launcher_environment_limit = 8192;
// Bound of a lease acknowledgement or health document on disk.
inline constexpr std::uint64_t launcher_health_limit = 4096;

// "gui" or "cli", nothing else.
void check_launcher_interface(std::string_view interface);

// The acknowledgement a launcher writes once it holds its attempt and version leases.
json lease_document(const LauncherManifest& manifest, const json& attempt, std::uint64_t pid,
                    std::string_view interface);

// Whether this process was started under the startup-health protocol.
bool launcher_startup_pending();

// The version lease of a helper image that runs from an installed version, after proving that the image is the
// declared helper of that role with its verified content; null when the image lies outside every installed version.
std::unique_ptr<FileLock> launcher_helper_guard(const std::filesystem::path& image, std::string_view role,
                                                std::string_view build_id);

}  // namespace trelk
