#include "native/completeness.hpp"

#include <sys/stat.h>

#include <array>
#include <string>

#include "core/error.hpp"
#include "core/paths.hpp"

namespace trelk {
namespace {

constexpr const char* setup_marker = ".trelk-setup-incomplete";
constexpr std::array<const char*, 3> package_markers = {
    ".trelk-native-bundle-incomplete.json",
    ".trelk-initial-package-incomplete.json",
    ".trelk-launcher-package-incomplete.json",
};
constexpr int max_ancestors = 256;

// Any entry of that name counts, a dangling link included: the writer may have
// been interrupted at any point, so the marker's content or target means nothing.
bool marker_present(const std::filesystem::path& directory, const char* name) {
  struct stat status {};
  return ::lstat((directory / name).c_str(), &status) == 0;
}

}  // namespace

void require_complete_native_install(const std::filesystem::path& data_root) {
  if (!marker_present(data_root, setup_marker)) return;
  fail("native_install_incomplete",
       "Trelk setup did not finish in " + path_utf8(data_root) + ". Run the Trelk installer again to repair it.",
       {"Run the Trelk installer and choose Repair"});
}

void require_complete_native_install_image(const std::filesystem::path& image) {
  std::filesystem::path current = image;
  int visited = 0;
  while (true) {
    std::filesystem::path parent = current.parent_path();
    if (parent == current) return;
    current = std::move(parent);
    require(++visited <= max_ancestors, "unsafe_path", "Native image path is too deep");
    require_complete_native_install(current);
    for (const char* marker : package_markers) {
      require(!marker_present(current, marker), "native_install_incomplete",
              "This image belongs to an unfinished package; it cannot start");
    }
  }
}

void require_maintenance_runtime_image(const std::filesystem::path& image) {
  for (auto directory = image.parent_path();; directory = directory.parent_path()) {
    require(!directory.filename().string().starts_with(maintenance_copy_prefix), "maintenance_copy",
            "A temporary maintenance helper cannot start Trelk");
    if (directory.parent_path() == directory) break;
  }
}

}  // namespace trelk
