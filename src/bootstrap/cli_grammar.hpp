#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace trelk {

// A CLI command line with the global options taken out.
struct CliEntry {
  std::filesystem::path data_dir;
  std::vector<std::string> arguments;  // command words, operands, options and their values, in order
  bool json = false;
  bool help = false;  // "--help", no command word, or the single word "help"
  bool data_dir_given = false;
};

// Separates the global options ("--json", "--help", "--data-dir PATH") from the
// command and validates the command unless help was asked for. When json is not
// null it is set before any check if "--json" occurs, so that a usage error can
// already be reported as JSON.
CliEntry parse_cli_entry(const std::vector<std::string>& arguments, const std::filesystem::path& default_data_dir,
                         bool* json = nullptr);

// The usage text, each line ending in a line feed.
std::string cli_help();

// Launcher-side accessors over validated arguments. Both skip the values of
// value-taking options and remove what they find. cli_option returns the value
// after name, or fallback when name is absent.
std::string cli_option(std::vector<std::string>& arguments, std::string_view name, std::string fallback);
bool cli_flag(std::vector<std::string>& arguments, std::string_view name);

}  // namespace trelk
