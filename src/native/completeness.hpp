#pragma once

#include <filesystem>

namespace trelk {

// Refuses a data directory whose setup never finished.
void require_complete_native_install(const std::filesystem::path& data_root);
// Refuses an image that lies inside an unfinished installation or package.
void require_complete_native_install_image(const std::filesystem::path& image);

// Temporary copies of the maintenance helper live in directories with this name prefix.
inline constexpr const char* maintenance_copy_prefix = "trelk-maintenance-";
// Refuses an image that runs from such a temporary copy: a copy may maintain an installation, never start it.
void require_maintenance_runtime_image(const std::filesystem::path& image);

}  // namespace trelk
