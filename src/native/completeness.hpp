#pragma once

#include <filesystem>

namespace trelk {

// Refuses a data directory whose setup never finished.
void require_complete_native_install(const std::filesystem::path& data_root);
// Refuses an image that lies inside an unfinished installation or package.
void require_complete_native_install_image(const std::filesystem::path& image);

}  // namespace trelk
