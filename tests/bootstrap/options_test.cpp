#include "bootstrap/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/errors.hpp"

namespace trelk {
namespace {

using Args = std::vector<std::string>;
const std::filesystem::path kDefault = "/default/data";

TEST(BootstrapEntry, ForwardingGamesAndDesktopEntries) {
  EXPECT_EQ(parse_bootstrap_entry({}, kDefault).data_dir, kDefault);
  // Everything after "--" is forwarded verbatim; a value is never read as an option.
  BootstrapEntry cli = parse_bootstrap_entry({"--cli", "--data-dir", "--gui", "--", "list", "--cli", "--"}, kDefault);
  EXPECT_EQ(cli.interface, "cli");
  EXPECT_EQ(cli.data_dir, "--gui");
  EXPECT_EQ(cli.forwarded, (Args{"list", "--cli", "--"}));
  EXPECT_EQ(parse_bootstrap_entry({"--game", "g-1"}, kDefault).forwarded, (Args{"--launch", "g-1"}));
  EXPECT_EQ(parse_bootstrap_entry({"--game", "g-1", "--cli"}, kDefault).forwarded, (Args{"launch", "g-1"}));
  BootstrapEntry named = parse_bootstrap_entry({"--create-desktop-entry", "/x/e.desktop", "--game", "g"}, kDefault);
  EXPECT_EQ(named.desktop_entry, "/x/e.desktop");
  EXPECT_EQ(named.name, "g \xc2\xb7 Trelk");
  EXPECT_TRUE(named.forwarded.empty());

  for (const auto& [arguments, message] : std::vector<std::pair<Args, std::string>>{
           {{"--data-dir", "--"}, "--data-dir needs a value"},
           {{"--name", "n"}, "--name requires --create-desktop-entry"},
           {{"--game", "g", "--"}, "--game cannot be combined with forwarded launcher arguments"},
           {{"--create-desktop-entry", "e", "--cli"},
            "Desktop entries start the GUI and cannot include forwarded arguments"}})
    EXPECT_TRELK_ERROR(parse_bootstrap_entry(arguments, kDefault), "usage", message);
}

TEST(GuiEntry, OptionsAndConflicts) {
  GuiEntry launch = parse_gui_entry({"--data-dir", "/d", "--launch", "g"}, kDefault);
  EXPECT_EQ(launch.data_dir, "/d");
  EXPECT_EQ(launch.launch, "g");
  EXPECT_TRELK_ERROR(parse_gui_entry({"--launch", "g", "--uninstall"}, kDefault), "usage", "--uninstall stands alone");
  EXPECT_TRELK_ERROR(parse_gui_entry({"--one-frame", "--launch", "g"}, kDefault), "usage",
                     "Game launch cannot run inside a one-frame check");
  EXPECT_TRELK_ERROR(parse_gui_entry({"--cli"}, kDefault), "usage", "Unsupported native GUI option: --cli");
}

}  // namespace
}  // namespace trelk
