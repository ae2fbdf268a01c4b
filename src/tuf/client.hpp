#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/descriptor.hpp"
#include "files/locks.hpp"
#include "transport/transport.hpp"
#include "tuf/metadata.hpp"
#include "tuf/trusted.hpp"

namespace trelk {

// Bounds of one client's work, chosen by the caller.
struct TufLimits {
  std::uint64_t max_root_bytes = 0;       // stored root and each downloaded root version
  std::uint64_t max_timestamp_bytes = 0;  // the downloaded timestamp
  std::uint64_t max_metadata_bytes = 0;   // stored files, snapshot, targets and delegated roles
  std::uint64_t max_root_rotations = 0;   // root versions fetched in one refresh; 0 turns rotation off
  std::uint64_t max_delegations = 0;      // roles visited in one target lookup
};

// Bounds for a repository of tens of thousands of targets and a thousand delegated roles.
inline constexpr TufLimits default_tuf_limits{1048576, 65536, 16777216, 32, 4096};

// The current time; injectable so that expiry can be tested to the microsecond.
using TufClock = std::function<TufTime()>;
TufTime system_tuf_time();

// Where a target is about to be written, for a caller that admits storage first.
struct DownloadAdmission {
  std::filesystem::path directory;
};

struct TufDownloadOptions {
  std::string resume_scope;  // empty: no resumption
  std::function<void(const DownloadAdmission&)> admission;
};

// Told "prepared" before a transfer and "complete" when the destination holds the verified target.
using TufObserver = std::function<void(std::string_view event, const json& description, std::string_view detail)>;

// The trusted state of one TUF repository in a private metadata directory, brought up to date by
// refresh (root rotation one version at a time, then timestamp, snapshot and top-level targets), and
// the lookups and verified downloads that use it. Holds the directory's ".lock" for its lifetime, so a
// second client on the same directory fails with "busy". One thread uses a client.
class TufClient {
 public:
  // Plants the out-of-band root: a self-signed root, written byte for byte; refuses an existing one.
  static void initialize(const std::filesystem::path& directory, std::string_view root_text);

  TufClient(std::filesystem::path directory, Transport& metadata, Transport& targets, TufLimits limits, TufClock clock);
  TufClient(const TufClient&) = delete;
  TufClient& operator=(const TufClient&) = delete;

  void refresh();
  void load_selected_metadata();
  // The signed description of a target, found by pre-order search of the delegation tree.
  json target(std::string_view path);
  // Fetches a target into destination through a staging file; the destination changes only by one
  // rename of a verified file. Returns the destination opened for reading: the very file whose stored bytes
  // matched every signed hash.
  Descriptor download(std::string_view path, const std::filesystem::path& destination, const Progress& progress,
                      const TufObserver& observer, const TufDownloadOptions& options);

  // The stored document of a role, if any; malformed stored JSON is "invalid_trusted_metadata".
  std::optional<json> local(std::string_view role) const;
  // local, and a document that is not metadata of its role is "invalid_trusted_metadata" too.
  std::optional<json> stored(std::string_view role) const;
  void persist(std::string_view role, std::string_view text) const;
  // Completes an interrupted invalidation after a root rotation that changed the online keys.
  void clear_rotated_state() const;
  void remove_unfinished_writes() const;

  const json& trusted_root() const { return trusted_->root(); }
  const std::filesystem::path& directory() const { return directory_; }

 private:
  // Obtains one snapshot-listed role from the cache or the network; accept checks the bytes and takes
  // them into the trusted set (throwing leaves it unchanged).
  void load_role(std::string_view role, const json& reference, const std::function<void(std::string_view)>& accept);
  std::optional<json> visit(std::string_view path, const std::string& role, const TargetsRole& document,
                            std::set<std::string>& visited, bool& terminated);
  std::filesystem::path file(std::string_view role) const;

  std::filesystem::path directory_;
  FileLock lock_;
  Transport& metadata_;
  Transport& targets_;
  TufLimits limits_;
  TufClock clock_;
  std::unique_ptr<TrustedMetadataSet> trusted_;
  std::optional<std::string> pending_snapshot_;
  bool refreshed_ = false;
  bool selected_loaded_ = false;
};

// The target's description, or nothing when the repository does not authorise the path at all.
std::optional<json> published_target(TufClient& client, std::string_view path);

// Checks a file on disk against a target description: ordinary file, signed length, every signed hash, all
// read through the descriptor it returns.
Descriptor verify_target_file(const std::filesystem::path& file, const json& description, const Progress& progress);

}  // namespace trelk
