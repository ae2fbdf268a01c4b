#include "launcher/manifest.hpp"

#include "core/error.hpp"
#include "core/paths.hpp"

namespace trelk {

namespace {

bool integer_equal(const json& value, std::uint64_t expected) { return value.is_number_integer() && value == expected; }

bool known_helper_role(std::string_view role) {
  return role == "crash-handler" || role == "maintenance" || role == "maintenance-gui";
}

void check_contract_value(const json& document, const char* name, std::uint64_t expected) {
  require(document.contains(name), "launcher_incompatible", "Launcher manifest lacks its runtime contract");
  require(integer_equal(document[name], expected), "launcher_incompatible", "Unsupported launcher runtime contract");
}

LauncherManifest parse_members(const json& document) {
  require(document.is_object() && integer_equal(document.at("schema_version"), 1) &&
              document.at("kind") == "trelk-launcher-release",
          "unsupported_schema", "Unsupported launcher manifest; existing installation was preserved");
  require(integer_equal(document.at("bootstrap_abi"), 1) && integer_equal(document.at("health_abi"), 1),
          "launcher_incompatible", "This launcher needs another native bootstrap ABI");
  const auto& schema = document.at("application_schema");
  auto minimum = positive_version(schema.at("minimum"));
  auto maximum = positive_version(schema.at("maximum"));
  require(minimum <= application_data_schema && maximum >= application_data_schema, "launcher_incompatible",
          "This launcher cannot preserve the current application data schema");

  LauncherManifest result;
  result.snapshot = SnapshotManifest::parse(document);
  check_contract_value(document, "runtime_lease_abi", 2);
  check_contract_value(document, "staging_abi", 1);
  check_contract_value(document, "console_interrupt_abi", 1);

  const auto& snapshot = result.snapshot;
  require(snapshot.archive_length <= launcher_payload_bytes && snapshot.expanded_length <= launcher_payload_bytes &&
              snapshot.files.size() <= launcher_payload_files,
          "size_limit", "Launcher payload exceeds bounded native package limits");

  auto executable_file = [&](const std::string& path) {
    auto found = snapshot.files.find(path);
    return found != snapshot.files.end() && found->second.executable;
  };
  result.gui_executable = document.at("gui_executable").get<std::string>();
  validate_relative_path(result.gui_executable, true);
  require(executable_file(result.gui_executable), "invalid_manifest",
          "GUI launcher executable is missing or not executable");
  require(result.gui_executable != snapshot.executable, "invalid_manifest",
          "GUI and CLI need separate native entry points");

  const auto& helpers = document.at("runtime_helpers");
  require(helpers.is_array() && helpers.size() <= launcher_helper_limit, "launcher_incompatible",
          "Native helper ownership must be a bounded list");
  for (const auto& helper : helpers) {
    require(helper.is_object() && helper.size() == 3 && helper.contains("path") && helper.contains("role") &&
                helper.contains("lease_abi"),
            "launcher_incompatible", "Native helper ownership fields are invalid");
    auto path = helper["path"].get<std::string>();
    auto role = helper["role"].get<std::string>();
    require(known_helper_role(role) && integer_equal(helper["lease_abi"], 1), "launcher_incompatible",
            "Unsupported native helper ownership contract");
    require(path != snapshot.executable && path != result.gui_executable && executable_file(path) &&
                result.runtime_helpers.emplace(path, role).second,
            "launcher_incompatible", "Native helper is missing, repeated or overlaps a frontend");
  }

  // Every executable must have an owner that decides its lifetime; a stray one could outlive the launcher.
  for (const auto& [path, file] : snapshot.files) {
    if (!file.executable || path == snapshot.executable || path == result.gui_executable) continue;
    require(result.runtime_helpers.contains(path), "launcher_incompatible",
            "Every native helper needs declared lifetime ownership");
  }
  return result;
}

}  // namespace

LauncherManifest LauncherManifest::parse(const json& document) {
  try {
    return parse_members(document);
  } catch (const json::exception&) {
    fail("invalid_manifest", "Launcher manifest has missing or malformed fields");
  }
}

json LauncherManifest::startup_health(const json& attempt, std::uint64_t pid, std::string_view interface,
                                      bool console_interrupt) const {
  require((interface == "gui" || interface == "cli") && pid != 0, "launcher_health",
          "Launcher health needs its exact native process and interface");
  json health = json::object();
  try {
    health["nonce"] = attempt.at("nonce");
    health["manifest_sha256"] = attempt.at("reference").at("manifest_sha256");
  } catch (const json::exception&) {
    fail("launcher_state", "Launcher startup identity is invalid");
  }
  health["schema_version"] = 1;
  health["health_abi"] = 1;
  health["build_id"] = snapshot.build_id;
  health["pid"] = pid;
  health["interface"] = interface;
  health["application_schema"] = application_data_schema;
  health["state"] = "ready";
  if (console_interrupt && interface == "cli") health["console_interrupt_abi"] = console_interrupt_abi;
  return health;
}

bool LauncherManifest::matches_startup_health(const json& health, const json& attempt, std::uint64_t pid,
                                              std::string_view interface, bool console_interrupt) const {
  if (!health.is_object()) return false;
  for (const char* name : {"schema_version", "health_abi", "application_schema", "pid"})
    if (!health.contains(name) || !health[name].is_number_integer()) return false;
  if (console_interrupt && interface == "cli") {
    if (!health.contains("console_interrupt_abi") || !integer_equal(health["console_interrupt_abi"], 1)) return false;
  }
  return health == startup_health(attempt, pid, interface, console_interrupt);
}

std::string launcher_manifest_target() { return "launcher-" + native_platform() + ".manifest.json"; }

}  // namespace trelk
