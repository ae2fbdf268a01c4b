#pragma once

#include <filesystem>

namespace trelk {

// Temporary copies of the maintenance helper live in directories with this name prefix.
inline constexpr const char* maintenance_copy_prefix = "trelk-maintenance-";

// Keeps a temporary maintenance helper copy from ever starting the launcher.
void require_maintenance_runtime_image(const std::filesystem::path& executable_path);

}  // namespace trelk
