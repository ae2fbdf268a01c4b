#include "native/completeness.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/errors.hpp"
#include "core/error.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

TEST(NativeCompleteness, SetupMarkerRefusesDataDirectoryAndImagesBelowIt) {
  test::TempDir root;
  const fs::path image = root / "launcher/versions/1/trelk-bootstrap";
  test::write_file(image, "image");
  EXPECT_NO_THROW(require_complete_native_install(root.path()));
  EXPECT_NO_THROW(require_complete_native_install_image(image));

  fs::create_directory(root / ".trelk-setup-incomplete");  // any file type counts
  Error error = test::thrown([&] { require_complete_native_install(root.path()); });
  EXPECT_EQ(error.code, "native_install_incomplete");
  const std::string message =
      "Trelk setup did not finish in " + root.path().string() + ". Run the Trelk installer again to repair it.";
  EXPECT_EQ(std::string(error.what()), message);
  EXPECT_EQ(error.details, std::vector<std::string>{"Run the Trelk installer and choose Repair"});

  Error from_image = test::thrown([&] { require_complete_native_install_image(image); });
  EXPECT_EQ(from_image.code, "native_install_incomplete");
  EXPECT_EQ(std::string(from_image.what()), message);
}

TEST(NativeCompleteness, PackageMarkersInAnyAncestorRefuseTheImage) {
  for (const char* marker : {".trelk-native-bundle-incomplete.json", ".trelk-initial-package-incomplete.json",
                             ".trelk-launcher-package-incomplete.json"}) {
    test::TempDir root;
    const fs::path image = root / "a/b/c/trelk-bootstrap";
    test::write_file(image, "image");
    // A dangling link is still a marker: it is never followed.
    fs::create_symlink(root / "missing-target", root / "a" / marker);
    Error error = test::thrown([&] { require_complete_native_install_image(image); });
    EXPECT_EQ(error.code, "native_install_incomplete") << marker;
    EXPECT_EQ(std::string(error.what()), "This image belongs to an unfinished package; it cannot start");
    // Markers beside the image itself, not in an ancestor of it, are the image's own directory: also refused.
    fs::remove(root / "a" / marker);
    EXPECT_NO_THROW(require_complete_native_install_image(image));
    test::write_file(root / "a/b/c" / marker, "{}");
    EXPECT_THROW(require_complete_native_install_image(image), Error);
    // A data directory only refuses for its setup marker.
    EXPECT_NO_THROW(require_complete_native_install(root / "a/b/c"));
  }
}

TEST(NativeCompleteness, AncestryDepthIsBounded) {
  // 256 ancestors are walked; the 257th is refused before it is examined.
  fs::path deep = "/";
  for (int i = 0; i < 255; ++i) deep /= "d";
  EXPECT_NO_THROW(require_complete_native_install_image(deep / "image"));  // 255 + root
  Error error = test::thrown([&] { require_complete_native_install_image(deep / "d" / "image"); });
  EXPECT_EQ(error.code, "unsafe_path");
  EXPECT_EQ(std::string(error.what()), "Native image path is too deep");
}

}  // namespace
}  // namespace trelk
