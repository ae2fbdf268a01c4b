#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "sign.hpp"

namespace trelk {

// The publisher's side of TUF 1.x metadata. A repository directory holds
//   keys/<keyid>.pem      private keys (0600 files in a 0700 directory), never published;
//   plan.json             the publisher's state: keys (public key objects), roles with their key IDs,
//                         thresholds, expiry rules, current versions, target entries and delegations;
//   staged/               target files added since the last publish;
//   published/metadata/   what clients fetch as metadata: N.root.json for every root ever signed,
//                         root.json (the current root), timestamp.json, <role>.json and, with
//                         consistent snapshots, every <version>.<role>.json ever signed;
//   published/targets/    the target files at their paths and, with consistent snapshots, also
//                         <dir>/<sha256>.<name> and <dir>/<sha512>.<name>.
// Every metadata file is the canonical JSON of {"signatures": [...], "signed": {...}}, with the control
// characters in strings (line breaks of PEM public keys) escaped so that strict JSON readers accept it.

// One role's signers: one new key per listed scheme (repeat a scheme for several keys of it).
struct RoleKeys {
  std::vector<std::string> schemes = {"ed25519"};
  std::uint64_t threshold = 1;
};

struct RepositorySetup {
  RoleKeys root, timestamp, snapshot, targets;
  bool consistent_snapshot = false;
  // Whether snapshot entries carry "length" and "hashes" besides "version".
  bool snapshot_lengths = true;
  bool snapshot_hashes = true;
  // Role -> TIME used at every signing of that role. Defaults: root +365d, targets +90d, snapshot +7d,
  // timestamp +1d.
  std::map<std::string, std::string> expires;
};

struct DelegationSetup {
  RoleKeys keys;
  std::vector<std::string> paths;          // glob patterns ('*' and '?' never match '/'), or
  std::vector<std::string> hash_prefixes;  // lower-case hexadecimal prefixes of SHA-256(target path)
  bool terminating = false;
  std::string expires = "+90d";
};

struct RootRotation {
  std::vector<std::string> schemes;  // the new keys; empty: new keys of the current schemes
  std::uint64_t threshold = 0;       // 0 keeps the current threshold
  bool keep_old = false;             // the current keys stay authorised beside the new ones
  bool signed_by_old = true;         // false gives a root clients must refuse
  std::string expires;               // empty: the root's rule
};

// "YYYY-MM-DDTHH:MM:SSZ" for TIME: that UTC time itself, or now moved by "+Nd", "+Nh", "+Nm", "+Ns"
// (a leading '-' moves into the past).
std::string expiry_time(std::string_view time, std::time_t now);

// Hexadecimal hash prefixes of one width split as evenly as possible into count bins, in order.
std::vector<std::vector<std::string>> hash_bins(std::size_t count);

class Repository {
 public:
  // Makes the keys and plan in dir (which must not hold a plan yet) and publishes version 1 of every role.
  static Repository create(const std::filesystem::path& dir, const RepositorySetup& setup);
  static Repository open(const std::filesystem::path& dir);

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path metadata_dir() const { return dir_ / "published" / "metadata"; }
  std::filesystem::path targets_dir() const { return dir_ / "published" / "targets"; }
  std::filesystem::path root_file() const { return metadata_dir() / "root.json"; }
  const json& plan() const { return plan_; }
  // The currently published document of a role.
  json document(const std::string& role) const;
  // The private keys a role signs with (tests forge documents with them).
  std::vector<SigningKey> role_keys(const std::string& role) const;

  // Stages file as target path of role for the next publish and returns the role. "auto" picks the role
  // a client's search reaches first along delegations that claim path. within_delegation refuses a path
  // some delegation on the way to role does not claim.
  std::string add_target(const std::string& path, const std::filesystem::path& file,
                         const std::string& role = "targets", const json& custom = nullptr,
                         bool within_delegation = true);
  // Many targets at once, with the plan written once (for repositories of tens of thousands of targets).
  void add_targets(const std::vector<std::pair<std::string, std::filesystem::path>>& entries,
                   const std::string& role = "targets");
  void remove_target(const std::string& path, const std::string& role = "targets");
  // A new role delegated from a targets role (top-level or delegated), with new keys.
  void delegate(const std::string& name, const std::string& from, const DelegationSetup& setup);
  // count roles "<name>-<first prefix>[-<last prefix>]" sharing one set of new keys, over hash_bins(count);
  // setup's paths and hash prefixes are ignored. Returns the role names.
  std::vector<std::string> delegate_bins(const std::string& name, const std::string& from, std::size_t count,
                                         const DelegationSetup& setup);

  // Signs a new version of every targets role whose content or keys changed, then of snapshot when what
  // it lists changed, then always of timestamp. expires (role -> TIME) also re-signs those roles, root
  // included, with that expiry once. Returns (role, version) of every document written, in order.
  std::vector<std::pair<std::string, std::uint64_t>> publish(const std::map<std::string, std::string>& expires = {});
  // A new root version with new root keys, signed by the old keys (unless told otherwise) and the new ones.
  void rotate_root(const RootRotation& rotation);
  // A new root version giving role (timestamp, snapshot or targets) one new key per scheme, then a publish.
  void rotate_key(const std::string& role, const std::vector<std::string>& schemes);
  // A new timestamp version over the current snapshot; empty expires uses the timestamp's rule.
  void resign_timestamp(const std::string& expires = "");

 private:
  Repository(std::filesystem::path dir, json plan) : dir_(std::move(dir)), plan_(std::move(plan)) {}

  std::string stage_target(const std::string& path, const std::filesystem::path& file, const std::string& role,
                           const json& custom, bool within_delegation);
  json& role(const std::string& name);
  const json& role(const std::string& name) const;
  const SigningKey& key(const std::string& id) const;
  std::vector<std::string> new_keys(const RoleKeys& keys);
  void check_delegation(const std::string& name, const std::string& from) const;
  void add_delegation(const std::string& name, const std::string& from, const std::vector<std::string>& keyids,
                      std::uint64_t threshold, json claim, bool terminating, const std::string& expires);
  json root_body() const;
  json targets_body(const std::string& name) const;
  json snapshot_body() const;
  json timestamp_body() const;
  std::uint64_t sign_role(const std::string& name, json body, const std::string& expires,
                          const std::vector<std::string>& signers);
  void install_targets(const std::string& name);
  void save() const;

  std::filesystem::path dir_;
  json plan_;
  mutable std::map<std::string, SigningKey> keys_;
};

}  // namespace trelk
