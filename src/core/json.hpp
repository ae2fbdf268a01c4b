#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace trelk {

// Protocol JSON values: objects iterate in ascending byte order of their keys.
using json = nlohmann::json;

// Strict reader: bounded size (inclusive, bytes), depth <= 64, unique keys, no floats.
json parse_json(std::string_view text, std::size_t limit);
// Deterministic writer for signed and hashed bytes: sorted keys, no white space.
std::string canonical_json(const json& value);
// The string form used by canonical_json: only '"' and '\' are escaped.
std::string quote(std::string_view text);
std::uint64_t positive_version(const json& value);
std::uint64_t size_value(const json& value);
std::string sha256(const json& value);

}  // namespace trelk
