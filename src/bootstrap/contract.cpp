#include "bootstrap/contract.hpp"

#include <set>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "native/completeness.hpp"

namespace trelk {

namespace {

constexpr std::uint64_t kUpdateFileLimit = 4096;
constexpr std::uint64_t kUpdateByteLimit = std::uint64_t{1} << 30;

constexpr std::string_view kLinux = "linux-x86_64";
constexpr std::string_view kWindows = "windows-x86_64";
constexpr std::string_view kMacos = "macos-aarch64";
constexpr std::string_view kWindowsGui = "bin/trelk-bootstrap-gui.exe";
constexpr std::string_view kMacosShortcut = "bin/TrelkShortcut.app/Contents/MacOS/trelk-shortcut";
constexpr std::string_view kMacosInfo = "bin/TrelkShortcut.app/Contents/Info.plist";

// JSON integer 1, signed or unsigned; "1" and true do not count.
bool integer_one(const json& document, const char* member) {
  const auto found = document.find(member);
  return found != document.end() && found->is_number_integer() && *found == 1;
}

std::string stable_entry_point(const std::string& platform) {
  return platform == kWindows ? "bin/trelk-bootstrap.exe" : "bin/trelk-bootstrap";
}

bool holds(const SnapshotManifest& manifest, std::string_view path, bool executable) {
  const auto found = manifest.files.find(std::string(path));
  return found != manifest.files.end() && found->second.executable == executable;
}

// The declared optional entry, or empty when absent; a non-text value yields nullopt.
std::optional<std::string> optional_text(const json& document, const char* member, bool& present) {
  const auto found = document.find(member);
  present = found != document.end();
  if (!present) return std::string();
  if (!found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

void validate_bootstrap_contract(const SnapshotManifest& manifest) {
  const json& document = manifest.document;
  require(document.is_object() && integer_one(document, "schema_version") && integer_one(document, "bootstrap_abi") &&
              document.contains("kind") && document["kind"] == "trelk-bootstrap-release",
          "launcher_incompatible", "Initial bootstrap schema or ABI is unsupported");

  const std::string& platform = manifest.platform;
  require(platform == kLinux || platform == kWindows || platform == kMacos, "launcher_incompatible",
          "Initial bootstrap targets an unsupported platform");

  const std::string entry = stable_entry_point(platform);
  require(manifest.executable == entry && holds(manifest, entry, true), "launcher_incompatible",
          "Initial bootstrap has a missing or incompatible stable entry point");

  std::set<std::string> declared{entry};
  bool present = false;
  const auto gui = optional_text(document, "gui_executable", present);
  if (present) {
    require(platform == kWindows && gui == kWindowsGui && holds(manifest, kWindowsGui, true), "invalid_native_package",
            "Initial bootstrap GUI entry must be its declared Windows windowed executable");
    declared.insert(*gui);
  }
  const auto shortcut = optional_text(document, "shortcut_executable", present);
  if (present) {
    require(platform == kMacos && shortcut == kMacosShortcut && holds(manifest, kMacosShortcut, true) &&
                holds(manifest, kMacosInfo, false),
            "invalid_native_package",
            "macOS bootstrap launch documents need their declared native app helper and metadata");
    declared.insert(*shortcut);
  }

  for (const auto& [path, file] : manifest.files) {
    require(!file.executable || declared.contains(path), "invalid_native_package",
            "Initial bootstrap snapshot contains an undeclared executable helper");
  }
}

void validate_bootstrap_update(const SnapshotManifest& manifest) {
  validate_bootstrap_contract(manifest);
  const json& document = manifest.document;
  require(integer_one(document, "runtime_lease_abi"), "launcher_incompatible",
          "Bootstrap updates require the current native lifetime contract");
  const auto schema = document.find("application_schema");
  require(schema != document.end() && schema->is_object(), "launcher_incompatible",
          "Bootstrap update data contract is missing");
  require(schema->size() == 2 && integer_one(*schema, "minimum") && integer_one(*schema, "maximum"),
          "launcher_incompatible", "Bootstrap update data contract is unsupported");
  require(manifest.platform == native_platform(), "launcher_incompatible", "Bootstrap update targets another platform");
  require(manifest.files.size() <= kUpdateFileLimit && manifest.archive_length <= kUpdateByteLimit &&
              manifest.expanded_length <= kUpdateByteLimit,
          "size_limit", "Bootstrap update exceeds its size limit");
}

std::string bootstrap_manifest_target() { return "bootstrap-" + native_platform() + ".manifest.json"; }

std::optional<fs::path> installed_data_root(const fs::path& image_path) {
  require(image_path.is_absolute() && image_path.native() == image_path.lexically_normal().native(), "unsafe_path",
          "Bootstrap image path must be absolute and normalized");
  const fs::path bin = image_path.parent_path();
  const fs::path image = bin.parent_path();
  const fs::path native = image.parent_path();
  if (bin.filename() != "bin" || image.filename() != "bootstrap" || native.filename() != "native") return std::nullopt;
  require(image_path.filename() == "trelk-bootstrap", "native_install_trust", "Unknown installed bootstrap entry");
  return native.parent_path();
}

std::unique_ptr<NativeFileLock> bootstrap_lifetime(const fs::path& image_path) {
  const auto root = installed_data_root(image_path);
  if (!root) return nullptr;
  require_complete_native_install(*root);
  return std::make_unique<NativeFileLock>(*root / native_bootstrap_lock, true, NativeLockSharing::none,
                                          LockMode::shared);
}

}  // namespace trelk
