#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "bootstrap/cli_grammar.hpp"
#include "bootstrap/contract.hpp"
#include "bootstrap/options.hpp"
#include "bootstrap/problem_report.hpp"
#include "bootstrap/self_update.hpp"
#include "bootstrap/start_driver.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "desktop/desktop_entry.hpp"
#include "desktop/shortcut_ledger.hpp"
#include "native/brand.hpp"
#include "native/completeness.hpp"
#include "process/arguments.hpp"

namespace {

namespace fs = std::filesystem;
using trelk::json;

constexpr auto startup_limit = std::chrono::milliseconds(10000);

// How a failure is reported. Until the surface is known every failure also gets a dialog.
struct ReportMode {
  bool json = false;
  bool dialog = true;
};

// An executable at R/a/b/c/trelk-bootstrap belongs to the installation at R when R holds
// the installation record; otherwise the data lives in the user's data root.
fs::path default_data_dir(const fs::path& executable) {
  fs::path root = executable.parent_path().parent_path().parent_path().parent_path();
  std::error_code ignored;
  if (fs::is_regular_file(fs::status(root / "native" / "installation.json", ignored))) return root;
  return trelk::user_data_root();
}

bool exists_unfollowed(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

int create_desktop_entry(const trelk::BootstrapEntry& entry, const fs::path& executable) {
  trelk::DesktopShortcut shortcut{executable, fs::absolute(entry.data_dir).lexically_normal(), entry.game, entry.name};
  json result = exists_unfollowed(shortcut.data_root / "native/installation.json")
                    ? trelk::create_owned_native_shortcut(shortcut, entry.desktop_entry)
                    : trelk::create_native_shortcut(shortcut, entry.desktop_entry);
  std::cout << result.dump() << '\n' << std::flush;
  return 0;
}

// The cryptographic library is initialised by its first user (digests, signatures, random bytes,
// the transport), so a start that needs none of them, the usual direct start, never pays for it.
int run(int argc, char** argv, ReportMode& mode) {
  // Asked once: once a self-update moved the running image aside, the kernel names it ".old (deleted)".
  const auto executable = trelk::current_executable_path();
  trelk::apply_pending_bootstrap_update(executable);
  const auto arguments = trelk::process_arguments(argc, argv);
  const auto entry = trelk::parse_bootstrap_entry(arguments, default_data_dir(executable));
  trelk::use_installed_brand(entry.data_dir);
  mode.dialog = entry.interface == "gui";
  if (entry.interface == "cli") {
    // Validated here so misuse fails before anything starts; the raw arguments are forwarded.
    const auto cli = trelk::parse_cli_entry(entry.forwarded, entry.data_dir, &mode.json);
    trelk::require(!cli.data_dir_given, "usage",
                   "Set the data directory on the native bootstrap, before forwarded arguments");
  }
  trelk::require_complete_native_install_image(executable);
  const std::unique_ptr<trelk::NativeFileLock> lifetime = trelk::bootstrap_lifetime(executable);
  if (entry.desktop_entry.empty())
    return trelk::run_launcher_bootstrap(entry.data_dir, entry.interface, entry.forwarded, startup_limit, lifetime);
  return create_desktop_entry(entry, executable);
}

// Codes stay as they are; every text a person reads carries the installation's brand.
json branded_problem(const std::string& code, const std::string& message, const std::vector<std::string>& recovery) {
  std::vector<std::string> hints;
  for (const auto& hint : recovery) hints.push_back(trelk::branded(hint));
  return {{"code", code}, {"message", trelk::branded(message)}, {"recovery", hints}};
}

void write_problem(const json& problem) {
  json document = {{"problem", problem}, {"schema_version", 1}};
  std::cout << document.dump(-1, ' ', true, json::error_handler_t::replace) << '\n' << std::flush;
}

int exit_status(const std::string& code) {
  if (code == "usage") return 2;
  if (code == "confirmation_required") return 3;
  if (code == "cancelled") return 4;
  return 1;
}

void report(const std::string& code, const std::string& message, const ReportMode& mode) {
  const std::string text = trelk::branded(message);
  if (!mode.json) std::cerr << trelk::safe_text(text) << '\n' << std::flush;
  if (mode.dialog && !mode.json) trelk::startup_problem(code, text);
}

}  // namespace

// Started with a standard stream closed, the next file opened would take its number: diagnostics
// would land in a lock file and children would inherit it. Each closed one is opened onto /dev/null.
void open_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd) std::_Exit(1);  // nothing safe is left to report on
  }
}

int main(int argc, char** argv) {
  open_standard_streams();
  ReportMode mode;
  try {
    return run(argc, argv, mode);
  } catch (const trelk::Error& error) {
    if (mode.json) write_problem(branded_problem(error.code, error.what(), error.details));
    report(error.code, error.what(), mode);
    return exit_status(error.code);
  } catch (const std::exception& error) {
    if (mode.json) {
      json problem = branded_problem(
          "local_failure", "Trelk could not finish this command. Inspect operation history and local storage.",
          {"operations list"});
      problem["details"] = std::string(error.what()).substr(0, 2048);
      write_problem(problem);
    }
    report("local_failure", error.what(), mode);
    return 1;
  }
}
