#include "tuf/metadata.hpp"

#include <set>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "tuf/keys.hpp"

namespace trelk {

namespace {

constexpr std::size_t spec_version_limit = 32;
constexpr std::size_t role_name_limit = 4096;

bool digit(char c) { return c >= '0' && c <= '9'; }
bool lower_hex(char c) { return digit(c) || (c >= 'a' && c <= 'f'); }
bool any_hex(char c) { return lower_hex(c) || (c >= 'A' && c <= 'F'); }

// A decimal number without a leading zero (unless it is "0"); advances at past it.
bool number(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && digit(text[at])) ++at;
  return at > start && (at - start == 1 || text[start] != '0');
}

// "1." then a number, optionally "." and another number, nothing else.
bool stable_spec_version(std::string_view text) {
  if (text.size() > spec_version_limit || !text.starts_with("1.")) return false;
  std::size_t at = 2;
  if (!number(text, at)) return false;
  if (at == text.size()) return true;
  if (text[at] != '.') return false;
  ++at;
  return number(text, at) && at == text.size();
}

void meta_shape(const json& meta) {
  for (const auto& [name, reference] : meta.items()) {
    require(reference.is_object() && reference.contains("version"), "invalid_metadata",
            "Metadata reference must contain a version");
    positive_version(reference.at("version"));
    if (reference.contains("length")) length(reference);
    if (reference.contains("hashes")) hashes_shape(reference.at("hashes"));
  }
}

void root_shape(const json& body) {
  const json& keys = body.at("keys");
  verify_keys(keys);
  if (body.contains("consistent_snapshot"))
    require(body.at("consistent_snapshot").is_boolean(), "invalid_metadata", "consistent_snapshot must be a boolean");
  const json& roles = body.at("roles");
  require(roles.is_object(), "invalid_metadata", "Root roles must be an object");
  for (const char* role : {"root", "timestamp", "snapshot", "targets"}) authority_shape(roles.at(role), keys);
  if (roles.contains("mirrors")) authority_shape(roles.at("mirrors"), keys);
}

void delegation_shape(const json& delegations) {
  require(delegations.is_object() && delegations.contains("keys") && delegations.at("keys").is_object() &&
              delegations.contains("roles") && delegations.at("roles").is_array(),
          "invalid_metadata", "Invalid delegations");
  const json& keys = delegations.at("keys");
  verify_keys(keys);
  std::set<std::string, std::less<>> names;
  for (const json& entry : delegations.at("roles")) {
    require(entry.is_object() && entry.contains("name") && entry.at("name").is_string(), "invalid_metadata",
            "Delegation must have a role name");
    const auto& name = entry.at("name").get_ref<const std::string&>();
    require(!name.empty() && name.size() <= role_name_limit, "size_limit", "Delegated role name exceeds its bound");
    const bool top_level = name == "root" || name == "snapshot" || name == "timestamp" || name == "targets";
    require(!top_level && names.insert(name).second, "invalid_metadata",
            "Delegated role names must be unique and non-top-level");
    authority_shape(entry, keys);
    const bool paths = entry.contains("paths");
    const bool prefixes = entry.contains("path_hash_prefixes");
    require(paths != prefixes && entry.contains("terminating") && entry.at("terminating").is_boolean(),
            "invalid_metadata", "Delegation needs exactly one path selector and a terminating boolean");
    const json& selector = entry.at(paths ? "paths" : "path_hash_prefixes");
    require(selector.is_array(), "invalid_metadata", "Delegation selector must be an array");
    for (const json& item : selector) {
      require(item.is_string(), "invalid_metadata", "Delegation selector must contain strings");
      const auto& text = item.get_ref<const std::string&>();
      if (paths) {
        require(text.size() <= tuf_path_limit, "size_limit", "Delegation pattern exceeds path limit");
      } else {
        require(!text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), lower_hex),
                "invalid_metadata", "Invalid delegation hash prefix");
      }
    }
  }
}

void target_shape(std::string_view path, const json& description) {
  validate_relative_path(path, true);
  length(description);
  require(description.contains("hashes"), "invalid_hashes", "Target has no authenticated hashes");
  hashes_shape(description.at("hashes"));
  if (description.contains("custom"))
    require(description.at("custom").is_object(), "invalid_metadata", "Target custom data must be an object");
}

// table, when given, holds the members of the document's (then empty) targets object.
void targets_shape(const json& body, const TargetTable* table) {
  const json& targets = body.at("targets");
  require(targets.is_object(), "invalid_metadata", "Targets must be an object");
  for (const auto& [path, description] : targets.items()) target_shape(path, description);
  for (std::size_t i = 0; table && i < table->size(); ++i) {
    if (const json* description = table->kept(i))
      target_shape(table->path(i), *description);
    else
      validate_relative_path(table->path(i), true);  // a compact description has the closed shape
  }
  if (body.contains("delegations")) delegation_shape(body.at("delegations"));
}

// One class "[...]" starting at pattern[start]; end is set past its "]". False when unclosed.
struct CharacterClass {
  std::string_view members;
  bool negated = false;

  bool matches(unsigned char byte) const {
    bool found = false;
    for (std::size_t k = 0; k < members.size();) {
      const auto first = static_cast<unsigned char>(members[k]);
      if (k + 2 < members.size() && members[k + 1] == '-') {
        found = found || (byte >= first && byte <= static_cast<unsigned char>(members[k + 2]));
        k += 3;
      } else {
        found = found || byte == first;
        k += 1;
      }
    }
    return found != negated;
  }
};

bool read_class(std::string_view pattern, std::size_t start, CharacterClass& result, std::size_t& end) {
  // A "]" right after the "[" is a member, so the search for the end starts one further.
  const std::size_t close = pattern.find(']', start + 2);
  if (start + 1 >= pattern.size() || close == std::string_view::npos) return false;
  std::string_view text = pattern.substr(start + 1, close - start - 1);
  result.negated = !text.empty() && (text[0] == '!' || text[0] == '^');
  if (result.negated) text.remove_prefix(1);
  result.members = text;
  end = close + 1;
  return true;
}

}  // namespace

void authority_shape(const json& role, const json& keys) {
  require(role.is_object() && role.contains("keyids") && role.at("keyids").is_array() && role.contains("threshold"),
          "invalid_metadata", "Invalid signing authority");
  positive_version(role.at("threshold"));
  for (const json& id : role.at("keyids"))
    require(id.is_string() && keys.contains(id.get_ref<const std::string&>()), "invalid_metadata",
            "Role references a key absent from its delegator");
}

void hashes_shape(const json& hashes) {
  require(hashes.is_object() && !hashes.empty(), "invalid_hashes", "Hashes must be a nonempty object");
  for (const auto& [name, value] : hashes.items()) {
    require(name == "sha256" || name == "sha512", "unsupported_hash", "Only SHA-256 and SHA-512 hashes are supported");
    require(value.is_string(), "invalid_hashes", "Hash must be a hexadecimal string");
    const auto& text = value.get_ref<const std::string&>();
    require(text.size() == (name == "sha256" ? 64u : 128u) && std::all_of(text.begin(), text.end(), any_hex),
            "invalid_hashes", "Hash has an invalid length or hexadecimal encoding");
  }
}

std::uint64_t length(const json& description) {
  require(description.is_object() && description.contains("length"), "invalid_metadata",
          "File description must contain a length");
  const json& value = description.at("length");
  require(value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0), "invalid_length",
          "Length must be a nonnegative integer");
  return value.get<std::uint64_t>();
}

namespace {

void checked_shape(const json& document, std::string_view type, const TargetTable* table) {
  require(document.is_object() && document.contains("signatures") && document.at("signatures").is_array() &&
              document.contains("signed") && document.at("signed").is_object(),
          "invalid_metadata", "Metadata must contain a signed object and signature array");
  std::set<std::string, std::less<>> key_ids;
  for (const json& signature : document.at("signatures")) {
    require(signature.is_object() && signature.contains("keyid") && signature.at("keyid").is_string() &&
                signature.contains("sig") && signature.at("sig").is_string(),
            "invalid_metadata", "Signature must contain a key ID and signature string");
    require(key_ids.insert(signature.at("keyid").get<std::string>()).second, "invalid_metadata",
            "Metadata repeats a signature key ID");
  }
  const json& body = document.at("signed");
  require(body.at("_type").get<std::string>() == type, "metadata_type", "Unexpected metadata type");
  require(stable_spec_version(body.at("spec_version").get<std::string>()), "unsupported_spec",
          "A stable TUF 1.x[.y] specification version is required");
  positive_version(body.at("version"));
  parse_tuf_time(body.at("expires").get<std::string>());

  if (type == "root") {
    root_shape(body);
  } else if (type == "timestamp" || type == "snapshot") {
    const json& meta = body.at("meta");
    require(meta.is_object(), "invalid_metadata", "Metadata references must be an object");
    const bool described =
        type == "timestamp" ? meta.size() == 1 && meta.contains("snapshot.json") : meta.contains("targets.json");
    require(described, "invalid_metadata",
            "Timestamp must describe only snapshot.json; snapshot must describe targets.json");
    meta_shape(meta);
  } else if (type == "targets") {
    targets_shape(body, table);
  }
}

void converted_shape(const json& document, std::string_view type, const TargetTable* table) {
  try {
    checked_shape(document, type, table);
  } catch (const json::exception&) {
    fail("invalid_metadata", "Metadata is missing a required field or has an invalid field type");
  }
}

}  // namespace

void shape_body(const json& document, std::string_view type) { checked_shape(document, type, nullptr); }

void shape(const json& document, std::string_view type) { converted_shape(document, type, nullptr); }

void shape(const json& document, const TargetTable& targets) { converted_shape(document, "targets", &targets); }

TufTime parse_tuf_time(std::string_view text) {
  const std::string form = "Expiry must use a UTC ISO-8601 timestamp";
  require(text.size() >= 20 && text.size() <= 30 && text[4] == '-' && text[7] == '-' && text[10] == 'T' &&
              text[13] == ':' && text[16] == ':' && text.back() == 'Z',
          "invalid_expiry", form);
  require(text.size() == 20 || (text.size() >= 22 && text[19] == '.'), "invalid_expiry", form);

  auto field = [&](std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
      require(digit(text[i]), "invalid_expiry", "Timestamp fields must contain decimal digits");
      value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    }
    return value;
  };
  const std::uint32_t year = field(0, 4), month = field(5, 2), day = field(8, 2);
  const std::uint32_t hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)), std::chrono::month(month),
                                         std::chrono::day(day)};
  require(date.ok() && hour < 24 && minute < 60 && second < 60, "invalid_expiry", "Invalid UTC calendar time");

  std::int64_t micros = 0;
  if (text.size() > 20) {
    const std::string_view fraction = text.substr(20, text.size() - 21);
    for (std::size_t i = 0; i < fraction.size(); ++i) {
      require(digit(fraction[i]), "invalid_expiry", "Invalid fractional second");
      if (i < 6) micros = micros * 10 + (fraction[i] - '0');
    }
    for (std::size_t i = fraction.size(); i < 6; ++i) micros *= 10;
  }
  using namespace std::chrono;
  return TufTime(sys_days(date).time_since_epoch() + hours(hour) + minutes(minute) + seconds(second) +
                 microseconds(micros));
}

void unexpired(const json& document, TufTime now) {
  const TufTime expires = parse_tuf_time(document.at("signed").at("expires").get<std::string>());
  require(expires > now, "expired_metadata",
          "Repository metadata has expired; previously installed games remain playable");
}

bool path_pattern_matches(std::string_view pattern, std::string_view path) {
  require(pattern.size() <= tuf_path_limit && path.size() <= tuf_path_limit, "size_limit",
          "Delegation pattern exceeds path limit");
  const std::size_t n = path.size();
  std::vector<char> positions(n + 1, 0), next(n + 1, 0);
  positions[0] = 1;
  for (std::size_t at = 0; at < pattern.size();) {
    std::fill(next.begin(), next.end(), 0);
    const char item = pattern[at];
    if (item == '*') {
      next[0] = positions[0];
      for (std::size_t j = 0; j < n; ++j) next[j + 1] = positions[j + 1] || (next[j] && path[j] != '/');
      ++at;
    } else {
      CharacterClass klass;
      std::size_t end = at + 1;
      const bool is_class = item == '[' && read_class(pattern, at, klass, end);
      for (std::size_t j = 0; j < n; ++j) {
        if (!positions[j]) continue;
        const auto byte = static_cast<unsigned char>(path[j]);
        const bool match = is_class ? byte != '/' && klass.matches(byte) : item == '?' ? byte != '/' : path[j] == item;
        if (match) next[j + 1] = 1;
      }
      at = is_class ? end : at + 1;
    }
    positions.swap(next);
  }
  return positions[n] != 0;
}

}  // namespace trelk
