#include "tuf/client.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "core/progress.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "transport/resume.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t initial_root_limit = 524288;
constexpr const char* invalidation_marker = "root-invalidation.json";
// Entries of the trusted-metadata directory looked at for unfinished writes: the top-level roles and every
// delegated role a lookup may store.
constexpr std::size_t metadata_directory_limit = 65536;

FileLock operation_lock(const fs::path& directory) {
  private_directory(directory);
  return FileLock(directory / ".lock", false, LockMode::exclusive);
}

std::string read_root(const fs::path& directory, std::uint64_t limit) {
  private_directory(directory);
  return read_file(directory / "root.json", limit);
}

bool ok_status(const TransportResponse& response) { return response.status == 200; }

bool current_snapshot(const json& timestamp, const std::optional<json>& snapshot) {
  try {
    return snapshot &&
           snapshot->at("signed").at("version") == timestamp.at("signed").at("meta").at("snapshot.json").at("version");
  } catch (const json::exception&) {
    return false;
  }
}

}  // namespace

TufTime system_tuf_time() {
  return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

void TufClient::initialize(const fs::path& directory, std::string_view root_text) {
  const FileLock lock = operation_lock(directory);
  require(!entry_exists(directory / "root.json"), "already_initialized", "Trusted root is already initialized");
  TrustedMetadataSet self_signed(root_text, initial_root_limit);
  atomic_write(directory / "root.json", root_text);
}

TufClient::TufClient(fs::path directory, Transport& metadata, Transport& targets, TufLimits limits, TufClock clock)
    : directory_(std::move(directory)),
      lock_(operation_lock(directory_)),
      metadata_(metadata),
      targets_(targets),
      limits_(limits),
      clock_(clock ? std::move(clock) : TufClock(system_tuf_time)),
      trusted_(
          std::make_unique<TrustedMetadataSet>(read_root(directory_, limits_.max_root_bytes), limits_.max_root_bytes)) {
  clear_rotated_state();
  remove_unfinished_writes();
}

fs::path TufClient::file(std::string_view role) const { return safe_join(directory_, role_cache(role), true); }

std::optional<json> TufClient::local(std::string_view role) const {
  const fs::path path = file(role);
  if (!entry_exists(path)) return std::nullopt;
  const std::string text = read_file(path, limits_.max_metadata_bytes);
  const std::string malformed =
      "Stored " + std::string(role) + " metadata is malformed; preserve and restore trusted state";
  try {
    return parse_json(text, static_cast<std::size_t>(limits_.max_metadata_bytes));
  } catch (const Error& error) {
    if (error.code == "invalid_json" || error.code == "duplicate_key" || error.code == "depth_limit" ||
        error.code == "invalid_number")
      fail("invalid_trusted_metadata", malformed);
    throw;
  } catch (const json::exception&) {
    fail("invalid_trusted_metadata", malformed);
  }
}

// A stored document that parses but is not metadata of its role is as malformed as one that does not parse.
std::optional<json> TufClient::stored(std::string_view role) const {
  std::optional<json> document = local(role);
  if (!document) return document;
  try {
    shape(*document, role);
  } catch (const Error&) {
    fail("invalid_trusted_metadata",
         "Stored " + std::string(role) + " metadata is malformed; preserve and restore trusted state");
  }
  return document;
}

void TufClient::persist(std::string_view role, std::string_view text) const { atomic_write(file(role), text); }

// A root rotation that changed the online keys, killed (or failed) at any point:
//
// | on disk                                   | next construction                         |
// |-------------------------------------------|-------------------------------------------|
// | marker, old root                          | removes timestamp and snapshot, marker    |
// | marker, new root                          | the same                                  |
// | marker, a removal failed                  | the same; fails again until both are gone |
// | new root, no marker                       | nothing: the invalidation was complete    |
void TufClient::clear_rotated_state() const {
  if (!entry_exists(directory_ / invalidation_marker)) return;
  native_files::remove_or_trash(file("timestamp"), {});
  native_files::remove_or_trash(file("snapshot"), {});
  sync_directory(directory_);
  native_files::remove_or_trash(directory_ / invalidation_marker, {});
  sync_directory(directory_);
}

// A refresh that finds a new timestamp, killed at any point:
//
// | on disk                                    | next client or refresh                                 |
// |--------------------------------------------|--------------------------------------------------------|
// | "<role>.json.<id>.tmp" of a killed write   | removed when the client is constructed                 |
// | old timestamp, snapshot, targets           | the refresh runs again                                 |
// | new timestamp, old snapshot and targets    | the timestamp is unchanged but its snapshot is not on  |
// | new timestamp and targets, old snapshot    | disk: snapshot and targets are loaded and saved        |
// | new timestamp, snapshot and targets        | nothing to finish                                      |
//
// Under the operation lock every "<name>.json.<id>.tmp" here is an atomic write of this client that a kill
// stopped before its rename; the documents themselves are whole.
void TufClient::remove_unfinished_writes() const {
  std::size_t entries = 0;
  std::error_code error;
  bool removed = false;
  for (fs::directory_iterator it(directory_, error), end; !error && it != end; it.increment(error)) {
    require(++entries <= metadata_directory_limit, "size_limit", "Trusted metadata directory exceeds its bound");
    const std::string name = path_utf8(it->path().filename());
    const std::size_t tail = 1 + 32 + 4;  // ".<id>.tmp"
    if (name.size() <= tail + 5 || !name.ends_with(".tmp") || name[name.size() - tail] != '.' ||
        !name.substr(0, name.size() - tail).ends_with(".json") ||
        name.substr(name.size() - tail + 1, 32).find_first_not_of("0123456789abcdef") != std::string::npos ||
        !it->is_regular_file(error) || it->is_symlink(error))
      continue;
    fs::remove(it->path(), error);
    require(!error, "file_remove", "Cannot remove an unfinished trusted-metadata write");
    removed = true;
  }
  require(!error, "file_read", "Cannot scan the trusted-metadata directory");
  if (removed) sync_directory(directory_);
}

void TufClient::refresh() {
  refreshed_ = false;
  selected_loaded_ = false;
  pending_snapshot_.reset();
  const TufTime now = clock_();
  // Every refresh starts again from the root on disk, the only state trusted without a network.
  trusted_ =
      std::make_unique<TrustedMetadataSet>(read_file(file("root"), limits_.max_root_bytes), limits_.max_root_bytes);

  for (std::uint64_t rotation = 0; rotation < limits_.max_root_rotations; ++rotation) {
    const std::uint64_t version = positive_version(trusted_->root().at("signed").at("version"));
    require(version < std::numeric_limits<std::uint64_t>::max(), "invalid_version",
            "Root version cannot be incremented");
    const TransportResponse response =
        metadata_.get(std::to_string(version + 1) + ".root.json", limits_.max_root_bytes);
    if (response.status == 403 || response.status == 404) break;
    require(ok_status(response), "http_status", "Could not download next trusted root");
    auto next = std::make_unique<TrustedMetadataSet>(*trusted_);
    const bool keys_changed = next->rotate_root(response.body, limits_.max_root_bytes);
    if (keys_changed) atomic_write(directory_ / invalidation_marker, json{{"version", version + 1}}.dump());
    persist("root", response.body);
    trusted_ = std::move(next);
    if (keys_changed) clear_rotated_state();
  }
  trusted_->begin(now);

  const TransportResponse response = metadata_.get("timestamp.json", limits_.max_timestamp_bytes);
  require(ok_status(response), "http_status", "Could not download timestamp metadata");
  const std::optional<json> timestamp = stored("timestamp");
  std::optional<json> snapshot;
  if (timestamp) snapshot = stored("snapshot");
  const bool changed = trusted_->update_timestamp(response.body, limits_.max_timestamp_bytes, timestamp, snapshot);
  if (changed) persist("timestamp", response.body);
  // An unchanged timestamp whose snapshot is not the one on disk means a refresh was stopped after saving the
  // timestamp: it is finished now, so no older snapshot or targets stay behind.
  if (changed || !current_snapshot(trusted_->timestamp(), snapshot)) load_selected_metadata();
  refreshed_ = true;
}

void TufClient::load_selected_metadata() {
  // A frozen timestamp ends here: a stored snapshot that fails this check would otherwise be fetched again.
  unexpired(trusted_->timestamp(), trusted_->now());
  const std::optional<json> previous = stored("snapshot");
  load_role("snapshot", trusted_->timestamp().at("signed").at("meta").at("snapshot.json"),
            [&](std::string_view bytes) { trusted_->update_snapshot(bytes, limits_.max_metadata_bytes, previous); });
  // The snapshot is saved after the targets it lists, so a snapshot on disk that matches the timestamp means
  // the targets on disk are current too.
  load_role("targets", trusted_->snapshot_reference("targets.json"),
            [&](std::string_view bytes) { trusted_->update_targets(bytes, limits_.max_metadata_bytes); });
  if (pending_snapshot_) {
    persist("snapshot", *pending_snapshot_);
    pending_snapshot_.reset();
  }
  selected_loaded_ = true;
}

void TufClient::load_role(std::string_view role, const json& reference,
                          const std::function<void(std::string_view)>& accept) {
  require(!role.empty() && role.size() <= tuf_role_name_limit, "size_limit", "Metadata role name exceeds its bound");
  const fs::path cached = file(role);
  if (entry_exists(cached)) {
    try {
      accept(read_file(cached, limits_.max_metadata_bytes));
      return;
    } catch (const Error&) {
      // A stored copy that no longer verifies is ignored (and kept) and the role downloaded again.
    } catch (const json::exception&) {
    }
  }
  std::uint64_t limit = limits_.max_metadata_bytes;
  if (reference.contains("length")) limit = std::min(limit, length(reference));
  const TransportResponse response =
      metadata_.get_component(remote_role_name(role, reference, trusted_->consistent_snapshot()), limit);
  require(ok_status(response), "http_status", "Could not download metadata for role " + std::string(role));
  if (role == "snapshot") {
    accept(response.body);
    pending_snapshot_ = response.body;  // written after the caller's rollback check
    return;
  }
  // The copy is written and synced while the role is verified, and takes its name only once it verified; a
  // role that fails removes it, a kill leaves a ".tmp" that the next client removes.
  std::optional<PendingFile> copy;
  std::exception_ptr copy_failure;
  std::thread writer([&] {
    try {
      copy.emplace(file(role), response.body, true, true);
    } catch (...) {
      copy_failure = std::current_exception();
    }
  });
  try {
    accept(response.body);
  } catch (...) {
    writer.join();
    throw;
  }
  writer.join();
  if (copy_failure) std::rethrow_exception(copy_failure);
  copy->publish(true);
}

json TufClient::target(std::string_view path) {
  validate_relative_path(path, true);
  if (!refreshed_) refresh();
  if (!selected_loaded_) load_selected_metadata();
  std::set<std::string> visited;
  bool terminated = false;
  const std::optional<json> found = visit(path, "targets", trusted_->targets(), visited, terminated);
  require(found.has_value(), "target_not_found", "Target is not authorized by the repository: " + std::string(path));
  length(*found);
  require(found->contains("hashes") && found->at("hashes").is_object() && !found->at("hashes").empty(),
          "invalid_hashes", "Target has no authenticated hashes");
  return *found;
}

std::optional<json> TufClient::visit(std::string_view path, const std::string& role, const TargetsRole& document,
                                     std::set<std::string>& visited, bool& terminated) {
  if (visited.contains(role)) return std::nullopt;  // a delegation cycle is cut here
  const std::string limit = "Repository delegation limit reached";
  require(visited.size() < limits_.max_delegations, "delegation_limit", limit);
  visited.insert(role);
  const json& body = document.document.at("signed");
  if (auto found = document.targets.find(path)) return found;
  if (!body.contains("delegations")) return std::nullopt;
  std::string path_digest;
  for (const json& entry : body.at("delegations").at("roles")) {
    if (!delegation_covers(entry, path, path_digest)) continue;
    require(visited.size() < limits_.max_delegations, "delegation_limit", limit);
    const std::string name = entry.at("name").get<std::string>();
    // A role already on this walk would end at once (a cycle); it is not loaded again.
    if (!visited.contains(name)) {
      const json& reference = trusted_->snapshot_reference(name + ".json");
      const TargetsRole* child = nullptr;
      load_role(name, reference, [&](std::string_view bytes) {
        child = &trusted_->update_delegated(name, bytes, limits_.max_metadata_bytes, document, entry);
      });
      if (auto found = visit(path, name, *child, visited, terminated)) return found;
    }
    if (terminated) return std::nullopt;
    if (entry.at("terminating").get<bool>()) {
      terminated = true;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<json> published_target(TufClient& client, std::string_view path) {
  try {
    return client.target(path);
  } catch (const Error& error) {
    if (error.code == "target_not_found") return std::nullopt;
    throw;
  }
}

Descriptor verify_target_file(const fs::path& file, const json& description, const Progress& progress) {
  Descriptor opened(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  require(opened.valid() && ::fstat(opened.get(), &status) == 0 && S_ISREG(status.st_mode), "unsafe_path",
          "Target is not an ordinary file");
  require(static_cast<std::uint64_t>(status.st_size) == length(description), "length_mismatch",
          "Target length does not match signed metadata");
  require(description.contains("hashes") && description.at("hashes").is_object() && !description.at("hashes").empty(),
          "invalid_hashes", "Target has no authenticated hashes");
  for (const auto& [algorithm, expected] : description.at("hashes").items())
    require(expected.is_string() && digest_descriptor(opened.get(), algorithm, progress) == expected.get<std::string>(),
            "hash_mismatch", "Target hash does not match signed metadata");
  return opened;
}

Descriptor TufClient::download(std::string_view path, const fs::path& destination, const Progress& progress,
                               const TufObserver& observer, const TufDownloadOptions& options) {
  require(options.resume_scope.size() <= resume_scope_limit, "size_limit",
          "Download resume scope exceeds its bounded contract");
  const json description = target(path);
  auto tell = [&](std::string_view event, std::string_view detail) {
    if (observer) observer(event, description, detail);
  };
  const bool resumable = targets_.supports_resumption() && !options.resume_scope.empty();
  if (entry_exists(destination)) {
    Descriptor verified;
    try {
      progress_phase(progress, "check");
      verified = verify_target_file(destination, description, progress);
    } catch (const Error& error) {
      if (error.code == "cancelled") throw;  // anything else is replaced by a fresh download
    }
    if (verified.valid()) {
      if (resumable) {
        try {
          retire_resume_leftovers(
              {.target = path, .destination = destination, .description = description, .scope = options.resume_scope});
        } catch (const Error&) {
          // A complete target is not failed by what its directory holds beside it; the next download says.
        }
      }
      tell("complete", path_utf8(destination));
      return verified;
    }
  }
  const fs::path directory = destination.parent_path();
  private_directory(directory);
  if (options.admission) options.admission(DownloadAdmission{directory});
  // A staging file a killed attempt left behind is ours by its name, and replaced.
  const fs::path staging = safe_join(directory, target_staging_name(path_utf8(destination.filename())), false);
  struct stat left {};
  if (::lstat(staging.c_str(), &left) == 0 && S_ISREG(left.st_mode)) {
    std::error_code ignored;
    fs::remove(staging, ignored);
  }
  require(!entry_exists(staging), "unsafe_path", "Target staging path must be unused");
  const std::string remote = remote_target_name(path, description, trusted_->consistent_snapshot());

  if (resumable) {
    return resumed_target(targets_, {.target = path,
                                     .remote = remote,
                                     .destination = destination,
                                     .description = description,
                                     .scope = options.resume_scope,
                                     .progress = progress,
                                     .observer = tell});
  }
  Descriptor verified;
  try {
    tell("prepared", remote);
    progress_phase(progress, "download");
    targets_.download(remote, staging, length(description), progress);
    progress_phase(progress, "check");
    verified = verify_target_file(staging, description, progress);
    native_files::rename_replace(staging, destination);
  } catch (...) {
    std::error_code ignored;
    fs::remove(staging, ignored);
    throw;
  }
  sync_directory(directory);
  tell("complete", path_utf8(destination));
  return verified;
}

}  // namespace trelk
