#include "tuf/trusted.hpp"

#include <exception>
#include <limits>
#include <thread>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "tuf/keys.hpp"

namespace trelk {

namespace {

const json& member(const json& document, std::string_view name) { return document.at(std::string(name)); }

std::uint64_t version_of(const json& document) { return positive_version(document.at("signed").at("version")); }

void in_order(bool ready) { require(ready, "tuf_state", "Trusted metadata was loaded out of order"); }

json parsed(std::string_view bytes, std::uint64_t limit) { return parse_json(bytes, static_cast<std::size_t>(limit)); }

}  // namespace

std::string role_cache(std::string_view role) {
  if (role == "root" || role == "timestamp" || role == "snapshot" || role == "targets")
    return std::string(role) + ".json";
  return "delegated-" + digest(role, "sha256") + ".json";
}

std::string remote_role_name(std::string_view role, const json& reference, bool consistent) {
  const std::string name = std::string(role) + ".json";
  if (!consistent) return name;
  return std::to_string(positive_version(reference.at("version"))) + "." + name;
}

std::string remote_target_name(std::string_view path, const json& description, bool consistent) {
  if (!consistent) return std::string(path);
  const json& hashes = description.at("hashes");
  const std::string prefix = hashes.begin().value().get<std::string>() + ".";
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return prefix + std::string(path);
  return std::string(path.substr(0, slash + 1)) + prefix + std::string(path.substr(slash + 1));
}

namespace {

// Below this a role is hashed before it is parsed: a thread would cost more than it saves.
constexpr std::size_t parallel_hash_bytes = 1 << 20;

// The bytes against their parent's reference: length, then every hash.
void referenced_bytes(std::string_view bytes, const json& reference) {
  if (reference.contains("length"))
    require(bytes.size() == length(reference), "length_mismatch", "Metadata length does not match its parent");
  if (reference.contains("hashes")) {
    const json& hashes = reference.at("hashes");
    require(hashes.is_object() && !hashes.empty(), "invalid_hashes", "Metadata hashes must be a nonempty object");
    for (const auto& [algorithm, expected] : hashes.items())
      require(expected.is_string() && digest(bytes, algorithm) == expected.get_ref<const std::string&>(),
              "hash_mismatch", "Metadata hash does not match its parent");
  }
}

void referenced_version(const json& document, const json& reference, TufTime now) {
  require(version_of(document) == positive_version(reference.at("version")), "version_mismatch",
          "Metadata version does not match its parent");
  unexpired(document, now);
}

}  // namespace

json verified_role(std::string_view bytes, const json& reference, const json& keys, const json& authority,
                   std::string_view type, std::uint64_t limit, TufTime now) {
  referenced_bytes(bytes, reference);
  json document = parsed(bytes, limit);
  shape(document, type);
  verify_threshold(document, keys, authority);
  referenced_version(document, reference, now);
  return document;
}

std::shared_ptr<const TargetsRole> verified_targets(std::string_view bytes, const json& reference, const json& keys,
                                                    const json& authority, std::uint64_t limit, TufTime now) {
  // A large role is hashed on a second thread while it is parsed; a wrong length or hash is still reported
  // before anything the parse found.
  std::exception_ptr unreferenced, unparsed;
  std::thread hashing;
  if (bytes.size() >= parallel_hash_bytes) {
    hashing = std::thread([&] {
      try {
        referenced_bytes(bytes, reference);
      } catch (...) {
        unreferenced = std::current_exception();
      }
    });
  } else {
    referenced_bytes(bytes, reference);
  }
  std::shared_ptr<const TargetsRole> role;
  try {
    role = parse_targets_role(bytes, static_cast<std::size_t>(limit));
  } catch (...) {
    unparsed = std::current_exception();
  }
  if (hashing.joinable()) hashing.join();
  if (unreferenced) std::rethrow_exception(unreferenced);
  if (unparsed) std::rethrow_exception(unparsed);
  shape(role->document, role->targets);
  std::string storage;
  verify_threshold(role->document, keys, authority, signed_text(*role, bytes, storage));
  referenced_version(role->document, reference, now);
  return role;
}

bool delegation_covers(const json& entry, std::string_view path, std::string& path_digest) {
  if (entry.contains("paths")) {
    for (const json& pattern : entry.at("paths"))
      if (path_pattern_matches(pattern.get_ref<const std::string&>(), path)) return true;
    return false;
  }
  if (path_digest.empty()) path_digest = digest(path, "sha256");
  for (const json& prefix : entry.at("path_hash_prefixes")) {
    const auto& text = prefix.get_ref<const std::string&>();
    require(!text.empty() && text.size() <= 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos,
            "invalid_metadata", "Invalid delegation hash prefix");
    if (path_digest.starts_with(text)) return true;
  }
  return false;
}

TrustedMetadataSet::TrustedMetadataSet(std::string_view root, std::uint64_t root_limit)
    : root_(parsed(root, std::min<std::uint64_t>(root_limit, tuf_root_parse_limit))) {
  shape(root_, "root");
  verify_threshold(root_, root_.at("signed").at("keys"), root_.at("signed").at("roles").at("root"));
}

bool TrustedMetadataSet::consistent_snapshot() const {
  const json& body = root_.at("signed");
  return body.contains("consistent_snapshot") && body.at("consistent_snapshot").get<bool>();
}

bool TrustedMetadataSet::rotate_root(std::string_view bytes, std::uint64_t limit) {
  in_order(!begun_);
  const std::uint64_t version = version_of(root_);
  require(version < std::numeric_limits<std::uint64_t>::max(), "invalid_version", "Root version cannot be incremented");
  json next = parsed(bytes, limit);
  shape(next, "root");
  verify_threshold(next, root_.at("signed").at("keys"), root_.at("signed").at("roles").at("root"));
  verify_threshold(next, next.at("signed").at("keys"), next.at("signed").at("roles").at("root"));
  require(version_of(next) == version + 1, "rollback", "Root version is not exactly the next version");
  const bool keys_changed = online_keys(root_) != online_keys(next);
  root_ = std::move(next);
  return keys_changed;
}

void TrustedMetadataSet::begin(TufTime now) {
  in_order(!begun_);
  now_ = now;
  unexpired(root_, now_);
  begun_ = true;
}

bool TrustedMetadataSet::update_timestamp(std::string_view bytes, std::uint64_t limit,
                                          const std::optional<json>& stored,
                                          const std::optional<json>& stored_snapshot) {
  in_order(begun_ && !timestamp_);
  json fresh = parsed(bytes, limit);
  shape(fresh, "timestamp");
  const json& body = root_.at("signed");
  verify_threshold(fresh, body.at("keys"), body.at("roles").at("timestamp"));
  if (stored) {
    shape(*stored, "timestamp");
    const std::uint64_t old_version = version_of(*stored), new_version = version_of(fresh);
    require(new_version >= old_version, "rollback", "Timestamp version went backwards");
    if (new_version == old_version) {
      timestamp_ = *stored;
      return false;
    }
    auto snapshot_version = [](const json& timestamp) {
      return positive_version(timestamp.at("signed").at("meta").at("snapshot.json").at("version"));
    };
    require(snapshot_version(fresh) >= snapshot_version(*stored), "rollback", "Timestamp references an older snapshot");
    unexpired(fresh, now_);
    if (stored_snapshot) shape(*stored_snapshot, "snapshot");
  } else {
    unexpired(fresh, now_);
  }
  timestamp_ = std::move(fresh);
  return true;
}

const json& TrustedMetadataSet::timestamp() const {
  in_order(timestamp_.has_value());
  return *timestamp_;
}

const json& TrustedMetadataSet::update_snapshot(std::string_view bytes, std::uint64_t limit,
                                                const std::optional<json>& previous) {
  in_order(timestamp_.has_value() && !targets_);
  unexpired(*timestamp_, now_);
  const json& body = root_.at("signed");
  json fresh = verified_role(bytes, timestamp_->at("signed").at("meta").at("snapshot.json"), body.at("keys"),
                             body.at("roles").at("snapshot"), "snapshot", limit, now_);
  if (previous) {
    const json& known = previous->at("signed").at("meta");
    const json& listed = fresh.at("signed").at("meta");
    for (const auto& [name, reference] : known.items()) {
      const bool kept = listed.contains(name) &&
                        positive_version(listed.at(name).at("version")) >= positive_version(reference.at("version"));
      require(kept, "rollback", "Snapshot removed or rolled back a known targets role");
    }
  }
  snapshot_ = std::move(fresh);
  return *snapshot_;
}

const json& TrustedMetadataSet::snapshot() const {
  in_order(snapshot_.has_value());
  return *snapshot_;
}

const json& TrustedMetadataSet::snapshot_reference(std::string_view role) const {
  const json& meta = snapshot().at("signed").at("meta");
  const auto found = meta.find(std::string(role));
  require(found != meta.end(), "missing_role", "Delegated role is absent from the authenticated snapshot");
  return *found;
}

const TargetsRole& TrustedMetadataSet::update_targets(std::string_view bytes, std::uint64_t limit) {
  in_order(snapshot_.has_value() && !targets_);
  const json& body = root_.at("signed");
  targets_ = verified_targets(bytes, snapshot_reference("targets.json"), body.at("keys"),
                              body.at("roles").at("targets"), limit, now_);
  return *targets_;
}

const TargetsRole& TrustedMetadataSet::targets() const {
  in_order(targets_ != nullptr);
  return *targets_;
}

const TargetsRole& TrustedMetadataSet::update_delegated(std::string_view name, std::string_view bytes,
                                                        std::uint64_t limit, const TargetsRole& delegator,
                                                        const json& entry) {
  in_order(targets_ != nullptr);
  auto role = verified_targets(bytes, snapshot_reference(std::string(name) + ".json"),
                               member(delegator.document.at("signed"), "delegations").at("keys"), entry, limit, now_);
  // A role verified once in this refresh keeps its document: callers may still be reading it.
  return *delegated_.emplace(std::string(name), std::move(role)).first->second;
}

}  // namespace trelk
