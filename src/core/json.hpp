#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace trelk {

// Protocol JSON values: objects iterate in ascending byte order of their keys.
using json = nlohmann::json;

// Strict reader: bounded size (inclusive, bytes), depth <= 64, unique keys, no floats.
json parse_json(std::string_view text, std::size_t limit);
// The members of one object handed out as each is parsed, for a caller that keeps a large object in a form
// of its own: the object at path (member names from the root) stays in the result, empty. fresh is asked for
// each name before its value is read and returns false for a name it was given before ("duplicate_key");
// take receives each whole member. Every other rule of parse_json applies unchanged.
struct JsonMembers {
  std::vector<std::string> path;
  std::function<bool(const std::string& name)> fresh;
  std::function<void(std::string&& name, json&& value)> take;
};
json parse_json(std::string_view text, std::size_t limit, const JsonMembers& members);
// Deterministic writer for signed and hashed bytes: sorted keys, no white space.
std::string canonical_json(const json& value);
// canonical_json appended to out, and its exact length in bytes.
void append_canonical_json(std::string& out, const json& value);
std::size_t canonical_json_size(const json& value);
// The string form used by canonical_json: only '"' and '\' are escaped.
std::string quote(std::string_view text);
std::uint64_t positive_version(const json& value);
std::uint64_t size_value(const json& value);
std::string sha256(const json& value);

}  // namespace trelk
