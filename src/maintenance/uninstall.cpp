#include "maintenance/uninstall.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <thread>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "desktop/shortcut_ledger.hpp"
#include "files/atomic.hpp"
#include "files/locks.hpp"
#include "launcher/store.hpp"
#include "maintenance/control.hpp"
#include "process/arguments.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t version_entry_bound = 256;
constexpr std::size_t tree_entry_bound = 1 << 20;
constexpr std::uint64_t bootstrap_record_limit = 524288;

// Bookkeeping of the launcher store and of the native installation: owned whole, whatever is inside.
constexpr const char* store_files[] = {"installation.json", "cleanup.json", "start-attempt.json", "bootstrap.lock"};
constexpr const char* store_trees[] = {"downloads", "download-intents", "intents", "staging", "health", "leases"};
constexpr const char* native_files_owned[] = {"installation.json",
                                              "bootstrap.json",
                                              "bootstrap-update.json",
                                              "bootstrap-update.rejected",
                                              "bootstrap-update.lock",
                                              "bootstrap-old-files",
                                              "shortcuts.json",
                                              "shortcuts.lock",
                                              "brand.ico"};
constexpr const char* native_trees[] = {"bootstrap-update", "bootstrap-update.partial", "bootstrap-downloads", "theme"};

bool plain_directory(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool regular_file(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Removes an empty directory; a directory that still holds something stays.
void remove_if_empty(const fs::path& directory) {
  if (plain_directory(directory)) ::rmdir(directory.c_str());
}

void remove_entry(const fs::path& path, UninstallReport& report) {
  if (!entry_exists(path)) return;
  std::error_code error;
  fs::remove_all(path, error);
  require(!error, "file_write", "Cannot remove " + path_utf8(path));
  report.removed.push_back(path);
}

bool matches(const fs::path& file, const PackageFile& declared) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) != declared.length)
    return false;
  return digest_file(file, "sha256") == declared.sha256;
}

// Something else may hold a version or the installation for a moment (the launcher that opened an uninstall
// window is closing); wait for it within the bound, then let "busy" speak.
template <typename Lock>
Lock acquire(const std::function<Lock()>& take, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    try {
      return take();
    } catch (const Error& error) {
      if (error.code != "busy" || std::chrono::steady_clock::now() >= deadline) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void refuse_user_roots(const fs::path& root) {
  require(root.has_relative_path() && root.parent_path() != root.root_path(), "unsafe_path",
          "Refusing to uninstall from a top-level directory: " + path_utf8(root));
  const auto home = process_environment("HOME", 4096);
  if (home.empty()) return;
  const auto home_path = fs::absolute(path_from_utf8(home)).lexically_normal();
  auto relative = home_path.lexically_relative(root);
  require(relative.empty() || *relative.begin() == "..", "unsafe_path",
          "Refusing to uninstall a directory that holds the home directory: " + path_utf8(root));
}

void remove_launcher_versions(const LauncherStore& store, const UninstallOptions& options, UninstallReport& report) {
  const auto versions = store.path("versions");
  if (!plain_directory(versions)) return;
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(versions)) {
    require(entries.size() < version_entry_bound, "launcher_state", "Too many launcher versions to uninstall");
    entries.push_back(entry.path());
  }
  for (const auto& entry : entries) {
    const auto name = entry.filename().string();
    if (!plain_directory(entry) || !is_manifest_digest(name)) {
      report.changed.push_back(entry);
      continue;
    }
    const auto manifest_file = store.path("manifests/" + name + ".json");
    std::optional<LauncherManifest> manifest;
    json reference;
    try {
      auto document = parse_json(read_file(manifest_file, launcher_manifest_limit), launcher_manifest_limit);
      reference = {{"manifest_sha256", name}, {"build_id", document.at("build_id")}};
      manifest = store.manifest(reference);
    } catch (const std::exception&) {
      // Without a trusted inventory nobody can tell which files are ours: the version stays as it is.
      report.changed.push_back(entry);
      continue;
    }
    auto lease = acquire<std::unique_ptr<FileLock>>(
        [&] {
          return std::make_unique<FileLock>(store.path("leases/versions/" + name + ".lock"), false,
                                            LockMode::exclusive);
        },
        options.release_wait);
    auto kept = retire_owned_tree(entry, manifest->snapshot.files);
    report.changed.insert(report.changed.end(), kept.begin(), kept.end());
    if (!entry_exists(entry)) {
      report.removed.push_back(entry);
      remove_entry(manifest_file, report);
    }
  }
  remove_if_empty(versions);
}

void remove_launcher_store(const fs::path& root, const UninstallOptions& options, UninstallReport& report) {
  const auto directory = root / "launcher";
  if (!plain_directory(directory)) return;
  const LauncherStore store(root, LaunchView{});
  auto owner = acquire<std::unique_ptr<FileLock>>([&] { return store.owner(); }, options.release_wait);
  remove_launcher_versions(store, options, report);
  for (const auto* tree : store_trees) remove_entry(store.path(tree), report);
  remove_if_empty(store.path("manifests"));
  if (entry_exists(store.path("manifests"))) report.changed.push_back(store.path("manifests"));
  for (const auto* file : store_files) remove_entry(store.path(file), report);
  owner.reset();
  remove_if_empty(directory);
}

void remove_native_files(const fs::path& root, UninstallReport& report) {
  const auto native = root / "native";
  if (!plain_directory(native)) return;
  const auto image = native / "bootstrap";
  if (plain_directory(image)) {
    try {
      auto record = parse_json(read_file(native / "bootstrap.json", bootstrap_record_limit), bootstrap_record_limit);
      auto manifest = SnapshotManifest::parse(record);
      auto kept = retire_owned_tree(image, manifest.files);
      report.changed.insert(report.changed.end(), kept.begin(), kept.end());
      if (!entry_exists(image)) report.removed.push_back(image);
    } catch (const Error&) {
      // No readable record of the installed image: it is left for the installer.
      report.changed.push_back(image);
    }
  }
  for (const auto* tree : native_trees) remove_entry(native / tree, report);
  for (const auto* file : native_files_owned) remove_entry(native / file, report);
  remove_if_empty(native);
  if (entry_exists(native) && std::find(report.changed.begin(), report.changed.end(), image) == report.changed.end())
    report.changed.push_back(native);
}

}  // namespace

std::vector<fs::path> retire_owned_tree(const fs::path& directory, const std::map<std::string, PackageFile>& files) {
  std::vector<fs::path> kept;
  for (const auto& [relative, declared] : files) {
    fs::path file;
    try {
      file = safe_join(directory, relative, true);
    } catch (const Error&) {
      continue;  // a linked parent: whatever lies behind it is not ours
    }
    if (matches(file, declared)) {
      require(::unlink(file.c_str()) == 0 || errno == ENOENT, "file_write", "Cannot remove " + path_utf8(file));
    }
  }
  if (!plain_directory(directory)) return kept;
  // Deepest directories first, so that parents empty out as their children go.
  std::vector<fs::path> directories;
  std::size_t count = 0;
  for (auto it = fs::recursive_directory_iterator(directory); it != fs::recursive_directory_iterator(); ++it) {
    require(++count <= tree_entry_bound, "size_limit", "Installed tree holds too many entries");
    if (it->symlink_status().type() == fs::file_type::directory)
      directories.push_back(it->path());
    else
      kept.push_back(it->path());
  }
  std::sort(directories.begin(), directories.end(),
            [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
  for (const auto& path : directories) remove_if_empty(path);
  remove_if_empty(directory);
  return kept;
}

UninstallReport uninstall_installation(const fs::path& data_root, const UninstallOptions& options) {
  const auto root = maintenance_data_root(data_root);
  refuse_user_roots(root);
  require(regular_file(root / "native/installation.json"), "not_installed",
          "No Trelk installation was found in " + path_utf8(root));

  // No bootstrap of this installation may run while it goes away.
  const auto lock_path = root / native_bootstrap_lock;
  auto installation = acquire<std::unique_ptr<NativeFileLock>>(
      [&] { return std::make_unique<NativeFileLock>(lock_path, true, NativeLockSharing::none, LockMode::exclusive); },
      options.release_wait);

  UninstallReport report;
  auto shortcuts = remove_owned_native_shortcuts(root);
  report.removed = shortcuts.removed;
  report.changed = shortcuts.preserved;

  remove_launcher_store(root, options, report);
  remove_native_files(root, report);

  if (options.remove_data) {
    std::vector<fs::path> rest;
    for (const auto& entry : fs::directory_iterator(root)) {
      if (entry.path() != lock_path) rest.push_back(entry.path());
    }
    for (const auto& entry : rest) remove_entry(entry, report);
    // Everything inside the data root has gone, changed files included: the user asked for it.
    std::erase_if(report.changed, [&](const fs::path& path) { return !entry_exists(path); });
    report.data_removed = true;
  }
  remove_entry(root / native_setup_lock, report);
  ::unlink(lock_path.c_str());
  installation.reset();
  remove_if_empty(root);
  if (options.remove_data && !entry_exists(root)) report.removed.push_back(root);
  return report;
}

json uninstall_document(const UninstallReport& report) {
  json removed = json::array();
  for (const auto& path : report.removed) removed.push_back(path_utf8(path));
  json changed = json::array();
  for (const auto& path : report.changed) changed.push_back(path_utf8(path));
  return json{{"schema_version", 1},
              {"kind", "uninstall"},
              {"removed", std::move(removed)},
              {"changed", std::move(changed)},
              {"data_removed", report.data_removed}};
}

json repair_installation_shortcuts(const fs::path& data_root, const fs::path& bootstrap) {
  const auto root = maintenance_data_root(data_root);
  const auto entry = bootstrap.empty() ? installed_bootstrap(root) : fs::absolute(bootstrap).lexically_normal();
  json restored = json::array();
  for (const auto& path : restore_owned_native_shortcuts(root, entry)) restored.push_back(path_utf8(path));
  return json{{"schema_version", 1}, {"kind", "shortcut_repair"}, {"restored", std::move(restored)}};
}

}  // namespace trelk
