#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "launcher/store.hpp"
#include "native/completeness.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t version_entry_bound = 64;
constexpr std::size_t ancestor_bound = 256;

// Visits the ancestors of image from its parent up to the file-system root.
template <typename Visit>
void walk_ancestors(const fs::path& image, Visit visit) {
  std::size_t count = 0;
  for (auto ancestor = image.parent_path();; ancestor = ancestor.parent_path()) {
    require(++count <= ancestor_bound, "launcher_identity", "Native executable ancestry exceeds its bound");
    visit(ancestor);
    if (ancestor.parent_path() == ancestor) return;
  }
}

}  // namespace

std::optional<json> LauncherStore::selection() const {
  try {
    return load();
  } catch (const json::exception&) {
    return std::nullopt;
  } catch (const Error& error) {
    // A record that is unknown, contradictory or unreadable as JSON leaves the choice to the fallback; storage
    // failures and hostile documents are reported instead.
    if (error.code == "launcher_state" || error.code == "unsupported_schema" || error.code == "invalid_json" ||
        error.code == "size_limit")
      return std::nullopt;
    throw;
  }
}

json LauncherStore::fallback_active() const { return fallback_version().reference; }

LauncherStore::VerifiedVersion LauncherStore::fallback_version() const {
  std::optional<VerifiedVersion> kept;
  fs::file_time_type kept_time;
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(path("versions"))) {
    require(++count <= version_entry_bound, "launcher_state", "Too many launcher versions to choose a fallback");
    std::error_code error;
    if (entry.is_symlink(error) || !entry.is_directory(error)) continue;
    auto name = entry.path().filename().string();
    if (!is_manifest_digest(name)) continue;
    std::optional<VerifiedVersion> version;
    fs::file_time_type time;
    try {
      // The manifest names the build: read once, it is both the identity and its proof.
      auto manifest = stored_manifest(name);
      json reference = {{"manifest_sha256", name}, {"build_id", manifest.snapshot.build_id}};
      check_launcher_reference(reference);
      version = VerifiedVersion{std::move(reference), std::move(manifest)};
      time = fs::last_write_time(entry.path());
    } catch (const std::exception&) {
      continue;  // a damaged or foreign version is never a fallback
    }
    if (!kept || time > kept_time) {
      kept = std::move(version);
      kept_time = time;
    }
  }
  require(kept.has_value(), "launcher_missing", "No installed Trelk version could be started", {"self status"});
  return std::move(*kept);
}

std::optional<ManagedVersion> managed_version(const fs::path& image) {
  std::optional<ManagedVersion> result;
  // The outermost match decides: a version tree may itself contain something shaped like a store.
  walk_ancestors(image, [&](const fs::path& ancestor) {
    auto name = ancestor.filename().string();
    auto versions = ancestor.parent_path();
    if (name.size() != 64 || versions.filename() != "versions" || versions.parent_path().filename() != "launcher")
      return;
    require(is_manifest_digest(name), "launcher_state", "Launcher manifest identity is invalid");
    result = ManagedVersion{normalize_data_root(versions.parent_path().parent_path()), name};
  });
  return result;
}

void reject_staged_image(const fs::path& image) {
  require_maintenance_runtime_image(image);
  require_complete_native_install_image(image);
  walk_ancestors(image, [](const fs::path& ancestor) {
    require(!(ancestor.filename() == "staging" && ancestor.parent_path().filename() == "launcher"), "launcher_staging",
            "A staged Trelk image cannot initialize; start the installed bootstrap", {"self status"});
  });
}

}  // namespace trelk
