// Publication: the bodies of every role from the plan, target files before the metadata that lists them, and
// the order targets roles, snapshot, timestamp.
#include "core/digest.hpp"
#include "core/paths.hpp"
#include "repository.hpp"
#include "repository_internal.hpp"

namespace trelk {

namespace fs = std::filesystem;
using namespace repository_internal;

namespace {

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

}  // namespace

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

void Repository::resign_timestamp(const std::string& expires) {
  if (!expires.empty()) expiry_time(expires, 0);
  sign_role("timestamp", timestamp_body(), expires, ids_of(role("timestamp")["keyids"]));
  save();
}

}  // namespace trelk
