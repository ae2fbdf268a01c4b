#include "launcher/health.hpp"

#include <sys/stat.h>

#include <string>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "launcher/store.hpp"
#include "process/arguments.hpp"
#include "snapshot/extract.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t problem_code_limit = 80;

std::string attempt_nonce(const json& attempt) {
  std::string nonce;
  try {
    nonce = attempt.at("nonce").get<std::string>();
  } catch (const json::exception&) {
    fail("launcher_state", "Launcher startup identity is invalid");
  }
  check_launcher_nonce(nonce);
  return nonce;
}

const json& attempt_reference(const json& attempt) {
  try {
    const auto& reference = attempt.at("reference");
    check_launcher_reference(reference);
    require(!reference.is_null(), "launcher_state", "Launcher candidate/startup state is contradictory");
    return reference;
  } catch (const json::exception&) {
    fail("launcher_state", "Launcher installation record is malformed; it was preserved");
  }
}

void require_owned_attempt(const json& record, const json& attempt) {
  require(!attempt.is_null() && record.at("attempt") == attempt, "launcher_state",
          "Launcher startup ownership changed");
}

bool valid_problem_code(std::string_view problem) {
  if (problem.empty() || problem.size() > problem_code_limit) return false;
  for (char c : problem)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
  return true;
}

bool exists_in_any_form(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool same_file(const fs::path& first, const fs::path& second) {
  struct stat a {};
  struct stat b {};
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// A helper must run from the path it was verified at: no user-controlled link may redirect it.
bool ordinary_physical_file(const fs::path& image) {
  struct stat info {};
  if (!image.is_absolute() || ::lstat(image.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  std::error_code error;
  auto canonical = fs::canonical(image, error);
  if (error) return false;
  try {
    return canonical == resolve_system_links(image);
  } catch (const Error&) {
    return false;
  }
}

}  // namespace

void check_launcher_interface(std::string_view interface) {
  require(interface == "gui" || interface == "cli", "launcher_interface", "Choose the CLI or GUI launcher interface");
}

json lease_document(const LauncherManifest& manifest, const json& attempt, std::uint64_t pid,
                    std::string_view interface) {
  auto document = manifest.startup_health(attempt, pid, interface, false);
  document.erase("health_abi");
  document["runtime_lease_abi"] = manifest.runtime_lease_abi;
  document["state"] = "leased";
  return document;
}

bool launcher_startup_pending() {
  return !process_environment(launcher_health_nonce_environment, launcher_environment_limit).empty();
}

fs::path LauncherStore::startup_lease_path(const json& attempt) const {
  return path("leases/attempts/" + attempt_nonce(attempt) + ".lock");
}

fs::path LauncherStore::startup_ack_path(const json& attempt) const {
  return path("leases/attempts/" + attempt_nonce(attempt) + ".json");
}

fs::path LauncherStore::health_path(const json& attempt) const {
  return path("health/" + attempt_nonce(attempt) + ".json");
}

json LauncherStore::begin_candidate() const {
  auto record = load();
  require(record.at("attempt").is_null(), "busy", "Another launcher startup needs recovery");
  if (record.at("candidate").is_null()) return nullptr;
  json attempt = {{"nonce", random_id()}, {"reference", record.at("candidate")}};
  record["candidate"] = nullptr;
  record["attempt"] = attempt;
  save(record);
  return attempt;
}

std::map<std::string, std::string> LauncherStore::health_environment(const json& attempt,
                                                                     std::string_view interface) const {
  check_launcher_interface(interface);
  health_path(attempt);
  const auto& reference = attempt_reference(attempt);
  return {{launcher_health_nonce_environment, attempt_nonce(attempt)},
          {launcher_manifest_environment, reference.at("manifest_sha256").get<std::string>()},
          {launcher_build_environment, reference.at("build_id").get<std::string>()},
          {launcher_interface_environment, std::string(interface)},
          {launcher_data_root_environment, path_utf8(root_)}};
}

void LauncherStore::confirm_candidate(const json& attempt, const json& health, std::uint64_t pid,
                                      std::string_view interface) const {
  check_launcher_interface(interface);
  require(pid != 0, "launcher_health", "Startup PID is invalid");
  auto record = load();
  require_owned_attempt(record, attempt);
  const auto& reference = attempt_reference(attempt);
  auto launcher = manifest(reference);
  require(launcher.matches_startup_health(health, attempt, pid, interface, interface == "cli"), "launcher_health",
          "Launcher health does not match its build, process, mode, interrupt contract and attempt");
  auto ack = startup_ack_path(attempt);
  require(exists_in_any_form(ack), "launcher_lease", "Launcher startup did not acknowledge native content ownership");
  auto acknowledged = parse_json(read_file(ack, launcher_health_limit), launcher_health_limit);
  require(acknowledged == lease_document(launcher, attempt, pid, interface), "launcher_lease",
          "Launcher lease acknowledgement does not match its build, process, mode and attempt");
  // The tree may have been damaged between staging and this first start.
  verify_snapshot_tree(launcher.snapshot, payload(reference), {});
  record["rollback"] = record.at("active");
  record["active"] = reference;
  record["attempt"] = nullptr;
  record["failed_candidate"] = nullptr;
  save(record);
}

void LauncherStore::reject_candidate(const json& attempt, std::string_view problem) const {
  require(valid_problem_code(problem), "launcher_state", "Launcher startup problem code is invalid");
  auto record = load();
  require_owned_attempt(record, attempt);
  record["failed_candidate"] = {{"reference", attempt_reference(attempt)}, {"problem", std::string(problem)}};
  record["attempt"] = nullptr;
  save(record);
}

void LauncherStore::recover_attempt() const {
  auto record = load();
  const auto attempt = record.at("attempt");
  if (attempt.is_null()) return;
  std::unique_ptr<FileLock> probe;
  try {
    probe = std::make_unique<FileLock>(startup_lease_path(attempt), false, LockMode::exclusive);
  } catch (const Error& error) {
    if (error.code != "busy") throw;
    throw Error("launcher_running",
                "The unfinished launcher is still using its startup attempt; close it before restarting",
                {"self status"});
  }
  record["failed_candidate"] = {{"reference", attempt_reference(attempt)}, {"problem", "startup_interrupted"}};
  record["attempt"] = nullptr;
  save(record);
}

std::unique_ptr<FileLock> LauncherStore::version_guard(const json& reference, LockMode mode) const {
  check_launcher_reference(reference);
  require(!reference.is_null(), "launcher_missing", "No launcher version was selected");
  if (mode == LockMode::exclusive) {
    // Only a version whose contract is known may be changed or removed.
    try {
      manifest(reference);
    } catch (const Error&) {
      throw Error("launcher_recovery_uncertain", "This launcher version has an unknown contract; preserve its content");
    }
  }
  return std::make_unique<FileLock>(
      path("leases/versions/" + reference.at("manifest_sha256").get<std::string>() + ".lock"), false, mode);
}

std::unique_ptr<FileLock> launcher_helper_guard(const fs::path& image, std::string_view role,
                                                std::string_view build_id) {
  require(role == "maintenance" || role == "crash-handler" || role == "maintenance-gui", "launcher_helper",
          "Unsupported native helper role");
  if (!build_id.empty()) validate_identifier(build_id);
  require(ordinary_physical_file(image), "launcher_identity", "Native helper image must be an ordinary physical path");
  reject_staged_image(image);
  auto managed = managed_version(image);
  if (!managed) return nullptr;

  LauncherStore store(managed->data_root);
  std::string build(build_id);
  if (build.empty()) {
    auto document = parse_json(read_file(store.path("manifests/" + managed->digest + ".json"), launcher_manifest_limit),
                               launcher_manifest_limit);
    require(document.is_object() && document.contains("build_id") && document["build_id"].is_string(),
            "launcher_helper", "Native helper has no bounded launcher identity");
    build = document["build_id"].get<std::string>();
  }
  json reference = {{"manifest_sha256", managed->digest}, {"build_id", build}};
  auto guard = store.version_guard(reference, LockMode::shared);
  auto launcher = store.manifest(reference);
  auto payload = store.payload(reference);

  const std::string* declared = nullptr;
  for (const auto& [path, helper_role] : launcher.runtime_helpers)
    if (helper_role == role && same_file(safe_join(payload, path, true), image)) {
      declared = &path;
      break;
    }
  require(declared != nullptr, "launcher_identity", "Running helper image differs from its declared native role");
  const auto& entry = launcher.snapshot.files.at(*declared);
  std::error_code error;
  auto size = fs::file_size(image, error);
  require(!error && size == entry.length && digest_file(image, "sha256") == entry.sha256, "content_mismatch",
          "Native helper image differs from its verified launcher inventory");
  return guard;
}

}  // namespace trelk
