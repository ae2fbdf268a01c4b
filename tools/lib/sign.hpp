#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/json.hpp"

using EVP_PKEY = struct evp_pkey_st;

namespace trelk {

// A private signing key of one scheme with its public key object, for publishing signed metadata.
// Copies share the one library key.
class SigningKey {
 public:
  // scheme: "rsassa-pss-sha256", "ecdsa-sha2-nistp384", "ed25519", "ml-dsa-65/1", ...
  // rsa_bits applies to the RSA schemes only.
  static SigningKey generate(std::string_view scheme, int rsa_bits = 2048);
  // The key of an unencrypted private key PEM (as private_pem writes it), presented under scheme;
  // fails unless the key is of the algorithm (and curve) the scheme names.
  static SigningKey from_private_pem(std::string_view pem, std::string_view scheme);

  // Unencrypted PKCS#8 PEM of the private key: whoever stores it must keep the file private.
  std::string private_pem() const;

  // The same private key presented under another keytype and scheme; signatures then use
  // the digest the new scheme names, so the key object may deliberately not fit its key.
  SigningKey relabeled(std::string keytype, std::string scheme) const;

  const json& key() const { return key_; }
  const std::string& id() const { return id_; }

  // Hexadecimal signature of exactly these bytes with the scheme's digest (none for Ed25519, ML-DSA).
  // RSA-PSS salts as long as the digest unless pss_salt_length (bytes) says otherwise.
  std::string sign_bytes(std::string_view message, int pss_salt_length = -1) const;
  // Hexadecimal signature of a signed message as verifiers expect it (ML-DSA signs its framing).
  std::string sign(std::string_view message) const;
  // {"keyid", "sig"} over the canonical form of document.signed.
  json signature(const json& document) const;

 private:
  SigningKey(std::shared_ptr<EVP_PKEY> key, json key_object);

  std::shared_ptr<EVP_PKEY> private_key_;
  json key_;
  std::string id_;
};

// A key table (key ID -> key object) of the keys.
json key_table(std::span<const SigningKey> keys);
// {"signatures": [...], "signed": signed_part} signed by every key in order.
json signed_document(const json& signed_part, std::span<const SigningKey> keys);

}  // namespace trelk
