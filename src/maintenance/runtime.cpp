#include "maintenance/runtime.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <thread>
#include <utility>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/descriptor.hpp"
#include "files/directories.hpp"
#include "launcher/health.hpp"
#include "launcher/store.hpp"
#include "maintenance/control.hpp"
#include "process/arguments.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t helper_copy_limit = std::size_t{1} << 30;

bool same_file(const fs::path& first, const fs::path& second) {
  struct stat a {};
  struct stat b {};
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::string read_all(int fd, std::size_t limit) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const auto got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    require(got >= 0, "file_read", "Cannot read the maintenance helper");
    if (got == 0) return bytes;
    require(bytes.size() + static_cast<std::size_t>(got) <= limit, "size_limit",
            "Maintenance helper exceeds its size limit");
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) transaction_failure(errno, "Cannot copy the maintenance helper");
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
}

// The installed version that holds the running image, with its store reference and manifest.
struct RunningVersion {
  std::unique_ptr<LauncherStore> store;
  json reference;
  LauncherManifest manifest;
};

std::optional<RunningVersion> running_version(const fs::path& image) {
  auto managed = managed_version(image);
  if (!managed) return std::nullopt;
  auto store = LauncherStore::for_launch(managed->data_root);
  auto bytes = read_file(store->path("manifests/" + managed->digest + ".json"), launcher_manifest_limit);
  auto document = parse_json(bytes, launcher_manifest_limit);
  require(document.is_object() && document.contains("build_id") && document["build_id"].is_string(), "launcher_helper",
          "Native helper has no bounded launcher identity");
  json reference{{"manifest_sha256", managed->digest}, {"build_id", document["build_id"]}};
  auto manifest = store->manifest(reference);
  return RunningVersion{std::move(store), std::move(reference), std::move(manifest)};
}

}  // namespace

MaintenanceRuntime::MaintenanceRuntime(fs::path copy, fs::path image, fs::path ready, bool attached)
    : copy_(std::move(copy)), image_(std::move(image)), ready_(std::move(ready)), attached_(attached) {}

MaintenanceRuntime::MaintenanceRuntime(MaintenanceRuntime&& other) noexcept
    : copy_(std::exchange(other.copy_, {})),
      image_(std::exchange(other.image_, {})),
      ready_(std::exchange(other.ready_, {})),
      attached_(std::exchange(other.attached_, false)),
      launched_(std::exchange(other.launched_, false)) {}

MaintenanceRuntime& MaintenanceRuntime::operator=(MaintenanceRuntime&& other) noexcept {
  if (this != &other) {
    release();
    copy_ = std::exchange(other.copy_, {});
    image_ = std::exchange(other.image_, {});
    ready_ = std::exchange(other.ready_, {});
    attached_ = std::exchange(other.attached_, false);
    launched_ = std::exchange(other.launched_, false);
  }
  return *this;
}

MaintenanceRuntime::~MaintenanceRuntime() { release(); }

void MaintenanceRuntime::release() noexcept {
  if (copy_.empty()) return;
  if (attached_) {
    native_files::remove_after_exit(copy_);
  } else if (!launched_) {
    // A copy nobody started is just litter.
    std::error_code ignored;
    fs::remove_all(copy_, ignored);
  }
  copy_.clear();
}

MaintenanceRuntime MaintenanceRuntime::prepare(const LauncherStore& store, const json& launcher_manifest_document,
                                               std::string_view kind, const fs::path& /*data_root*/,
                                               const Progress& progress) {
  const auto manifest = store.manifest(launcher_manifest_document);
  const std::string* helper = nullptr;
  for (const auto& [path, role] : manifest.runtime_helpers) {
    if (role == kind) {
      helper = &path;
      break;
    }
  }
  require(helper != nullptr, "maintenance_unavailable",
          "This Trelk version has no " + std::string(kind) + " helper; use the Trelk installer to uninstall");

  const std::string damaged = "The maintenance helper is damaged; run the Trelk installer to repair it";
  auto image = safe_join(store.payload(launcher_manifest_document), *helper, true);
  auto declared = manifest.snapshot.files.find(*helper);
  require(declared != manifest.snapshot.files.end(), "content_mismatch", damaged);
  struct stat st {};
  require(::lstat(image.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) == declared->second.length,
          "content_mismatch", damaged);
  require(digest_file_progress(image, "sha256", progress) == declared->second.sha256, "content_mismatch", damaged);
  return MaintenanceRuntime({}, std::move(image), {}, false);
}

std::unique_ptr<MaintenanceRuntime> MaintenanceRuntime::attach(std::string_view first, std::string_view second) {
  const auto copy = process_environment(maintenance_copy_environment, maintenance_environment_limit);
  const auto ready = process_environment(maintenance_ready_environment, maintenance_environment_limit);
  if (copy.empty() && ready.empty()) return nullptr;

  require(first == "maintenance" || first == "maintenance-gui", "launcher_helper", "Unsupported native helper role");
  if (!second.empty()) validate_identifier(second);
  auto image = current_executable_path();
  auto directory = path_from_utf8(copy);
  if (copy.empty() || !directory.filename().string().starts_with(maintenance_copy_prefix) || !directory.is_absolute() ||
      directory.lexically_normal() != image.parent_path()) {
    // A temporary copy that cannot work is not left behind.
    if (image.parent_path().filename().string().starts_with(maintenance_copy_prefix))
      native_files::remove_after_exit(image.parent_path());
    fail("maintenance_copy", "Maintenance helper copy path is invalid");
  }
  return std::make_unique<MaintenanceRuntime>(std::move(directory), std::move(image), path_from_utf8(ready), true);
}

MaintenanceRuntime MaintenanceRuntime::relocate() {
  const auto image = current_executable_path();
  const auto ready = process_environment(maintenance_ready_environment, maintenance_environment_limit);
  Descriptor source(::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  require(source.valid(), "file_read", "Cannot read the maintenance helper");
  auto bytes = read_all(source.get(), helper_copy_limit);

  auto directory = native_files::temporary_directory(image) / (std::string(maintenance_copy_prefix) + random_id());
  private_directory_new(directory);
  // From here on the runtime owns the directory and removes it again unless the copy is started.
  MaintenanceRuntime runtime(directory, directory / image.filename(), path_from_utf8(ready), false);
  Descriptor target(::open(runtime.image_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
  if (!target.valid()) transaction_failure(errno, "Cannot copy the maintenance helper");
  write_all(target.get(), bytes);
  if (posix_files::sync(target.get()) != 0) transaction_failure(errno, "Cannot copy the maintenance helper");
  return runtime;
}

std::map<std::string, std::string> MaintenanceRuntime::environment() const {
  return {
      {maintenance_copy_environment, path_utf8(copy_)},
      {maintenance_ready_environment, path_utf8(ready_)},
      {"TRELK_LAUNCHER_HEALTH_NONCE", ""},
      {"TRELK_LAUNCHER_MANIFEST", ""},
      {"TRELK_LAUNCHER_BUILD", ""},
      {"TRELK_LAUNCHER_INTERFACE", ""},
      {"TRELK_LAUNCHER_DATA_ROOT", ""},
  };
}

void MaintenanceRuntime::replace(const std::vector<std::string>& arguments) {
  launched_ = true;
  replace_process(image_, arguments, image_.parent_path(), environment());
}

std::unique_ptr<ChildProcess> MaintenanceRuntime::launch_console(const std::vector<std::string>& arguments) {
  launched_ = true;
  return std::make_unique<ChildProcess>(image_, arguments, image_.parent_path(), environment(), ChildStreams::Console,
                                        ChildEnvironment::Sanitized);
}

void MaintenanceRuntime::launch_gui(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
  ready_ = native_files::temporary_directory(image_) / (std::string(maintenance_ready_prefix) + random_id());
  launched_ = true;
  ChildProcess child(image_, arguments, image_.parent_path(), environment(), ChildStreams::Diagnostics,
                     ChildEnvironment::Sanitized);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool opened = false;
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(ready_, error))) {
      opened = true;
      break;
    }
    if (child.poll()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::error_code ignored;
  fs::remove(ready_, ignored);
  if (!opened) {
    child.terminate(std::chrono::milliseconds(250));
    fail("maintenance_startup", "The uninstall window did not open");
  }
}

void MaintenanceRuntime::report_ready() const {
  if (!ready_.empty()) atomic_write(ready_, "ready");
}

MaintenanceRuntime prepare_gui_maintenance(const fs::path& data_root, std::string_view interface,
                                           const Progress& progress) {
  const auto image = current_executable_path();
  auto version = running_version(image);
  require(version.has_value(), "maintenance_unavailable",
          "Start the installed Trelk GUI or use the external installer to review removal");
  const auto& entry = interface == "cli" ? version->manifest.snapshot.executable : version->manifest.gui_executable;
  require(same_file(safe_join(version->store->payload(version->reference), entry, true), image), "launcher_identity",
          "Maintenance handoff requires this build's verified GUI image");
  return MaintenanceRuntime::prepare(*version->store, version->reference, "maintenance-gui", data_root, progress);
}

json run_cli_maintenance(const fs::path& data_root, const std::vector<std::string>& arguments,
                         std::string_view /*interface*/, const std::function<bool()>& interrupted) {
  if (auto answer = native_maintenance_control(data_root, arguments, interrupted)) return *answer;
  auto helper_arguments = maintenance_arguments(arguments, data_root);
  require(!helper_arguments.empty(), "usage", "Expected a native maintenance command");
  require(!launcher_startup_pending(), "maintenance_unavailable",
          "Start native maintenance through the installed bootstrap to release startup ownership");
  const auto image = current_executable_path();
  auto version = running_version(image);
  require(version.has_value(), "maintenance_unavailable",
          "Installed maintenance needs a managed launcher image; use the external installer");
  require(same_file(safe_join(version->store->payload(version->reference), version->manifest.snapshot.executable, true),
                    image),
          "launcher_identity", "Native maintenance requires this build's verified CLI image");
  bool json_flag = false;
  without_json(arguments, json_flag);
  auto runtime = prepare_console_maintenance(*version->store, version->reference, data_root, interrupted, json_flag);
  runtime.replace(helper_arguments);
}

}  // namespace trelk
