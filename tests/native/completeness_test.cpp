#include "native/completeness.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

TEST(NativeCompleteness, MarkersRefuseTheDataDirectoryAndImages) {
  test::TempDir root;
  const fs::path image = root / "a/b/trelk-bootstrap";
  test::write_file(image, "image");
  EXPECT_NO_THROW(require_complete_native_install_image(image));

  // A dangling link is still a marker: it is never followed. A package marker concerns images only.
  for (const char* marker : {".trelk-native-bundle-incomplete.json", ".trelk-initial-package-incomplete.json",
                             ".trelk-launcher-package-incomplete.json"}) {
    fs::create_symlink(root / "missing", root / "a" / marker);
    EXPECT_TRELK_ERROR(require_complete_native_install_image(image), "native_install_incomplete",
                       "This image belongs to an unfinished package; it cannot start");
    EXPECT_NO_THROW(require_complete_native_install(root / "a"));
    fs::remove(root / "a" / marker);
  }

  fs::create_directory(root / ".trelk-setup-incomplete");  // any file type counts
  EXPECT_TRELK_ERROR(require_complete_native_install_image(image), "native_install_incomplete", "");

  // 256 ancestors are walked; a deeper image is refused before it is examined.
  fs::path deep = "/";
  for (int i = 0; i < 255; ++i) deep /= "d";
  EXPECT_NO_THROW(require_complete_native_install_image(deep / "image"));
  EXPECT_TRELK_ERROR(require_complete_native_install_image(deep / "d/image"), "unsafe_path",
                     "Native image path is too deep");

  // A temporary maintenance helper copy may maintain an installation, never start it.
  EXPECT_TRELK_ERROR(require_maintenance_runtime_image("/tmp/trelk-maintenance-1f2e/bin/trelk"), "maintenance_copy",
                     "A temporary maintenance helper cannot start Trelk");
  EXPECT_NO_THROW(require_maintenance_runtime_image("/opt/my-trelk-maintenance-/trelk"));
}

}  // namespace
}  // namespace trelk
