#include "tuf/keys.hpp"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <optional>
#include <set>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/openssl_handles.hpp"

namespace trelk {

namespace {

using PublicKey = OpenSslKey;
using MemoryBio = OpenSslBio;
using VerifyContext = OpenSslDigestContext;

enum class Family { rsa, ecdsa, ed25519, ml_dsa };

struct Scheme {
  std::string_view keytype;
  std::string_view name;
  Family family;
  const EVP_MD* (*digest)();  // null: the algorithm hashes (or frames) the message itself
  const char* parameter;      // the curve's group name or the ML-DSA parameter set
};

constexpr Scheme schemes[] = {
    {"rsa", "rsassa-pss-sha256", Family::rsa, EVP_sha256, nullptr},
    {"rsa", "rsassa-pss-sha384", Family::rsa, EVP_sha384, nullptr},
    {"rsa", "rsassa-pss-sha512", Family::rsa, EVP_sha512, nullptr},
    {"ecdsa", "ecdsa-sha2-nistp256", Family::ecdsa, EVP_sha256, "prime256v1"},
    {"ecdsa", "ecdsa-sha2-nistp384", Family::ecdsa, EVP_sha384, "secp384r1"},
    {"ecdsa", "ecdsa-sha2-nistp521", Family::ecdsa, EVP_sha512, "secp521r1"},
    {"ed25519", "ed25519", Family::ed25519, nullptr, nullptr},
    {"ml-dsa", "ml-dsa-44/1", Family::ml_dsa, nullptr, "ML-DSA-44"},
    {"ml-dsa", "ml-dsa-65/1", Family::ml_dsa, nullptr, "ML-DSA-65"},
    {"ml-dsa", "ml-dsa-87/1", Family::ml_dsa, nullptr, "ML-DSA-87"},
};

constexpr std::size_t min_rsa_bits = 2048;
constexpr std::size_t ed25519_key_bytes = 32;
constexpr std::size_t ed25519_signature_bytes = 64;
constexpr std::size_t group_buffer = 80;

const Scheme* find_scheme(std::string_view keytype, std::string_view name) {
  for (const Scheme& scheme : schemes)
    if (scheme.keytype == keytype && scheme.name == name) return &scheme;
  return nullptr;
}

// The named member of an object, or null when object is no object or lacks it.
const json* member(const json* object, std::string_view name) {
  if (!object || !object->is_object()) return nullptr;
  auto found = object->find(name);
  return found == object->end() ? nullptr : &*found;
}

const std::string* string_member(const json* object, std::string_view name) {
  const json* value = member(object, name);
  return value && value->is_string() ? value->get_ptr<const std::string*>() : nullptr;
}

PublicKey pem_public_key(const std::string& pem) {
  if (pem.size() > max_signing_key_bytes) return nullptr;
  MemoryBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return PublicKey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

// The parsed key when it is of the kind the scheme names, else null.
PublicKey scheme_key(const Scheme& scheme, const std::string& public_text, std::size_t signature_size) {
  if (scheme.family == Family::ed25519) {
    std::vector<std::uint8_t> raw = unhex(public_text, max_signing_key_bytes);
    if (raw.size() != ed25519_key_bytes || signature_size != ed25519_signature_bytes) return nullptr;
    return PublicKey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
  }
  PublicKey key = pem_public_key(public_text);
  if (!key) return nullptr;
  switch (scheme.family) {
    case Family::rsa:
      if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) < int{min_rsa_bits})
        return nullptr;
      break;
    case Family::ecdsa: {
      char group[group_buffer] = {};
      std::size_t length = 0;
      if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
          EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1 ||
          std::string_view(group, length) != scheme.parameter)
        return nullptr;
      break;
    }
    case Family::ml_dsa:
      if (EVP_PKEY_is_a(key.get(), scheme.parameter) != 1) return nullptr;
      break;
    case Family::ed25519:
      break;
  }
  return key;
}

bool verify_with(const Scheme& scheme, EVP_PKEY* key, std::string_view message,
                 const std::vector<std::uint8_t>& signature) {
  VerifyContext context(EVP_MD_CTX_new());
  if (!context) return false;
  EVP_PKEY_CTX* settings = nullptr;  // owned by the context
  const EVP_MD* md = scheme.digest ? scheme.digest() : nullptr;
  if (EVP_DigestVerifyInit(context.get(), &settings, md, nullptr, key) != 1) return false;
  if (scheme.family == Family::rsa && (EVP_PKEY_CTX_set_rsa_padding(settings, RSA_PKCS1_PSS_PADDING) != 1 ||
                                       EVP_PKEY_CTX_set_rsa_mgf1_md(settings, md) != 1 ||
                                       EVP_PKEY_CTX_set_rsa_pss_saltlen(settings, RSA_PSS_SALTLEN_DIGEST) != 1))
    return false;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

}  // namespace

std::string key_id(const json& key) { return digest(canonical_json(key), "sha256"); }

std::string ml_dsa_message(std::string_view message) {
  std::vector<std::uint8_t> hash = unhex(digest(message, "sha512"), 128);
  std::string framed("tuf\x01", 4);
  framed.append(hash.begin(), hash.end());
  return framed;
}

void verify_keys(const json& keys) {
  require(keys.is_object(), "invalid_metadata", "Signing keys must be an object");
  for (const auto& [id, key] : keys.items()) {
    const json* keyval = member(&key, "keyval");
    const std::string* public_text = string_member(keyval, "public");
    require(string_member(&key, "keytype") && string_member(&key, "scheme") && public_text, "invalid_metadata",
            "Invalid signing key shape");
    require(id == key_id(key), "keyid_mismatch", "Signing key ID does not identify its canonical key");
    require(public_text->size() <= max_signing_key_bytes, "size_limit", "Signing key exceeds its size limit");
  }
}

bool verify_signature(const json& key, std::string_view message, std::string_view signature) {
  try {
    initialize_client_runtime();
    const std::string* keytype = string_member(&key, "keytype");
    const std::string* scheme_name = string_member(&key, "scheme");
    const std::string* public_text = string_member(member(&key, "keyval"), "public");
    if (!keytype || !scheme_name || !public_text) return false;
    std::vector<std::uint8_t> raw_signature = unhex(signature, max_signing_key_bytes);
    const Scheme* scheme = find_scheme(*keytype, *scheme_name);
    if (!scheme) return false;
    std::string framed;
    if (scheme->family == Family::ml_dsa) {
      framed = ml_dsa_message(message);
      message = framed;
    }
    PublicKey public_key = scheme_key(*scheme, *public_text, raw_signature.size());
    return public_key && verify_with(*scheme, public_key.get(), message, raw_signature);
  } catch (const Error&) {
    return false;  // undecodable hexadecimal or a failed hash
  }
}

namespace {

// text: the canonical form of document.signed when the caller has it.
void verify_threshold_over(const json& document, const json& keys, const json& role,
                           std::optional<std::string_view> text) {
  const json* keyids = member(&role, "keyids");
  require(keys.is_object() && keyids && keyids->is_array(), "invalid_metadata", "Invalid signing authority");
  verify_keys(keys);
  const json* threshold_value = member(&role, "threshold");
  std::uint64_t threshold = positive_version(threshold_value ? *threshold_value : json());
  std::set<std::string> authorised;
  for (const json& id : *keyids)
    if (id.is_string()) authorised.insert(id.get<std::string>());
  require(threshold <= authorised.size(), "invalid_threshold", "Signing threshold exceeds unique authorized keys");

  const std::string shortfall = "Metadata does not meet its authorized signature threshold";
  const json* signed_part = member(&document, "signed");
  const json* signatures = member(&document, "signatures");
  require(signed_part && signatures && signatures->is_array(), "signature_threshold", shortfall);
  const std::string built = text ? std::string() : canonical_json(*signed_part);
  const std::string_view message = text ? *text : std::string_view(built);
  std::set<std::string> counted;
  for (const json& element : *signatures) {
    const std::string* id = string_member(&element, "keyid");
    const std::string* sig = string_member(&element, "sig");
    if (!id || !sig || counted.contains(*id) || !authorised.contains(*id)) continue;
    const json* key = member(&keys, *id);
    if (key && verify_signature(*key, message, *sig)) counted.insert(*id);
  }
  require(counted.size() >= threshold, "signature_threshold", shortfall);
}

}  // namespace

void verify_threshold(const json& document, const json& keys, const json& role) {
  verify_threshold_over(document, keys, role, std::nullopt);
}

void verify_threshold(const json& document, const json& keys, const json& role, std::string_view signed_text) {
  verify_threshold_over(document, keys, role, signed_text);
}

json online_keys(const json& root) {
  const json* signed_part = member(&root, "signed");
  const json* roles = member(signed_part, "roles");
  const json* keys = member(signed_part, "keys");
  json result = json::object();
  for (const char* name : {"timestamp", "snapshot"}) {
    json role_keys;  // stays null unless the role lists a key
    const json* keyids = member(member(roles, name), "keyids");
    if (keyids && keyids->is_array()) {
      for (const json& id : *keyids) {
        if (!id.is_string()) continue;
        const json* key = member(keys, id.get_ref<const std::string&>());
        role_keys[id.get_ref<const std::string&>()] = key ? *key : json();
      }
    }
    result[name] = std::move(role_keys);
  }
  return result;
}

}  // namespace trelk
