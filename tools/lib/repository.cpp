#include "repository.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"

namespace trelk {

namespace {

constexpr const char* metadata_version = "1.0.31";
constexpr std::uint64_t plan_limit = std::uint64_t{1} << 30;
constexpr std::uint64_t document_limit = std::uint64_t{1} << 30;
constexpr std::uint64_t key_limit = 1 << 16;
constexpr std::size_t max_bins = 65536;
const std::vector<std::string> top_roles = {"root", "timestamp", "snapshot", "targets"};
constexpr auto public_mode =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

std::string format_time(std::time_t time) {
  std::tm parts{};
  require(gmtime_r(&time, &parts) != nullptr, "usage", "Expiry time is out of range");
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string default_rule(const std::string& role) {
  if (role == "root") return "+365d";
  if (role == "snapshot") return "+7d";
  if (role == "timestamp") return "+1d";
  return "+90d";
}

bool is_top(const std::string& name) { return std::ranges::find(top_roles, name) != top_roles.end(); }

void validate_role_name(const std::string& name) {
  bool valid = !name.empty() && name.size() <= 128 && std::isalnum(static_cast<unsigned char>(name[0]));
  for (char c : name)
    valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.');
  require(
      valid && !is_top(name) && name != "auto", "usage",
      "Role names are letters, digits, '-', '_' and '.', start with a letter or digit and are not reserved: " + name);
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

// Publishes a staged file at to, replacing what was there in one step; a hard link where possible.
void install_file(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::path temporary = to;
  temporary += '.';
  temporary += random_id() + ".tmp";
  std::error_code error;
  fs::create_hard_link(from, temporary, error);
  if (error) fs::copy_file(from, temporary);
  fs::rename(temporary, to);
}

bool claims(const json& delegation, const std::string& path) {
  if (delegation.contains("paths")) {
    for (const json& pattern : delegation["paths"])
      if (fnmatch(pattern.get_ref<const std::string&>().c_str(), path.c_str(), FNM_PATHNAME) == 0) return true;
    return false;
  }
  const std::string hash = digest(path, "sha256");
  for (const json& prefix : delegation["path_hash_prefixes"])
    if (hash.starts_with(prefix.get_ref<const std::string&>())) return true;
  return false;
}

void check_threshold(std::uint64_t threshold, std::size_t keys) {
  require(threshold >= 1 && threshold <= keys, "usage",
          "Threshold must be between 1 and the number of keys (" + std::to_string(keys) + ")");
}

std::vector<std::string> ids_of(const json& keyids) { return keyids.get<std::vector<std::string>>(); }

}  // namespace

std::string expiry_time(std::string_view time, std::time_t now) {
  const std::string text(time);
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    std::size_t digits = 1;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    require(digits > 1 && digits <= 10 && digits + 1 == text.size(), "usage", "Invalid relative time: " + text);
    const std::int64_t count = std::stoll(text.substr(1, digits - 1));
    std::int64_t unit = 0;
    switch (text.back()) {
      case 'd':
        unit = 86400;
        break;
      case 'h':
        unit = 3600;
        break;
      case 'm':
        unit = 60;
        break;
      case 's':
        unit = 1;
        break;
      default:
        fail("usage", "Relative times end in d, h, m or s: " + text);
    }
    const std::int64_t offset = count * unit;
    return format_time(now + static_cast<std::time_t>(text[0] == '-' ? -offset : offset));
  }
  std::tm parts{};
  int consumed = 0;
  require(text.size() == 20 &&
              std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                          &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) == 6 &&
              consumed == 20,
          "usage", "Times are YYYY-MM-DDTHH:MM:SSZ or +N/-N with d, h, m or s: " + text);
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const std::string normal = format_time(timegm(&parts));
  require(normal == text, "usage", "Not a valid UTC time: " + text);
  return normal;
}

std::vector<std::vector<std::string>> hash_bins(std::size_t count) {
  require(count >= 1 && count <= max_bins, "usage", "Bin count must be between 1 and 65536");
  int width = 1;
  std::size_t total = 16;
  while (total < count) {
    total *= 16;
    ++width;
  }
  std::vector<std::vector<std::string>> bins(count);
  for (std::size_t bin = 0; bin < count; ++bin)
    for (std::size_t prefix = bin * total / count; prefix < (bin + 1) * total / count; ++prefix) {
      static constexpr char digits[] = "0123456789abcdef";
      std::string text(static_cast<std::size_t>(width), '0');
      for (std::size_t value = prefix, at = text.size(); at-- > 0; value /= 16) text[at] = digits[value % 16];
      bins[bin].push_back(text);
    }
  return bins;
}

Repository Repository::create(const fs::path& dir, const RepositorySetup& setup) {
  require(!fs::exists(dir / "plan.json"), "usage", "A repository already exists at " + path_utf8(dir));
  fs::create_directories(dir / "published" / "targets");
  json roles = json::object();
  for (const std::string& name : top_roles) {
    auto rule = setup.expires.find(name);
    roles[name] = {{"keyids", json::array()},
                   {"threshold", 1},
                   {"version", 0},
                   {"expires_rule", rule == setup.expires.end() ? default_rule(name) : rule->second}};
    expiry_time(roles[name]["expires_rule"].get<std::string>(), 0);
  }
  for (const auto& [name, time] : setup.expires) require(is_top(name), "usage", "Unknown role for --expires: " + name);
  roles["targets"]["targets"] = json::object();
  roles["targets"]["delegations"] = json::array();
  Repository repository(dir,
                        {{"consistent_snapshot", setup.consistent_snapshot},
                         {"snapshot_meta", {{"length", setup.snapshot_lengths}, {"hashes", setup.snapshot_hashes}}},
                         {"keys", json::object()},
                         {"roles", std::move(roles)},
                         {"retired", json::array()}});
  const RoleKeys* keys[] = {&setup.root, &setup.timestamp, &setup.snapshot, &setup.targets};
  for (std::size_t i = 0; i < top_roles.size(); ++i) {
    json& record = repository.role(top_roles[i]);
    record["keyids"] = repository.new_keys(*keys[i]);
    record["threshold"] = keys[i]->threshold;
  }
  repository.sign_role("root", repository.root_body(), "", ids_of(repository.role("root")["keyids"]));
  repository.publish();
  return repository;
}

Repository Repository::open(const fs::path& dir) {
  json plan = parse_json(read_file(dir / "plan.json", plan_limit), plan_limit);
  require(plan.is_object() && plan.contains("roles") && plan.contains("keys"), "invalid_plan",
          "Not a repository plan: " + path_utf8(dir / "plan.json"));
  return Repository(dir, std::move(plan));
}

json& Repository::role(const std::string& name) {
  json& roles = plan_["roles"];
  auto found = roles.find(name);
  require(found != roles.end(), "usage", "No such role: " + name);
  return *found;
}

const json& Repository::role(const std::string& name) const { return const_cast<Repository*>(this)->role(name); }

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

json Repository::document(const std::string& name) const {
  const std::string file = name == "root" ? "root.json" : name + ".json";
  role(name);
  return parse_json(read_file(metadata_dir() / file, document_limit), document_limit);
}

std::string Repository::add_target(const std::string& path, const fs::path& file, const std::string& role_name,
                                   const json& custom, bool within_delegation) {
  std::string owner = stage_target(path, file, role_name, custom, within_delegation);
  save();
  return owner;
}

void Repository::add_targets(const std::vector<std::pair<std::string, fs::path>>& entries,
                             const std::string& role_name) {
  for (const auto& [path, file] : entries) stage_target(path, file, role_name, nullptr, true);
  save();
}

std::string Repository::stage_target(const std::string& path, const fs::path& file, const std::string& role_name,
                                     const json& custom, bool within_delegation) {
  validate_relative_path(path, false);
  require(custom.is_null() || custom.is_object(), "usage", "Custom target data must be a JSON object");
  std::string owner = role_name == "auto" ? "targets" : role_name;
  if (role_name == "auto") {
    // Follow the first claiming delegation at each level, as a client's search does.
    for (bool descended = true; descended;) {
      descended = false;
      for (const json& delegation : role(owner)["delegations"])
        if (claims(delegation, path)) {
          owner = delegation["name"].get<std::string>();
          descended = true;
          break;
        }
    }
  }
  require(role(owner).contains("targets"), "usage", "Role " + owner + " does not list targets");
  for (std::string child = owner; within_delegation && role(child).contains("parent");) {
    const std::string parent = role(child)["parent"].get<std::string>();
    for (const json& delegation : role(parent)["delegations"])
      if (delegation["name"] == child)
        require(claims(delegation, path), "usage", "Role " + child + " is not delegated target path " + path);
    child = parent;
  }
  // Hash the staged copy, so the published bytes are the hashed bytes whatever happens to file.
  require(fs::is_regular_file(file), "usage", "Not a regular file: " + path_utf8(file));
  const fs::path staged = dir_ / "staged";
  fs::create_directories(staged);
  const fs::path copy = staged / (random_id() + ".tmp");
  fs::copy_file(file, copy);
  fs::permissions(copy, public_mode);
  const std::string sha256 = digest_file(copy, "sha256");
  json entry = {{"length", fs::file_size(copy)},
                {"hashes", {{"sha256", sha256}, {"sha512", digest_file(copy, "sha512")}}}};
  if (!custom.is_null()) entry["custom"] = custom;
  fs::rename(copy, staged / sha256);
  role(owner)["targets"][path] = std::move(entry);
  return owner;
}

void Repository::remove_target(const std::string& path, const std::string& role_name) {
  json& targets = role(role_name)["targets"];
  require(targets.erase(path) == 1, "usage", "Role " + role_name + " has no target " + path);
  plan_["retired"].push_back(path);
  save();
}

void Repository::check_delegation(const std::string& name, const std::string& from) const {
  validate_role_name(name);
  require(!plan_["roles"].contains(name), "usage", "Role " + name + " exists already");
  require(role(from).contains("delegations"), "usage", "Role " + from + " cannot delegate");
}

void Repository::add_delegation(const std::string& name, const std::string& from,
                                const std::vector<std::string>& keyids, std::uint64_t threshold, json claim,
                                bool terminating, const std::string& expires) {
  claim["name"] = name;
  claim["terminating"] = terminating;
  role(from)["delegations"].push_back(std::move(claim));
  plan_["roles"][name] = {{"keyids", keyids},        {"threshold", threshold},    {"version", 0},
                          {"expires_rule", expires}, {"targets", json::object()}, {"delegations", json::array()},
                          {"parent", from}};
}

void Repository::delegate(const std::string& name, const std::string& from, const DelegationSetup& setup) {
  require(setup.paths.empty() != setup.hash_prefixes.empty(), "usage",
          "A delegation claims either paths or hash prefixes");
  expiry_time(setup.expires, 0);
  json claim;
  if (!setup.paths.empty()) {
    for (const std::string& pattern : setup.paths)
      require(!pattern.empty() && pattern[0] != '/', "usage", "Path patterns are relative: " + pattern);
    claim["paths"] = setup.paths;
  } else {
    for (const std::string& prefix : setup.hash_prefixes)
      require(
          !prefix.empty() && prefix.size() <= 64 && prefix.find_first_not_of("0123456789abcdef") == std::string::npos,
          "usage", "Hash prefixes are lower-case hexadecimal: " + prefix);
    claim["path_hash_prefixes"] = setup.hash_prefixes;
  }
  check_delegation(name, from);
  add_delegation(name, from, new_keys(setup.keys), setup.keys.threshold, std::move(claim), setup.terminating,
                 setup.expires);
  save();
}

std::vector<std::string> Repository::delegate_bins(const std::string& name, const std::string& from, std::size_t count,
                                                   const DelegationSetup& setup) {
  expiry_time(setup.expires, 0);
  const std::vector<std::vector<std::string>> bins = hash_bins(count);
  std::vector<std::string> names;
  for (const std::vector<std::string>& prefixes : bins) {
    names.push_back(name + "-" + prefixes.front() + (prefixes.size() > 1 ? "-" + prefixes.back() : ""));
    check_delegation(names.back(), from);
  }
  const std::vector<std::string> keyids = new_keys(setup.keys);
  for (std::size_t bin = 0; bin < bins.size(); ++bin)
    add_delegation(names[bin], from, keyids, setup.keys.threshold, {{"path_hash_prefixes", bins[bin]}},
                   setup.terminating, setup.expires);
  save();
  return names;
}

json Repository::root_body() const {
  json keys = json::object(), roles = json::object();
  for (const std::string& name : top_roles) {
    const json& record = role(name);
    for (const json& id : record["keyids"]) keys[id.get<std::string>()] = plan_["keys"].at(id.get<std::string>());
    roles[name] = {{"keyids", record["keyids"]}, {"threshold", record["threshold"]}};
  }
  return {{"_type", "root"}, {"consistent_snapshot", plan_["consistent_snapshot"]}, {"keys", keys}, {"roles", roles}};
}

json Repository::targets_body(const std::string& name) const {
  const json& record = role(name);
  json body = {{"_type", "targets"}, {"targets", record["targets"]}};
  if (record["delegations"].empty()) return body;
  json keys = json::object(), roles = json::array();
  for (const json& delegation : record["delegations"]) {
    const json& child = role(delegation["name"].get<std::string>());
    for (const json& id : child["keyids"]) keys[id.get<std::string>()] = plan_["keys"].at(id.get<std::string>());
    json entry = delegation;
    entry["keyids"] = child["keyids"];
    entry["threshold"] = child["threshold"];
    roles.push_back(std::move(entry));
  }
  body["delegations"] = {{"keys", std::move(keys)}, {"roles", std::move(roles)}};
  return body;
}

json Repository::snapshot_body() const {
  json meta = json::object();
  for (const auto& [name, record] : plan_["roles"].items()) {
    if (!record.contains("targets") || record["version"] == 0) continue;
    json entry = {{"version", record["version"]}};
    if (plan_["snapshot_meta"]["length"].get<bool>()) entry["length"] = record["length"];
    if (plan_["snapshot_meta"]["hashes"].get<bool>()) entry["hashes"] = {{"sha256", record["sha256"]}};
    meta[name + ".json"] = std::move(entry);
  }
  return {{"_type", "snapshot"}, {"meta", std::move(meta)}};
}

json Repository::timestamp_body() const {
  const json& snapshot = role("snapshot");
  return {{"_type", "timestamp"},
          {"meta",
           {{"snapshot.json",
             {{"version", snapshot["version"]},
              {"length", snapshot["length"]},
              {"hashes", {{"sha256", snapshot["sha256"]}}}}}}}};
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

void Repository::install_targets(const std::string& name) {
  const fs::path staged = dir_ / "staged";
  for (const auto& [path, entry] : role(name)["targets"].items()) {
    const fs::path source = staged / entry["hashes"]["sha256"].get<std::string>();
    if (!fs::exists(source)) continue;  // published before
    const fs::path plain = safe_join(targets_dir(), path, false);
    if (plan_["consistent_snapshot"].get<bool>())
      for (const auto& [algorithm, hash] : entry["hashes"].items())
        install_file(source, plain.parent_path() / (hash.get<std::string>() + "." + plain.filename().string()));
    install_file(source, plain);
  }
}

std::vector<std::pair<std::string, std::uint64_t>> Repository::publish(
    const std::map<std::string, std::string>& expires) {
  for (const auto& [name, time] : expires) {
    role(name);
    expiry_time(time, 0);
  }
  const auto expiry = [&](const std::string& name) {
    auto found = expires.find(name);
    return found == expires.end() ? std::string() : found->second;
  };
  std::vector<std::pair<std::string, std::uint64_t>> written;
  if (expires.contains("root"))
    written.emplace_back("root", sign_role("root", root_body(), expiry("root"), ids_of(role("root")["keyids"])));

  std::vector<std::pair<std::string, json>> changed;
  for (const auto& [name, record] : plan_["roles"].items()) {
    if (!record.contains("targets")) continue;
    json body = targets_body(name);
    if (expires.contains(name) || digest(canonical_json({{"body", body}, {"keyids", record["keyids"]}}), "sha256") !=
                                      record.value("signed_digest", ""))
      changed.emplace_back(name, std::move(body));
  }
  // Target files go out before the metadata that lists them.
  for (const auto& [name, body] : changed) install_targets(name);
  for (auto& [name, body] : changed)
    written.emplace_back(name, sign_role(name, std::move(body), expiry(name), ids_of(role(name)["keyids"])));

  json snapshot = snapshot_body();
  const json& record = role("snapshot");
  if (expires.contains("snapshot") || digest(canonical_json({{"body", snapshot}, {"keyids", record["keyids"]}}),
                                             "sha256") != record.value("signed_digest", ""))
    written.emplace_back("snapshot",
                         sign_role("snapshot", std::move(snapshot), expiry("snapshot"), ids_of(record["keyids"])));
  written.emplace_back(
      "timestamp", sign_role("timestamp", timestamp_body(), expiry("timestamp"), ids_of(role("timestamp")["keyids"])));

  // Versioned copies stay for clients of older snapshots; plain paths nobody lists any more go.
  for (const json& path : plan_["retired"]) {
    bool listed = false;
    for (const auto& [name, other] : plan_["roles"].items())
      listed = listed || (other.contains("targets") && other["targets"].contains(path.get<std::string>()));
    if (!listed) fs::remove(safe_join(targets_dir(), path.get<std::string>(), false));
  }
  plan_["retired"] = json::array();
  fs::remove_all(dir_ / "staged");
  save();
  return written;
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

void Repository::resign_timestamp(const std::string& expires) {
  if (!expires.empty()) expiry_time(expires, 0);
  sign_role("timestamp", timestamp_body(), expires, ids_of(role("timestamp")["keyids"]));
  save();
}

void Repository::save() const { atomic_file(dir_ / "plan.json", plan_.dump(1) + "\n", true, false, true); }

}  // namespace trelk
