#include "launcher/store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "native/completeness.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr const char* record_format = "trelk-launcher-store-v1";
constexpr const char* malformed_record = "Launcher installation record is malformed; it was preserved";

constexpr const char* store_directories[] = {"versions", "manifests", "downloads",       "download-intents", "staging",
                                             "intents",  "health",    "leases/versions", "leases/attempts"};
constexpr const char* inspected_directories[] = {"manifests", "downloads", "download-intents", "intents"};

bool lower_hex(std::string_view text) {
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

json fresh_record() {
  return {{"schema_version", 1}, {"format", record_format}, {"generation", 0},    {"active", nullptr},
          {"rollback", nullptr}, {"candidate", nullptr},    {"attempt", nullptr}, {"failed_candidate", nullptr}};
}

// An existing store is only read: its directories must be there, plain and ours, not links or stand-ins.
void inspect_directory(const fs::path& directory) {
  struct stat info {};
  bool plain = ::lstat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
  require(plain, "unsafe_path", "Launcher store directory is missing or replaced: " + path_utf8(directory));
}

void validate_record(const json& record) {
  require(record.at("schema_version") == 1 && record.at("schema_version").is_number_integer() &&
              record.at("format") == record_format,
          "unsupported_schema", "Unknown launcher state was preserved");
  positive_version(record.at("generation"));
  check_launcher_reference(record.at("active"));
  check_launcher_reference(record.at("rollback"));
  check_launcher_reference(record.at("candidate"));
  const auto& attempt = record.at("attempt");
  if (!attempt.is_null()) {
    check_launcher_nonce(attempt.at("nonce").get<std::string>());
    const auto& reference = attempt.at("reference");
    check_launcher_reference(reference);
    require(!reference.is_null() && record.at("candidate").is_null(), "launcher_state",
            "Launcher candidate/startup state is contradictory");
  }
  const auto& failed = record.at("failed_candidate");
  if (!failed.is_null()) check_launcher_reference(failed.at("reference"));
}

}  // namespace

fs::path normalize_data_root(const fs::path& root) {
  std::error_code error;
  fs::path resolved = fs::absolute(root, error);
  if (!error) resolved = fs::weakly_canonical(resolved, error);
  require(!error, "file_read", "Cannot resolve the data directory: " + path_utf8(root));
  resolved = resolved.lexically_normal();
  // A trailing separator leaves an empty last element that would read as a trailing "/".
  while (!resolved.has_filename() && resolved != resolved.root_path()) resolved = resolved.parent_path();
  auto relative = path_utf8(resolved.relative_path());
  if (relative.empty()) return resolved.root_path();
  return safe_join(resolved.root_path(), relative, false);
}

bool is_manifest_digest(std::string_view text) { return text.size() == 64 && lower_hex(text); }

void check_launcher_nonce(std::string_view nonce) {
  require(nonce.size() == 32 && lower_hex(nonce), "launcher_state", "Launcher startup identity is invalid");
}

void check_launcher_reference(const json& reference) {
  if (reference.is_null()) return;
  try {
    require(is_manifest_digest(reference.at("manifest_sha256").get<std::string>()), "launcher_state",
            "Launcher manifest identity is invalid");
    validate_identifier(reference.at("build_id").get<std::string>());
  } catch (const json::exception&) {
    fail("launcher_state", malformed_record);
  }
}

LauncherStore::LauncherStore(const fs::path& root) : LauncherStore(root, false) {}

LauncherStore::LauncherStore(const fs::path& root, bool skip_install_check)
    : root_(normalize_data_root(root)), launcher_(safe_join(root_, "launcher", true)) {
  if (!skip_install_check) require_complete_native_install(root_);
  private_directory(launcher_);
  for (const char* name : store_directories) private_directory(path(name));
  load();
}

LauncherStore::LauncherStore(const fs::path& root, ExistingStore)
    : root_(normalize_data_root(root)), launcher_(safe_join(root_, "launcher", true)) {
  require_complete_native_install(root_);
  inspect_directory(launcher_);
  for (const char* name : inspected_directories) inspect_directory(path(name));
  load();
}

LauncherStore::LauncherStore(const fs::path& root, LaunchView)
    : root_(normalize_data_root(root)), launcher_(safe_join(root_, "launcher", true)) {
  require_complete_native_install(root_);
}

std::unique_ptr<LauncherStore> LauncherStore::existing(const fs::path& root) {
  return std::make_unique<LauncherStore>(root, ExistingStore{});
}

std::unique_ptr<LauncherStore> LauncherStore::for_launch(const fs::path& root) {
  return std::make_unique<LauncherStore>(root, LaunchView{});
}

fs::path LauncherStore::path(std::string_view relative) const { return safe_join(launcher_, relative, true); }

json LauncherStore::load() const {
  auto file = path("installation.json");
  std::error_code error;
  if (fs::symlink_status(file, error).type() == fs::file_type::not_found) return fresh_record();
  require(!error, "file_read", "Cannot read the launcher store document");
  auto record = parse_json(read_file(file, launcher_record_limit), launcher_record_limit);
  try {
    validate_record(record);
  } catch (const json::exception&) {
    fail("launcher_state", malformed_record);
  }
  return record;
}

void LauncherStore::save(json record) const {
  std::uint64_t generation = 0;
  std::string text;
  try {
    const auto& stored = record.at("generation");
    require(stored.is_number_unsigned() || (stored.is_number_integer() && stored.get<std::int64_t>() >= 0),
            "launcher_state", malformed_record);
    generation = stored.get<std::uint64_t>();
    require(generation < UINT64_MAX, "launcher_state", "Launcher state generation is exhausted");
    record["generation"] = generation + 1;
    text = record.dump();
  } catch (const json::exception&) {
    fail("launcher_state", malformed_record);
  }
  require(text.size() <= launcher_record_limit, "size_limit", "Launcher state exceeds its durable bound");
  atomic_write(path("installation.json"), text);
}

json LauncherStore::status() const {
  auto record = load();
  record["installed"] = !record["active"].is_null();
  return record;
}

std::unique_ptr<FileLock> LauncherStore::owner() const {
  using clock = std::chrono::steady_clock;
  auto lock_path = path("bootstrap.lock");
  auto first = clock::now();
  while (true) {
    try {
      return std::make_unique<FileLock>(lock_path, false, LockMode::exclusive);
    } catch (const Error& error) {
      // Writers hold the lock only around one record change, so a short retry outlasts them.
      if (error.code != "busy" || clock::now() - first >= std::chrono::seconds(2)) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

LauncherManifest LauncherStore::stored_manifest(const std::string& sha) const {
  auto bytes = read_file(path("manifests/" + sha + ".json"), launcher_manifest_limit);
  require(digest(bytes, "sha256") == sha, "content_mismatch", "Stored launcher manifest changed");
  auto result = LauncherManifest::parse(parse_json(bytes, launcher_manifest_limit));
  require(result.snapshot.platform == native_platform(), "launcher_state",
          "Launcher identity/platform differs from its local reference");
  return result;
}

LauncherManifest LauncherStore::manifest(const json& reference) const {
  check_launcher_reference(reference);
  require(!reference.is_null(), "launcher_missing", "Install a verified launcher first");
  auto result = stored_manifest(reference["manifest_sha256"].get<std::string>());
  require(result.snapshot.build_id == reference["build_id"].get<std::string>(), "launcher_state",
          "Launcher identity/platform differs from its local reference");
  return result;
}

fs::path LauncherStore::payload(const json& reference) const {
  check_launcher_reference(reference);
  require(!reference.is_null(), "launcher_missing", "No working launcher is installed");
  return path("versions/" + reference["manifest_sha256"].get<std::string>());
}

}  // namespace trelk
