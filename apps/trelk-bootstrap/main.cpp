#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "bootstrap/options.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"

namespace {

namespace fs = std::filesystem;
using trelk::json;

// How a failure is reported: set once the surface and the forwarded command are known.
struct ReportMode {
  bool json = false;
  bool dialog = true;  // failures before the surface is known are shown in a dialog
};

// The running image; stands in until the process layer provides its bounded lookup.
fs::path executable_path() { return fs::read_symlink("/proc/self/exe"); }

// An executable at R/a/b/c/trelk-bootstrap belongs to the installation at R when
// R holds the installation record; otherwise the data lives in the user's data root.
fs::path default_data_dir(const fs::path& executable) {
  fs::path root = executable.parent_path().parent_path().parent_path().parent_path();
  std::error_code ignored;
  if (fs::is_regular_file(fs::status(root / "native" / "installation.json", ignored))) return root;
  return trelk::user_data_root();
}

int run(const std::vector<std::string>& arguments, ReportMode& mode) {
  const trelk::BootstrapEntry entry = trelk::parse_bootstrap_entry(arguments, default_data_dir(executable_path()));
  mode.dialog = entry.interface == "gui";
  // The launcher start driver takes over here.
  trelk::fail("launcher_missing", "This build cannot start the Trelk launcher yet");
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
    std::cerr << error.what() << '\n';
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
    std::cerr << error.what() << '\n';
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  ReportMode mode;
  try {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return run(arguments, mode);
  } catch (const trelk::Error& error) {
    return report(error, mode);
  } catch (const std::exception& error) {
    return report(error, mode);
  }
}
