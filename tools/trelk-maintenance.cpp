// The maintenance helper a launcher version ships, installed once per role: "trelk-maintenance" (console) and
// "trelk-maintenance-gui" (windowed). Started from the version's payload, it first moves itself into a temporary
// copy and runs from there, so that uninstalling can remove the version it came from.
//
//   uninstall --data-dir ROOT [--remove-data]... [--json]
//   repair-shortcuts --data-dir ROOT [--bootstrap PATH] [--json]
//   remove-shortcuts --data-dir ROOT [--json]

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "bootstrap/problem_report.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "launcher/health.hpp"
#include "maintenance/control.hpp"
#include "maintenance/runtime.hpp"
#include "maintenance/uninstall.hpp"
#include "native/brand.hpp"
#include "process/arguments.hpp"

namespace {

using trelk::json;
namespace fs = std::filesystem;

constexpr const char* usage_text =
    "Use uninstall --data-dir ROOT [--remove-data], repair-shortcuts --data-dir ROOT [--bootstrap PATH] or "
    "remove-shortcuts --data-dir ROOT";

struct Request {
  std::string command;
  fs::path data_root;
  fs::path bootstrap;
  bool remove_data = false;
};

Request parse_request(const std::vector<std::string>& words) {
  trelk::require(!words.empty(), "usage", usage_text);
  Request request;
  request.command = words[0];
  trelk::require(
      request.command == "uninstall" || request.command == "repair-shortcuts" || request.command == "remove-shortcuts",
      "usage", usage_text);
  for (std::size_t i = 1; i < words.size(); ++i) {
    const auto& word = words[i];
    if (word == "--data-dir" && i + 1 < words.size() && request.data_root.empty() && !words[i + 1].empty()) {
      request.data_root = trelk::path_from_utf8(words[++i]);
    } else if (word == "--remove-data" && request.command == "uninstall") {
      request.remove_data = true;
    } else if (word == "--bootstrap" && request.command == "repair-shortcuts" && i + 1 < words.size() &&
               request.bootstrap.empty() && !words[i + 1].empty()) {
      request.bootstrap = trelk::path_from_utf8(words[++i]);
    } else {
      trelk::fail("usage", usage_text);
    }
  }
  trelk::require(!request.data_root.empty(), "usage", usage_text);
  return request;
}

json run(const Request& request) {
  if (request.command == "uninstall") {
    trelk::UninstallOptions options;
    options.remove_data = request.remove_data;
    return trelk::uninstall_document(trelk::uninstall_installation(request.data_root, options));
  }
  if (request.command == "repair-shortcuts")
    return trelk::repair_installation_shortcuts(request.data_root, request.bootstrap);
  auto removal = trelk::remove_installation_shortcuts(request.data_root);
  json removed = json::array();
  for (const auto& path : removal.removed) removed.push_back(trelk::path_utf8(path));
  json changed = json::array();
  for (const auto& path : removal.preserved) changed.push_back(trelk::path_utf8(path));
  return json{{"schema_version", 1}, {"removed", removed}, {"changed", changed}};
}

void print_text(const json& result) {
  std::string text;
  for (const auto* member : {"removed", "restored"}) {
    if (!result.contains(member)) continue;
    text += trelk::branded(std::string(member == std::string("removed") ? "Removed" : "Restored") + ": " +
                           std::to_string(result[member].size()) + "\n");
    for (const auto& path : result[member]) text += "  " + trelk::safe_text(path.get<std::string>()) + "\n";
  }
  if (result.contains("changed") && !result["changed"].empty()) {
    text += "Kept because they were changed or are not Trelk's: " + std::to_string(result["changed"].size()) + "\n";
    for (const auto& path : result["changed"]) text += "  " + trelk::safe_text(path.get<std::string>()) + "\n";
  }
  std::fputs(trelk::branded(text).c_str(), stdout);
}

int exit_status(const std::string& code) {
  if (code == "usage") return 2;
  if (code == "confirmation_required") return 3;
  if (code == "cancelled") return 4;
  return 1;
}

int report(const std::string& code, const std::string& message, const std::vector<std::string>& recovery,
           bool json_mode, bool window) {
  if (json_mode) {
    json problem{{"code", code}, {"message", trelk::branded(message)}, {"recovery", recovery}};
    json document{{"schema_version", 1}, {"problem", problem}};
    std::cout << document.dump(-1, ' ', true, json::error_handler_t::replace) << '\n' << std::flush;
  } else {
    std::cerr << "trelk: " << trelk::safe_text(trelk::branded(message)) << " (" << code << ")\n";
    if (window && !trelk::started_from_terminal()) trelk::startup_problem(code, message);
  }
  return exit_status(code);
}

}  // namespace

int main(int argc, char** argv) {
  bool json_mode = false;
  bool window = false;
  try {
    trelk::initialize_client_runtime();
    auto arguments = trelk::process_arguments(argc, argv);
    auto words = trelk::without_json(arguments, json_mode);
    const auto image = trelk::current_executable_path();
    const std::string role = image.filename().string().ends_with("-gui") ? "maintenance-gui" : "maintenance";
    window = role == "maintenance-gui";

    if (trelk::process_environment(trelk::maintenance_copy_environment, trelk::maintenance_environment_limit).empty()) {
      // Started from the version's payload: prove to be that version's declared helper, then run from a private
      // copy instead, keeping the readiness file the caller waits for. The copy is a fresh process image; the
      // version lease of this one ends with it.
      auto guard = trelk::launcher_helper_guard(image, role, "");
      auto copy = trelk::MaintenanceRuntime::relocate();
      copy.replace(arguments);
    }
    auto runtime = trelk::MaintenanceRuntime::attach(role, "");

    auto request = parse_request(words);
    trelk::use_installed_brand(trelk::maintenance_data_root(request.data_root));
    // The window is the caller's proof that the handoff worked; failures from here on are reported by this
    // process, in a dialog for the windowed role.
    runtime->report_ready();
    auto result = run(request);
    if (json_mode)
      std::cout << result.dump(-1, ' ', true, json::error_handler_t::replace) << '\n' << std::flush;
    else
      print_text(result);
    return 0;
  } catch (const trelk::Error& error) {
    return report(error.code, error.what(), error.details, json_mode, window);
  } catch (const std::exception& error) {
    return report("maintenance_failed", error.what(), {}, json_mode, window);
  }
}
