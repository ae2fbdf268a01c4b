#include "maintenance/runtime.hpp"

#include "core/error.hpp"

namespace trelk {

void require_maintenance_runtime_image(const std::filesystem::path& executable_path) {
  for (auto directory = executable_path.parent_path();; directory = directory.parent_path()) {
    require(!directory.filename().string().starts_with(maintenance_copy_prefix), "maintenance_copy",
            "A temporary maintenance helper cannot start Trelk");
    if (directory.parent_path() == directory) break;
  }
}

}  // namespace trelk
