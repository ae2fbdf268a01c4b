#include "native/brand.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/errors.hpp"
#include "core/error.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

// Restores the built-in presentation state however a test ends.
struct BrandReset {
  ~BrandReset() {
    set_product_name("Trelk");
    set_product_icon({});
  }
};

std::string name_failure(const std::string& name) {
  Error error = test::thrown([&] { validate_brand_name(name); });
  EXPECT_EQ(error.code, "invalid_native_package") << name;
  return error.what();
}

json brand_document() { return {{"name", "Acme"}, {"id", "acme.games"}, {"publisher", "Acme Ltd"}, {"icon", true}}; }

std::string brand_failure(const json& document) {
  Error error = test::thrown([&] { parse_brand(document); });
  EXPECT_EQ(error.code, "invalid_native_package");
  return error.what();
}

TEST(Brand, NamesAreFolderSafe) {
  const std::string shape =
      "A brand name is 1 to 64 bytes and also names a folder: no control characters, none of < > : \" / \\ | ? *, "
      "and no leading space or trailing space or dot";
  const std::string device = "A brand name cannot be a Windows device name";
  for (const char* name : {"con.txt", "Lpt9", "COM1", "nul", "aux.tar.gz", "PRN"})
    EXPECT_EQ(name_failure(name), device);
  for (const char* name : {"COM0", "CONSOLE", "COM10", "LPT", "Acme", "Acme Games 2", "con-x"}) {
    EXPECT_NO_THROW(validate_brand_name(name)) << name;
  }
  for (const std::string& name :
       std::vector<std::string>{"", " Acme", "Acme ", "Acme.", "A<b", "A|b", "A?b", "A*b", "a:b", "a\"b", "a/b", "a\\b",
                                "A\tb", "A\x7f", std::string("A\0b", 3), std::string(65, 'x')}) {
    EXPECT_EQ(name_failure(name), shape) << name;
  }
  EXPECT_NO_THROW(validate_brand_name(std::string(64, 'x')));
  EXPECT_NO_THROW(validate_brand_name("Acme.Games"));
}

TEST(Brand, DocumentHasExactlyFourMembers) {
  Brand brand = parse_brand(brand_document());
  EXPECT_EQ(brand.name, "Acme");
  EXPECT_EQ(brand.id, "acme.games");
  EXPECT_EQ(brand.publisher, "Acme Ltd");
  EXPECT_TRUE(brand.icon);

  const std::string fields = "Brand has unknown or missing fields";
  json extra = brand_document();
  extra["theme"] = "dark";
  EXPECT_EQ(brand_failure(extra), fields);
  json string_icon = brand_document();
  string_icon["icon"] = "true";
  EXPECT_EQ(brand_failure(string_icon), fields);
  json missing = brand_document();
  missing.erase("publisher");
  EXPECT_EQ(brand_failure(missing), fields);
  EXPECT_EQ(brand_failure(json::array({1, 2, 3, 4})), fields);

  // Four members, but a text member replaced by another key: reported in member order.
  json renamed = brand_document();
  renamed.erase("id");
  renamed["ident"] = "x";
  EXPECT_EQ(brand_failure(renamed), "Brand needs a id");
  json numeric = brand_document();
  numeric["name"] = 7;
  EXPECT_EQ(brand_failure(numeric), "Brand needs a name");

  json long_publisher = brand_document();
  long_publisher["publisher"] = std::string(129, 'p');
  EXPECT_EQ(brand_failure(long_publisher), "Brand publisher must be 1 to 128 bytes of plain text");
  long_publisher["publisher"] = std::string(128, 'p');
  EXPECT_NO_THROW(parse_brand(long_publisher));
  json control = brand_document();
  control["name"] = "Ac\nme";
  EXPECT_EQ(brand_failure(control), "Brand name must be 1 to 64 bytes of plain text");
  json device = brand_document();
  device["name"] = "COM3";
  EXPECT_EQ(brand_failure(device), "A brand name cannot be a Windows device name");

  json bad_id = brand_document();
  bad_id["id"] = "Acme Games";
  EXPECT_EQ(test::thrown([&] { parse_brand(bad_id); }).code, "invalid_identity");
}

TEST(Brand, BrandedReplacesWholeWordsOnly) {
  BrandReset reset;
  const std::string text = "Trelk could not start Trelk's game; Trelkish XTrelk Trelk2 trelk-setup TRELK_X (Trelk)";
  EXPECT_EQ(branded(text), text);  // built-in name: unchanged
  set_product_name("Acme");
  EXPECT_EQ(branded(text), "Acme could not start Acme's game; Trelkish XTrelk Trelk2 trelk-setup TRELK_X (Acme)");
  EXPECT_EQ(branded("Trelk"), "Acme");
  EXPECT_EQ(branded("TrelkTrelk Trelk"), "TrelkTrelk Acme");
  EXPECT_EQ(branded(""), "");
  // A name that itself contains the built-in word is inserted once, not re-expanded.
  set_product_name("Trelk Plus");
  EXPECT_EQ(branded("Trelk and Trelk"), "Trelk Plus and Trelk Plus");
}

TEST(Brand, InstalledBrandAppliesNameAndIcon) {
  BrandReset reset;
  test::TempDir root;
  const fs::path record = root / "native/installation.json";

  // Missing, malformed, oversized and invalid records all leave the built-in name.
  use_installed_brand(root.path());
  EXPECT_EQ(product_name(), "Trelk");
  for (const std::string& bad : std::vector<std::string>{
           std::string("{\"brand\":"), std::string("[1]"), std::string("{\"other\":1}"),
           std::string("{\"brand\":{\"name\":\"COM1\",\"id\":\"a\",\"publisher\":\"p\",\"icon\":false}}"),
           "{\"brand\":" + brand_document().dump() + ",\"pad\":\"" + std::string(65536, 'x') + "\"}",
           std::string("{\"brand\":{\"name\":\"Acme\",\"name\":\"B\",\"id\":\"a\",\"publisher\":\"p\"}}")}) {
    test::write_file(record, bad);
    EXPECT_FALSE(installed_brand(root.path()).has_value()) << bad.substr(0, 80);
    EXPECT_NO_THROW(use_installed_brand(root.path()));
    EXPECT_EQ(product_name(), "Trelk");
  }

  // The icon is used only when the brand claims one and the file is really there.
  test::write_file(record, json{{"brand", brand_document()}, {"status", "ready"}}.dump());
  use_installed_brand(root.path());
  EXPECT_EQ(product_name(), "Acme");
  EXPECT_TRUE(product_icon().empty());
  test::write_file(root / "native/brand.ico", "icon");
  use_installed_brand(root.path());
  EXPECT_EQ(product_icon(), root / "native/brand.ico");
  EXPECT_EQ(brand_icon_path(root.path()), root / "native/brand.ico");

  set_product_icon({});
  json without_icon = brand_document();
  without_icon["icon"] = false;
  without_icon["name"] = "Other";
  test::write_file(record, json{{"brand", without_icon}}.dump());
  use_installed_brand(root.path());
  EXPECT_EQ(product_name(), "Other");
  EXPECT_TRUE(product_icon().empty());

  // A record reached through a symbolic link is not an installation record.
  set_product_name("Trelk");
  fs::rename(record, root / "elsewhere.json");
  fs::create_symlink(root / "elsewhere.json", record);
  use_installed_brand(root.path());
  EXPECT_EQ(product_name(), "Trelk");
}

}  // namespace
}  // namespace trelk
