#include "sign.hpp"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <vector>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/openssl_handles.hpp"
#include "tuf/keys.hpp"

namespace trelk {

namespace {

using MemoryBio = OpenSslBio;
using SignContext = OpenSslDigestContext;

struct Publishing {
  std::string_view scheme;
  std::string_view keytype;
  const char* algorithm;  // OpenSSL key type
  const char* parameter;  // curve or parameter set for generation
  const EVP_MD* (*digest)();
};

constexpr Publishing publishing[] = {
    {"rsassa-pss-sha256", "rsa", "RSA", nullptr, EVP_sha256},
    {"rsassa-pss-sha384", "rsa", "RSA", nullptr, EVP_sha384},
    {"rsassa-pss-sha512", "rsa", "RSA", nullptr, EVP_sha512},
    {"ecdsa-sha2-nistp256", "ecdsa", "EC", "P-256", EVP_sha256},
    {"ecdsa-sha2-nistp384", "ecdsa", "EC", "P-384", EVP_sha384},
    {"ecdsa-sha2-nistp521", "ecdsa", "EC", "P-521", EVP_sha512},
    {"ed25519", "ed25519", "ED25519", nullptr, nullptr},
    {"ml-dsa-44/1", "ml-dsa", "ML-DSA-44", nullptr, nullptr},
    {"ml-dsa-65/1", "ml-dsa", "ML-DSA-65", nullptr, nullptr},
    {"ml-dsa-87/1", "ml-dsa", "ML-DSA-87", nullptr, nullptr},
};

const Publishing& publishing_scheme(std::string_view scheme) {
  for (const Publishing& entry : publishing)
    if (entry.scheme == scheme) return entry;
  fail("unsupported_scheme", "Unsupported signing scheme: " + std::string(scheme));
}

std::string memory_text(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

bool fits_scheme(EVP_PKEY* key, const Publishing& entry) {
  if (EVP_PKEY_is_a(key, entry.algorithm) != 1) return false;
  if (!entry.parameter) return true;
  char group[80] = {};
  std::size_t length = 0;
  return EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1 &&
         OBJ_sn2nid(group) == EC_curve_nist2nid(entry.parameter);
}

std::string public_text(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "ED25519")) {
    std::uint8_t raw[32];
    std::size_t length = sizeof raw;
    require(EVP_PKEY_get_raw_public_key(key, raw, &length) == 1 && length == sizeof raw, "crypto_failure",
            "Cannot read an Ed25519 public key");
    return hex({raw, length});
  }
  MemoryBio bio(BIO_new(BIO_s_mem()));
  require(bio && PEM_write_bio_PUBKEY(bio.get(), key) == 1, "crypto_failure", "Cannot write a public key");
  return memory_text(bio.get());
}

json key_object(EVP_PKEY* key, const Publishing& entry) {
  return {{"keytype", entry.keytype}, {"scheme", entry.scheme}, {"keyval", {{"public", public_text(key)}}}};
}

}  // namespace

SigningKey::SigningKey(std::shared_ptr<EVP_PKEY> key, json key_object)
    : private_key_(std::move(key)), key_(std::move(key_object)), id_(key_id(key_)) {}

SigningKey SigningKey::generate(std::string_view scheme, int rsa_bits) {
  initialize_client_runtime();
  const Publishing& entry = publishing_scheme(scheme);
  EVP_PKEY* raw = nullptr;
  if (entry.algorithm == std::string_view("RSA"))
    raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(rsa_bits));
  else if (entry.parameter)
    raw = EVP_PKEY_Q_keygen(nullptr, nullptr, entry.algorithm, entry.parameter);
  else
    raw = EVP_PKEY_Q_keygen(nullptr, nullptr, entry.algorithm);
  require(raw != nullptr, "crypto_failure", "Cannot generate a signing key");
  std::shared_ptr<EVP_PKEY> key(raw, EVP_PKEY_free);
  json object = key_object(raw, entry);
  return SigningKey(std::move(key), std::move(object));
}

SigningKey SigningKey::from_private_pem(std::string_view pem, std::string_view scheme) {
  initialize_client_runtime();
  const Publishing& entry = publishing_scheme(scheme);
  MemoryBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  require(bio != nullptr, "crypto_failure", "Cannot read a private key");
  std::shared_ptr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  require(key != nullptr, "invalid_key", "Not an unencrypted private key PEM");
  require(fits_scheme(key.get(), entry), "invalid_key", "Private key does not fit scheme " + std::string(scheme));
  json object = key_object(key.get(), entry);
  return SigningKey(std::move(key), std::move(object));
}

std::string SigningKey::private_pem() const {
  MemoryBio bio(BIO_new(BIO_s_mem()));
  require(bio && PEM_write_bio_PrivateKey(bio.get(), private_key_.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "crypto_failure", "Cannot write a private key");
  return memory_text(bio.get());
}

SigningKey SigningKey::relabeled(std::string keytype, std::string scheme) const {
  json object = key_;
  object["keytype"] = std::move(keytype);
  object["scheme"] = std::move(scheme);
  return SigningKey(private_key_, std::move(object));
}

std::string SigningKey::sign_bytes(std::string_view message, int pss_salt_length) const {
  const Publishing& entry = publishing_scheme(key_["scheme"].get_ref<const std::string&>());
  const EVP_MD* md = entry.digest ? entry.digest() : nullptr;
  SignContext context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* settings = nullptr;  // owned by the context
  require(context && EVP_DigestSignInit(context.get(), &settings, md, nullptr, private_key_.get()) == 1,
          "crypto_failure", "Cannot start signing");
  if (EVP_PKEY_is_a(private_key_.get(), "RSA"))
    require(EVP_PKEY_CTX_set_rsa_padding(settings, RSA_PKCS1_PSS_PADDING) == 1 &&
                EVP_PKEY_CTX_set_rsa_mgf1_md(settings, md) == 1 &&
                EVP_PKEY_CTX_set_rsa_pss_saltlen(settings,
                                                 pss_salt_length < 0 ? RSA_PSS_SALTLEN_DIGEST : pss_salt_length) == 1,
            "crypto_failure", "Cannot set RSA-PSS parameters");
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t length = 0;
  require(EVP_DigestSign(context.get(), nullptr, &length, bytes, message.size()) == 1, "crypto_failure",
          "Cannot size a signature");
  std::vector<std::uint8_t> signature(length);
  require(EVP_DigestSign(context.get(), signature.data(), &length, bytes, message.size()) == 1, "crypto_failure",
          "Cannot sign");
  signature.resize(length);
  return hex(signature);
}

std::string SigningKey::sign(std::string_view message) const {
  if (key_["keytype"] == "ml-dsa") return sign_bytes(ml_dsa_message(message));
  return sign_bytes(message);
}

json SigningKey::signature(const json& document) const {
  return {{"keyid", id_}, {"sig", sign(canonical_json(document.at("signed")))}};
}

json key_table(std::span<const SigningKey> keys) {
  json table = json::object();
  for (const SigningKey& key : keys) table[key.id()] = key.key();
  return table;
}

json signed_document(const json& signed_part, std::span<const SigningKey> keys) {
  json document = {{"signatures", json::array()}, {"signed", signed_part}};
  for (const SigningKey& key : keys) document["signatures"].push_back(key.signature(document));
  return document;
}

}  // namespace trelk
