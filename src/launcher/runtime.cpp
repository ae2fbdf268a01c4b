#include "launcher/runtime.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "launcher/health.hpp"
#include "launcher/store.hpp"
#include "process/arguments.hpp"
#include "process/interrupt.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

bool same_file(const fs::path& first, const fs::path& second) {
  struct stat a {};
  struct stat b {};
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::string startup_variable(const char* name) { return process_environment(name, launcher_environment_limit); }

}  // namespace

std::unique_ptr<LauncherRuntime> LauncherRuntime::attach(std::string_view build_id, std::string_view interface,
                                                         const fs::path& data_root) {
  check_launcher_interface(interface);
  validate_identifier(build_id);
  auto root = normalize_data_root(data_root);
  auto image = current_executable_path();
  reject_staged_image(image);

  auto nonce = startup_variable(launcher_health_nonce_environment);
  if (!nonce.empty()) {
    check_launcher_nonce(nonce);
    auto announced_root = startup_variable(launcher_data_root_environment);
    auto build = startup_variable(launcher_build_environment);
    auto announced_interface = startup_variable(launcher_interface_environment);
    // Compared by identity: the same directory may be reached through different spellings.
    require(build == build_id && announced_interface == interface && !announced_root.empty() &&
                same_file(normalize_data_root(path_from_utf8(announced_root)), root),
            "launcher_health", "Launcher startup does not match this build, interface or data root");
    json reference = {{"manifest_sha256", startup_variable(launcher_manifest_environment)},
                      {"build_id", std::string(build_id)}};
    check_launcher_reference(reference);
    json attempt = {{"nonce", nonce}, {"reference", reference}};
    return std::make_unique<LauncherRuntime>(root, std::move(attempt), std::move(reference), std::string(interface));
  }

  auto managed = managed_version(image);
  if (!managed) return nullptr;
  json reference = {{"manifest_sha256", managed->digest}, {"build_id", std::string(build_id)}};
  return std::make_unique<LauncherRuntime>(managed->data_root, nullptr, std::move(reference), std::string(interface));
}

LauncherRuntime::LauncherRuntime(fs::path root, json attempt, json reference, std::string interface)
    : root_(std::move(root)),
      reference_(std::move(reference)),
      attempt_(std::move(attempt)),
      interface_(std::move(interface)) {
  auto store = LauncherStore::for_launch(root_);
  if (!attempt_.is_null())
    attempt_lease_ = std::make_unique<FileLock>(store->startup_lease_path(attempt_), false, LockMode::shared);
  version_lease_ = store->version_guard(reference_, LockMode::shared);

  auto launcher = store->manifest(reference_);
  const auto& entry = interface_ == "gui" ? launcher.gui_executable : launcher.snapshot.executable;
  require(same_file(safe_join(store->payload(reference_), entry, true), current_executable_path()), "launcher_identity",
          "Running launcher image differs from its verified native entry point");
  if (attempt_.is_null()) return;

  require(store->status().at("attempt") == attempt_, "launcher_health",
          "Launcher startup is no longer pending or cannot protect its content");
  atomic_create(store->startup_ack_path(attempt_),
                lease_document(launcher, attempt_, static_cast<std::uint64_t>(::getpid()), interface_).dump());
  // No child of the launcher may answer for this attempt.
  for (const char* name : {launcher_health_nonce_environment, launcher_manifest_environment, launcher_build_environment,
                           launcher_interface_environment, launcher_data_root_environment})
    require(::unsetenv(name) == 0, "launcher_health", "Cannot clear launcher startup authority");
}

LauncherRuntime::~LauncherRuntime() {
  // The leases end with the process, not with this object: the bootstrap probes them to see a live launcher.
  if (attempt_lease_) attempt_lease_->retain_until_process_exit();
  if (version_lease_) version_lease_->retain_until_process_exit();
}

void LauncherRuntime::report_health() {
  if (attempt_.is_null() || health_reported_) return;
  require(attempt_lease_ != nullptr && version_lease_ != nullptr, "launcher_health",
          "Launcher startup health needs its live native leases");
  LauncherStore store(root_);
  require(store.status().at("attempt") == attempt_, "launcher_health", "Launcher startup attempt is no longer pending");
  auto launcher = store.manifest(reference_);
  auto health = launcher.startup_health(attempt_, static_cast<std::uint64_t>(::getpid()), interface_,
                                        ConsoleInterrupt::parent_reader_attached());
  atomic_create(store.health_path(attempt_), health.dump());
  health_reported_ = true;
}

void report_launcher_health(LauncherRuntime* runtime) {
  if (runtime != nullptr) runtime->report_health();
}

std::unique_ptr<LauncherHelperRuntime> LauncherHelperRuntime::attach(std::string_view build_id, std::string_view role) {
  validate_identifier(build_id);
  auto guard = launcher_helper_guard(current_executable_path(), role, build_id);
  if (!guard) return nullptr;
  return std::make_unique<LauncherHelperRuntime>(std::move(guard));
}

LauncherHelperRuntime::LauncherHelperRuntime(std::unique_ptr<FileLock> guard) : guard_(std::move(guard)) {}

LauncherHelperRuntime::~LauncherHelperRuntime() {
  if (guard_) guard_->retain_until_process_exit();
}

}  // namespace trelk
