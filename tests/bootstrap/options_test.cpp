#include "bootstrap/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/errors.hpp"
#include "core/error.hpp"

namespace trelk {
namespace {

using Args = std::vector<std::string>;
const std::filesystem::path kDefault = "/default/data";

void expect_usage(const Args& arguments, const std::string& message) {
  Error error = test::thrown([&] { parse_bootstrap_entry(arguments, kDefault); });
  EXPECT_EQ(error.code, "usage") << message;
  EXPECT_EQ(std::string(error.what()), message);
  EXPECT_TRUE(error.details.empty());
}

void expect_gui_usage(const Args& arguments, const std::string& message) {
  Error error = test::thrown([&] { parse_gui_entry(arguments, kDefault); });
  EXPECT_EQ(error.code, "usage") << message;
  EXPECT_EQ(std::string(error.what()), message);
}

TEST(BootstrapEntry, DefaultsAndForwarding) {
  BootstrapEntry plain = parse_bootstrap_entry({}, kDefault);
  EXPECT_EQ(plain.data_dir, kDefault);
  EXPECT_EQ(plain.interface, "gui");
  EXPECT_TRUE(plain.desktop_entry.empty());
  EXPECT_TRUE(plain.game.empty());
  EXPECT_TRUE(plain.name.empty());
  EXPECT_TRUE(plain.forwarded.empty());

  // Everything after "--" is forwarded verbatim, even words that look like our options.
  BootstrapEntry cli = parse_bootstrap_entry({"--cli", "--data-dir", "/d", "--", "list", "--cli", "--", ""}, kDefault);
  EXPECT_EQ(cli.interface, "cli");
  EXPECT_EQ(cli.data_dir, "/d");
  EXPECT_EQ(cli.forwarded, (Args{"list", "--cli", "--", ""}));

  // A value is never read as an option, even one beginning with "--".
  BootstrapEntry odd = parse_bootstrap_entry({"--data-dir", "--cli"}, kDefault);
  EXPECT_EQ(odd.data_dir, "--cli");
  EXPECT_EQ(odd.interface, "gui");
}

TEST(BootstrapEntry, GameIsForwardedForTheSurface) {
  EXPECT_EQ(parse_bootstrap_entry({"--game", "g-1"}, kDefault).forwarded, (Args{"--launch", "g-1"}));
  EXPECT_EQ(parse_bootstrap_entry({"--game", "g-1", "--cli"}, kDefault).forwarded, (Args{"launch", "g-1"}));
  EXPECT_EQ(parse_bootstrap_entry({"--gui", "--game", "g-1"}, kDefault).forwarded, (Args{"--launch", "g-1"}));

  // Identifier and path failures keep their own codes.
  EXPECT_EQ(test::thrown([] { parse_bootstrap_entry({"--game", "Bad"}, kDefault); }).code, "invalid_identity");
  EXPECT_EQ(test::thrown([] {
              parse_bootstrap_entry({"--data-dir", std::string("a\0b", 3)}, kDefault);
            }).code,
            "unsafe_path");
}

TEST(BootstrapEntry, DesktopEntryNames) {
  BootstrapEntry named = parse_bootstrap_entry({"--create-desktop-entry", "/x/e.desktop", "--game", "g"}, kDefault);
  EXPECT_EQ(named.desktop_entry, "/x/e.desktop");
  EXPECT_EQ(named.name, "g \xc2\xb7 Trelk");
  EXPECT_TRUE(named.forwarded.empty());

  EXPECT_EQ(parse_bootstrap_entry({"--create-desktop-entry", "e.desktop"}, kDefault).name, "Trelk");
  EXPECT_EQ(parse_bootstrap_entry({"--name", "My Game", "--create-desktop-entry", "e", "--gui"}, kDefault).name,
            "My Game");
}

TEST(BootstrapEntry, UsageErrors) {
  const std::string desktop_gui = "Desktop entries start the GUI and cannot include forwarded arguments";
  const struct {
    Args arguments;
    std::string message;
  } cases[] = {
      {{"--gui", "--gui"}, "Duplicate native entry option: --gui"},
      {{"--gui", "--cli"}, "Duplicate native entry option: interface"},
      {{"--data-dir", "a", "--data-dir", "b"}, "Duplicate native entry option: --data-dir"},
      {{"--data-dir"}, "--data-dir needs a value"},
      {{"--data-dir", "--"}, "--data-dir needs a value"},
      {{"--game"}, "--game needs a value"},
      {{"--name", "--", "x"}, "--name needs a value"},
      {{"--create-desktop-entry"}, "--create-desktop-entry needs a value"},
      {{"--data-dir", ""}, "Data directory must not be empty"},
      {{"--data-dir", "", "--name", "n"}, "Data directory must not be empty"},
      {{"--name", ""}, "Desktop entry name must not be empty"},
      {{"--name", "n"}, "--name requires --create-desktop-entry"},
      {{"--name", "n", "--create-desktop-entry", ""}, "--name requires --create-desktop-entry"},
      {{"--game", "g", "--"}, "--game cannot be combined with forwarded launcher arguments"},
      {{"--create-desktop-entry", "e", "--"}, desktop_gui},
      {{"--create-desktop-entry", "e", "--cli"}, desktop_gui},
      {{"--create-desktop-entry", ""}, "Desktop entry path must not be empty"},
      {{"--cli", "--create-desktop-entry", ""}, "Desktop entry path must not be empty"},
      {{"list", "--"}, "Unsupported native bootstrap option: list"},
      {{"--help"}, "Unsupported native bootstrap option: --help"},
  };
  for (const auto& c : cases) expect_usage(c.arguments, c.message);
  EXPECT_EQ(test::thrown([] { parse_bootstrap_entry({}, ""); }).code, "usage");
}

TEST(GuiEntry, OptionsAndConflicts) {
  GuiEntry plain = parse_gui_entry({}, kDefault);
  EXPECT_EQ(plain.data_dir, kDefault);
  EXPECT_TRUE(plain.launch.empty());
  EXPECT_FALSE(plain.one_frame);
  EXPECT_FALSE(plain.uninstall);

  GuiEntry launch = parse_gui_entry({"--data-dir", "/d", "--launch", "g"}, kDefault);
  EXPECT_EQ(launch.data_dir, "/d");
  EXPECT_EQ(launch.launch, "g");
  EXPECT_TRUE(parse_gui_entry({"--uninstall", "--data-dir", "/d"}, kDefault).uninstall);
  EXPECT_TRUE(parse_gui_entry({"--one-frame"}, kDefault).one_frame);
  EXPECT_EQ(test::thrown([] { parse_gui_entry({"--launch", "G"}, kDefault); }).code, "invalid_identity");

  expect_gui_usage({"--uninstall", "--one-frame"}, "--uninstall stands alone");
  expect_gui_usage({"--launch", "g", "--uninstall"}, "--uninstall stands alone");
  expect_gui_usage({"--one-frame", "--launch", "g"}, "Game launch cannot run inside a one-frame check");
  expect_gui_usage({"--one-frame", "--one-frame"}, "Duplicate native entry option: --one-frame");
  expect_gui_usage({"--launch"}, "--launch needs a value");
  expect_gui_usage({"--data-dir", ""}, "Data directory must not be empty");
  expect_gui_usage({"--"}, "Unsupported native GUI option: --");
  expect_gui_usage({"--cli"}, "Unsupported native GUI option: --cli");
}

}  // namespace
}  // namespace trelk
