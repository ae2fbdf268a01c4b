#include "native/brand.hpp"
#include "native/completeness.hpp"

#include <gtest/gtest.h>

#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

json brand_document() { return {{"name", "Acme"}, {"id", "acme.games"}, {"publisher", "Acme Ltd"}, {"icon", true}}; }

TEST(Brand, NamesAndDocument) {
  for (const char* name : {"con.txt", "Lpt9", "COM1", "aux.tar.gz"})
    EXPECT_TRELK_ERROR(validate_brand_name(name), "invalid_native_package",
                       "A brand name cannot be a Windows device name");
  for (const std::string& name :
       std::vector<std::string>{"COM0", "CONSOLE", "COM10", "Acme.Games", std::string(64, 'x')})
    EXPECT_NO_THROW(validate_brand_name(name)) << name;
  for (const std::string& name : std::vector<std::string>{"", std::string(65, 'x'), " Acme", "Acme.", "a:b", "A\tb"})
    EXPECT_TRELK_ERROR(validate_brand_name(name), "invalid_native_package", "");

  json document = brand_document();
  document["publisher"] = std::string(128, 'p');
  EXPECT_NO_THROW(parse_brand(document));
  document["publisher"] = std::string(129, 'p');
  EXPECT_TRELK_ERROR(parse_brand(document), "invalid_native_package",
                     "Brand publisher must be 1 to 128 bytes of plain text");
  document["publisher"] = "p";
  document["theme"] = "dark";
  EXPECT_TRELK_ERROR(parse_brand(document), "invalid_native_package", "Brand has unknown or missing fields");
}

TEST(Brand, AnInstalledBrandNamesTheProductInWholeWordsUnlessItsRecordIsUnusable) {
  test::TempDir root;
  const fs::path record = root / "native/installation.json";
  for (const std::string& bad :
       {std::string("{\"brand\":"), std::string("{\"brand\":{\"name\":\"COM1\",\"id\":\"a\",\"publisher\":\"p\"}}"),
        "{\"brand\":" + brand_document().dump() + ",\"pad\":\"" + std::string(65536, 'x') + "\"}"}) {
    test::write_file(record, bad);
    EXPECT_NO_THROW(use_installed_brand(root.path()));
    EXPECT_EQ(product_name(), "Trelk") << bad.substr(0, 60);
  }

  // A usable record names the product in whole words; its icon is used only when claimed and present.
  test::write_file(record, json{{"brand", brand_document()}}.dump());
  use_installed_brand(root.path());
  EXPECT_EQ(branded("Trelk could not start Trelk's game; Trelkish XTrelk Trelk2 trelk-setup TRELK_X (Trelk)"),
            "Acme could not start Acme's game; Trelkish XTrelk Trelk2 trelk-setup TRELK_X (Acme)");
  EXPECT_TRUE(product_icon().empty());
  test::write_file(root / "native/brand.ico", "icon");
  use_installed_brand(root.path());
  EXPECT_EQ(product_icon(), root / "native/brand.ico");
  // A name containing the built-in word is inserted once, not re-expanded.
  set_product_name("Trelk Plus");
  EXPECT_EQ(branded("Trelk and Trelk"), "Trelk Plus and Trelk Plus");

  // A record reached through a symbolic link is not an installation record; the built-in state stays after the story.
  set_product_name("Trelk");
  set_product_icon({});
  fs::rename(record, root / "elsewhere.json");
  fs::create_symlink(root / "elsewhere.json", record);
  use_installed_brand(root.path());
  EXPECT_EQ(product_name(), "Trelk");
}

TEST(NativeCompleteness, MarkersRefuseTheDataDirectoryAndImages) {
  test::TempDir root;
  const fs::path image = root / "a/b/trelk-bootstrap";
  test::write_file(image, "image");

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
