// The publisher's plan: roles, keys by ID, targets and delegations as they will be signed next (plan.json),
// and the time and bin arithmetic of its commands. Signing is in repository_keys.cpp, publication in
// repository_publish.cpp.
#include "repository.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "repository_internal.hpp"

namespace trelk {

using namespace repository_internal;

namespace {

constexpr std::uint64_t plan_limit = std::uint64_t{1} << 30;
constexpr std::uint64_t document_limit = std::uint64_t{1} << 30;
constexpr std::size_t max_bins = 65536;

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

void validate_role_name(const std::string& name) {
  bool valid = !name.empty() && name.size() <= 128 && std::isalnum(static_cast<unsigned char>(name[0]));
  for (char c : name)
    valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.');
  require(
      valid && !is_top(name) && name != "auto", "usage",
      "Role names are letters, digits, '-', '_' and '.', start with a letter or digit and are not reserved: " + name);
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

void Repository::save() const { atomic_file(dir_ / "plan.json", plan_.dump(1) + "\n", true, false, true); }

}  // namespace trelk
