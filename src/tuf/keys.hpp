#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"

namespace trelk {

// Bound on keyval.public and on the hexadecimal text of a signature.
inline constexpr std::size_t max_signing_key_bytes = 16384;

// Lower-case SHA-256 of the canonical form of the whole key object.
std::string key_id(const json& key);

// The 68 bytes an ML-DSA key signs for a message: "tuf", 0x01, then SHA-512 of the message.
std::string ml_dsa_message(std::string_view message);

// Checks a key table (key ID -> key object); throws on the first bad entry.
void verify_keys(const json& keys);

// One signature (hexadecimal) of one key over message. Any bad input or library failure gives false.
bool verify_signature(const json& key, std::string_view message, std::string_view signature);

// Throws unless enough distinct keys authorised by role (keyids, threshold) signed document.signed.
void verify_threshold(const json& document, const json& keys, const json& role);
// The same, for a caller that has the canonical form of document.signed already.
void verify_threshold(const json& document, const json& keys, const json& role, std::string_view signed_text);

// {"timestamp": {...}, "snapshot": {...}}: the keys of those roles in a root document, null for none.
json online_keys(const json& root);

}  // namespace trelk
