// The repository's keys and signing: private keys under keys/ (one PEM file per key ID, never published), new
// keys for roles, root and key rotation, and signing a role's next version into its published files.
#include <cstdio>
#include <ctime>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "files/atomic.hpp"
#include "repository.hpp"
#include "repository_internal.hpp"

namespace trelk {

namespace fs = std::filesystem;
using namespace repository_internal;

namespace {

constexpr const char* metadata_version = "1.0.31";
constexpr std::uint64_t key_limit = 1 << 16;

void check_threshold(std::uint64_t threshold, std::size_t keys) {
  require(threshold >= 1 && threshold <= keys, "usage",
          "Threshold must be between 1 and the number of keys (" + std::to_string(keys) + ")");
}

// Canonical JSON with the control characters of strings (the line breaks of PEM keys) escaped: the canonical
// form leaves them raw, which strict JSON readers, the client's included, refuse. Outside strings there are none.
std::string metadata_text(const json& document) {
  const std::string canonical = canonical_json(document);
  std::string text;
  text.reserve(canonical.size() + canonical.size() / 32);
  for (char c : canonical) {
    if (static_cast<unsigned char>(c) >= 0x20) {
      text.push_back(c);
    } else if (c == '\n') {
      text += "\\n";
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      text += escaped;
    }
  }
  return text;
}

// A file the web server hands out: replaced in one step, readable by everyone.
void write_public(const fs::path& path, std::string_view data) {
  fs::create_directories(path.parent_path());
  atomic_file(path, data, true, false, false);
  fs::permissions(path, public_mode);
}

}  // namespace

const SigningKey& Repository::key(const std::string& id) const {
  auto cached = keys_.find(id);
  if (cached != keys_.end()) return cached->second;
  const json& object = plan_["keys"].at(id);
  SigningKey loaded = SigningKey::from_private_pem(read_file(dir_ / "keys" / (id + ".pem"), key_limit),
                                                   object["scheme"].get<std::string>());
  require(loaded.id() == id, "invalid_key", "Private key file does not match key " + id);
  return keys_.emplace(id, std::move(loaded)).first->second;
}

std::vector<SigningKey> Repository::role_keys(const std::string& name) const {
  std::vector<SigningKey> keys;
  for (const json& id : role(name)["keyids"]) keys.push_back(key(id.get<std::string>()));
  return keys;
}

std::vector<std::string> Repository::new_keys(const RoleKeys& keys) {
  check_threshold(keys.threshold, keys.schemes.size());
  std::vector<std::string> ids;
  for (const std::string& scheme : keys.schemes) {
    SigningKey key = SigningKey::generate(scheme);
    atomic_private_create(dir_ / "keys" / (key.id() + ".pem"), key.private_pem());
    plan_["keys"][key.id()] = key.key();
    ids.push_back(key.id());
    keys_.emplace(key.id(), std::move(key));
  }
  return ids;
}

// Signs body (without version and expiry) as the role's next version and writes its files.
std::uint64_t Repository::sign_role(const std::string& name, json body, const std::string& expires,
                                    const std::vector<std::string>& signers) {
  json& record = role(name);
  record["signed_digest"] = digest(canonical_json({{"body", body}, {"keyids", record["keyids"]}}), "sha256");
  const std::uint64_t version = record["version"].get<std::uint64_t>() + 1;
  body["spec_version"] = metadata_version;
  body["version"] = version;
  body["expires"] =
      expiry_time(expires.empty() ? record["expires_rule"].get<std::string>() : expires, std::time(nullptr));
  std::vector<SigningKey> keys;
  for (const std::string& id : signers) keys.push_back(key(id));
  const std::string text = metadata_text(signed_document(body, keys));
  const std::string versioned = std::to_string(version) + "." + name + ".json";
  if (name == "root") {
    write_public(metadata_dir() / versioned, text);
    write_public(root_file(), text);
  } else if (name == "timestamp") {
    write_public(metadata_dir() / "timestamp.json", text);
  } else {
    if (plan_["consistent_snapshot"].get<bool>()) write_public(metadata_dir() / versioned, text);
    write_public(metadata_dir() / (name + ".json"), text);
  }
  record["version"] = version;
  record["expires"] = body["expires"];
  record["length"] = text.size();
  record["sha256"] = digest(text, "sha256");
  return version;
}

void Repository::rotate_root(const RootRotation& rotation) {
  json& root = role("root");
  const std::vector<std::string> old = ids_of(root["keyids"]);
  RoleKeys keys{rotation.schemes, 1};
  if (keys.schemes.empty())
    for (const std::string& id : old) keys.schemes.push_back(plan_["keys"][id]["scheme"].get<std::string>());
  std::vector<std::string> ids = rotation.keep_old ? old : std::vector<std::string>{};
  for (const std::string& id : new_keys(keys)) ids.push_back(id);
  const std::uint64_t threshold = rotation.threshold ? rotation.threshold : root["threshold"].get<std::uint64_t>();
  check_threshold(threshold, ids.size());
  root["keyids"] = ids;
  root["threshold"] = threshold;
  std::vector<std::string> signers = rotation.signed_by_old ? old : std::vector<std::string>{};
  for (const std::string& id : ids)
    if (std::ranges::find(signers, id) == signers.end()) signers.push_back(id);
  sign_role("root", root_body(), rotation.expires, signers);
  save();
}

void Repository::rotate_key(const std::string& name, const std::vector<std::string>& schemes) {
  require(name == "timestamp" || name == "snapshot" || name == "targets", "usage",
          "rotate-key takes timestamp, snapshot or targets");
  json& record = role(name);
  record["keyids"] = new_keys({schemes, 1});
  record["threshold"] = 1;
  sign_role("root", root_body(), "", ids_of(role("root")["keyids"]));
  save();
  publish();
}

}  // namespace trelk
