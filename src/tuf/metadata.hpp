#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "core/json.hpp"
#include "tuf/target_table.hpp"

namespace trelk {

// A point in UTC time with microsecond resolution (proleptic Gregorian calendar).
using TufTime = std::chrono::sys_time<std::chrono::microseconds>;

inline constexpr std::size_t tuf_path_limit = 4096;

// The closed shape check every metadata document passes before a signature or field is used.
// type is "root", "timestamp", "snapshot" or "targets" (delegated roles are "targets"). A member the
// JSON library cannot read as the expected type becomes "invalid_metadata"; other errors pass through.
void shape(const json& document, std::string_view type);
// shape of a targets role read into a table: the document's own "targets" object is empty.
void shape(const json& document, const TargetTable& targets);
// The body of shape, without the conversion of JSON library errors.
void shape_body(const json& document, std::string_view type);
// An authority (keyids, threshold) whose key IDs all name members of keys.
void authority_shape(const json& role, const json& keys);
// A nonempty object of "sha256"/"sha512" hexadecimal digests (either case).
void hashes_shape(const json& hashes);
// The description's non-negative integer "length".
std::uint64_t length(const json& description);

// YYYY-MM-DDTHH:MM:SSZ or with a 1-9 digit fraction before the Z; digits past the sixth are ignored.
TufTime parse_tuf_time(std::string_view text);
// Succeeds only if signed.expires is strictly later than now.
void unexpired(const json& document, TufTime now);

// Delegation glob: "*" and "?" never match "/", "[...]" classes ("!" or "^" negates), no escapes.
bool path_pattern_matches(std::string_view pattern, std::string_view path);

}  // namespace trelk
