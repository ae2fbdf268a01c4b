#include "bootstrap/options.hpp"

#include <cstddef>
#include <set>

#include "core/error.hpp"
#include "core/paths.hpp"

namespace trelk {
namespace {

void unique(std::set<std::string>& seen, const std::string& key) {
  require(seen.insert(key).second, "usage", "Duplicate native entry option: " + key);
}

// Takes the word after the option at index as its value and moves index onto it,
// so the value is never read as an option. Only "--" itself is refused: a value
// may begin with "--".
const std::string& option_value(const std::vector<std::string>& arguments, std::size_t& index) {
  require(index + 1 < arguments.size() && arguments[index + 1] != "--", "usage", arguments[index] + " needs a value");
  ++index;
  return arguments[index];
}

}  // namespace

BootstrapEntry parse_bootstrap_entry(const std::vector<std::string>& arguments,
                                     const std::filesystem::path& default_data_dir) {
  BootstrapEntry entry;
  entry.data_dir = default_data_dir;
  std::set<std::string> seen;
  bool forwarding = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      forwarding = true;
      entry.forwarded.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end());
      break;
    }
    unique(seen, argument);
    if (argument == "--data-dir") {
      entry.data_dir = path_from_utf8(option_value(arguments, i));
    } else if (argument == "--cli" || argument == "--gui") {
      unique(seen, "interface");
      entry.interface = argument.substr(2);
    } else if (argument == "--game") {
      entry.game = option_value(arguments, i);
      validate_identifier(entry.game);
    } else if (argument == "--create-desktop-entry") {
      entry.desktop_entry = path_from_utf8(option_value(arguments, i));
    } else if (argument == "--name") {
      entry.name = option_value(arguments, i);
      require(!entry.name.empty(), "usage", "Desktop entry name must not be empty");
    } else {
      fail("usage", "Unsupported native bootstrap option: " + argument);
    }
  }

  require(!entry.data_dir.empty(), "usage", "Data directory must not be empty");
  require(entry.name.empty() || !entry.desktop_entry.empty(), "usage", "--name requires --create-desktop-entry");
  require(!(forwarding && !entry.game.empty()), "usage", "--game cannot be combined with forwarded launcher arguments");
  if (!entry.desktop_entry.empty()) {
    require(!forwarding && entry.interface == "gui", "usage",
            "Desktop entries start the GUI and cannot include forwarded arguments");
    if (entry.name.empty()) entry.name = entry.game.empty() ? "Trelk" : entry.game + " \u00b7 Trelk";
  } else if (!entry.game.empty()) {
    // The GUI takes the game as an option, the CLI as a command.
    entry.forwarded = {entry.interface == "gui" ? "--launch" : "launch", entry.game};
  }
  require(!seen.contains("--create-desktop-entry") || !entry.desktop_entry.empty(), "usage",
          "Desktop entry path must not be empty");
  return entry;
}

GuiEntry parse_gui_entry(const std::vector<std::string>& arguments, const std::filesystem::path& default_data_dir) {
  GuiEntry entry;
  entry.data_dir = default_data_dir;
  std::set<std::string> seen;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    unique(seen, argument);
    if (argument == "--launch") {
      entry.launch = option_value(arguments, i);
      validate_identifier(entry.launch);
    } else if (argument == "--data-dir") {
      entry.data_dir = path_from_utf8(option_value(arguments, i));
    } else if (argument == "--one-frame") {
      entry.one_frame = true;
    } else if (argument == "--uninstall") {
      entry.uninstall = true;
    } else {
      fail("usage", "Unsupported native GUI option: " + argument);
    }
  }
  require(!entry.data_dir.empty(), "usage", "Data directory must not be empty");
  require(!(entry.one_frame && !entry.launch.empty()), "usage", "Game launch cannot run inside a one-frame check");
  require(!entry.uninstall || (!entry.one_frame && entry.launch.empty()), "usage", "--uninstall stands alone");
  return entry;
}

}  // namespace trelk
