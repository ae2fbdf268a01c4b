#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "tuf/metadata.hpp"
#include "tuf/target_table.hpp"

namespace trelk {

inline constexpr std::size_t tuf_role_name_limit = 4096;
inline constexpr std::uint64_t tuf_root_parse_limit = 4194304;

// The file a role is stored under: "<role>.json" for the top-level roles, "delegated-<sha256 of name>.json"
// for every other name, so a delegated name never reaches the file system.
std::string role_cache(std::string_view role);
// The remote file name of a snapshot-listed role: "<role>.json", or "<version>.<role>.json" when consistent.
std::string remote_role_name(std::string_view role, const json& reference, bool consistent);
// The remote name of a target: with consistent snapshots its first digest and "." go before the last component.
std::string remote_target_name(std::string_view path, const json& description, bool consistent);

// Bytes of one role checked against its parent's reference (length, hashes), its delegator's keys and
// authority, its type, the referenced version and expiry. Returns the document; pure.
json verified_role(std::string_view bytes, const json& reference, const json& keys, const json& authority,
                   std::string_view type, std::uint64_t limit, TufTime now);
// verified_role of a targets role, its targets read into a compact table; the same checks in the same order.
std::shared_ptr<const TargetsRole> verified_targets(std::string_view bytes, const json& reference, const json& keys,
                                                    const json& authority, std::uint64_t limit, TufTime now);
// Whether a delegation entry covers the path (path patterns or hash prefixes of the path's SHA-256).
bool delegation_covers(const json& entry, std::string_view path, std::string& path_digest);

// The verification core of one refresh: bytes in, trusted documents out, no files and no network.
// Loading runs in TUF order (root rotation, then timestamp, snapshot, top-level targets, delegated roles);
// a load out of order is refused. Every expiry test uses the one reference time given to begin().
class TrustedMetadataSet {
 public:
  // The stored root: verified with its own keys and root authority.
  TrustedMetadataSet(std::string_view root, std::uint64_t root_limit);

  const json& root() const { return root_; }
  bool consistent_snapshot() const;

  // The next root version, verified by the trusted root and by itself; true when the timestamp or snapshot
  // keys changed (the stored timestamp and snapshot must then be invalidated).
  bool rotate_root(std::string_view bytes, std::uint64_t limit);
  // Ends root rotation: the trusted root must be unexpired at now, the time of this refresh.
  void begin(TufTime now);

  // A downloaded timestamp against the stored one. Returns false when the stored timestamp stays trusted (same
  // version), true when the new one replaces it.
  bool update_timestamp(std::string_view bytes, std::uint64_t limit, const std::optional<json>& stored,
                        const std::optional<json>& stored_snapshot);
  const json& timestamp() const;

  // The snapshot named by the trusted timestamp; previous is the stored snapshot whose roles must not go back.
  const json& update_snapshot(std::string_view bytes, std::uint64_t limit, const std::optional<json>& previous);
  const json& snapshot() const;
  // The top-level targets named by the trusted snapshot.
  const TargetsRole& update_targets(std::string_view bytes, std::uint64_t limit);
  const TargetsRole& targets() const;
  // A delegated role named by the snapshot, delegated by the entry of delegator (a trusted targets role).
  const TargetsRole& update_delegated(std::string_view name, std::string_view bytes, std::uint64_t limit,
                                      const TargetsRole& delegator, const json& entry);

  // The parent reference of a snapshot-listed role ("missing_role" when the snapshot does not list it).
  const json& snapshot_reference(std::string_view role) const;
  TufTime now() const { return now_; }

 private:
  json root_;
  std::optional<json> timestamp_;
  std::optional<json> snapshot_;
  std::shared_ptr<const TargetsRole> targets_;
  std::map<std::string, std::shared_ptr<const TargetsRole>, std::less<>> delegated_;
  TufTime now_{};
  bool begun_ = false;
};

}  // namespace trelk
