#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "bootstrap/cli_grammar.hpp"
#include "bootstrap/options.hpp"
#include "bootstrap/problem_report.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "native/brand.hpp"
#include "native/completeness.hpp"
#include "process/arguments.hpp"

namespace {

namespace fs = std::filesystem;
using trelk::json;

// How a failure is reported: set once the surface and the forwarded command are known.
struct ReportMode {
  bool json = false;
  bool dialog = true;  // failures before the surface is known are shown in a dialog
};

// An executable at R/a/b/c/trelk-bootstrap belongs to the installation at R when
// R holds the installation record; otherwise the data lives in the user's data root.
fs::path default_data_dir(const fs::path& executable) {
  fs::path root = executable.parent_path().parent_path().parent_path().parent_path();
  std::error_code ignored;
  if (fs::is_regular_file(fs::status(root / "native" / "installation.json", ignored))) return root;
  return trelk::user_data_root();
}

// Stands in for the launcher start driver: it answers help requests of the CLI
// surface; starting a launcher is not available yet.
int start_launcher(const trelk::BootstrapEntry& entry) {
  if (entry.interface == "cli" && !entry.forwarded.empty()) {
    const trelk::CliEntry cli = trelk::parse_cli_entry(entry.forwarded, entry.data_dir);
    if (cli.help) {
      if (cli.json) {
        std::cout << json{{"schema_version", 1}, {"kind", "help"}, {"text", trelk::cli_help()}}.dump() << '\n';
      } else {
        std::cout << trelk::cli_help();
      }
      std::cout.flush();
      return 0;
    }
  }
  trelk::fail("launcher_missing", "This build cannot start the Trelk launcher yet");
}

int run(int argc, char** argv, ReportMode& mode) {
  trelk::initialize_client_runtime();
  const std::vector<std::string> arguments = trelk::process_arguments(argc, argv);
  const trelk::BootstrapEntry entry =
      trelk::parse_bootstrap_entry(arguments, default_data_dir(trelk::current_executable_path()));
  trelk::use_installed_brand(entry.data_dir);
  mode.dialog = entry.interface == "gui";
  if (entry.interface == "cli") {
    // Validated here so that misuse fails before anything starts; the raw
    // arguments are what is forwarded.
    const trelk::CliEntry cli = trelk::parse_cli_entry(entry.forwarded, entry.data_dir, &mode.json);
    trelk::require(!cli.data_dir_given, "usage",
                   "Set the data directory on the native bootstrap, before forwarded arguments");
  }
  trelk::require_complete_native_install_image(trelk::current_executable_path());
  if (!entry.desktop_entry.empty()) trelk::fail("launcher_missing", "This build cannot create desktop entries yet");
  return start_launcher(entry);
}

void write_problem(const json& problem) {
  json document = {{"schema_version", 1}, {"problem", problem}};
  std::cout << document.dump(-1, ' ', true, json::error_handler_t::replace) << '\n' << std::flush;
}

int exit_status(const std::string& code) {
  if (code == "usage") return 2;
  if (code == "confirmation_required") return 3;
  if (code == "cancelled") return 4;
  return 1;
}

int report(const trelk::Error& error, const ReportMode& mode) {
  if (mode.json) {
    write_problem({{"code", error.code}, {"message", error.what()}, {"recovery", error.details}});
  } else {
    std::cerr << trelk::safe_text(error.what()) << '\n' << std::flush;
    if (mode.dialog) trelk::startup_problem(error.code, error.what());
  }
  return exit_status(error.code);
}

int report(const std::exception& error, const ReportMode& mode) {
  if (mode.json) {
    write_problem({{"code", "local_failure"},
                   {"message", "Trelk could not finish this command. Inspect operation history and local storage."},
                   {"details", std::string(error.what()).substr(0, 2048)},
                   {"recovery", {"operations list"}}});
  } else {
    std::cerr << trelk::safe_text(error.what()) << '\n' << std::flush;
    if (mode.dialog) trelk::startup_problem("local_failure", error.what());
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  ReportMode mode;
  try {
    return run(argc, argv, mode);
  } catch (const trelk::Error& error) {
    return report(error, mode);
  } catch (const std::exception& error) {
    return report(error, mode);
  }
}
