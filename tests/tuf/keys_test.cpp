#include "tuf/keys.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/digest.hpp"
#include "sign.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

const std::vector<std::string> all_schemes = {
    "rsassa-pss-sha256",   "rsassa-pss-sha384", "rsassa-pss-sha512", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
    "ecdsa-sha2-nistp521", "ed25519",           "ml-dsa-44/1",       "ml-dsa-65/1",         "ml-dsa-87/1"};

// Key generation (RSA above all) is slow under the sanitizers: one key per scheme and size per binary.
const SigningKey& cached_key(const std::string& scheme, int rsa_bits = 2048) {
  static std::map<std::pair<std::string, int>, SigningKey> cache;
  auto found = cache.find({scheme, rsa_bits});
  if (found == cache.end())
    found = cache.emplace(std::pair{scheme, rsa_bits}, SigningKey::generate(scheme, rsa_bits)).first;
  return found->second;
}

json timestamp_body(std::uint64_t version = 3) {
  return {{"_type", "timestamp"}, {"version", version}, {"expires", "2030-01-01T00:00:00Z"}};
}

json authority(std::vector<std::string> keyids, json threshold) {
  return {{"keyids", std::move(keyids)}, {"threshold", std::move(threshold)}};
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(SignatureSchemes, EverySchemeRoundTripsAndRejectsTampering) {
  const json document = signed_document(timestamp_body(), {});
  const std::string message = canonical_json(document["signed"]);
  for (std::size_t i = 0; i < all_schemes.size(); ++i) {
    SCOPED_TRACE(all_schemes[i]);
    const SigningKey& key = cached_key(all_schemes[i]);
    std::string sig = key.sign(message);
    EXPECT_TRUE(verify_signature(key.key(), message, sig));
    EXPECT_TRUE(verify_signature(key.key(), message, upper(sig)));  // either case of hexadecimal
    EXPECT_FALSE(verify_signature(key.key(), message + " ", sig));
    std::string flipped = sig;
    flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == '0' ? '1' : '0';
    EXPECT_FALSE(verify_signature(key.key(), message, flipped));
    // The signature does not verify under the next scheme's key.
    const SigningKey& other = cached_key(all_schemes[(i + 1) % all_schemes.size()]);
    EXPECT_FALSE(verify_signature(other.key(), message, sig));
  }
}

TEST(SignatureSchemes, KeysThatDoNotFitTheirSchemeNeverVerify) {
  const std::string message = canonical_json(timestamp_body());

  const SigningKey& small_rsa = cached_key("rsassa-pss-sha256", 1024);
  EXPECT_FALSE(verify_signature(small_rsa.key(), message, small_rsa.sign(message)));

  // Keys presented under a scheme they do not fit: a P-384 key as P-256 (signing with SHA-256 as that scheme
  // asks), ML-DSA-65 as ML-DSA-44, RSA as ECDSA, and a scheme name as the keytype.
  const std::vector<std::tuple<std::string, std::string, std::string>> relabels{
      {"ecdsa-sha2-nistp384", "ecdsa", "ecdsa-sha2-nistp256"},
      {"ml-dsa-65/1", "ml-dsa", "ml-dsa-44/1"},
      {"rsassa-pss-sha256", "ecdsa", "ecdsa-sha2-nistp256"},
      {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256"}};
  for (const auto& [scheme, keytype, claimed] : relabels) {
    const SigningKey misfit = cached_key(scheme).relabeled(keytype, claimed);
    EXPECT_FALSE(verify_signature(misfit.key(), message, misfit.sign(message))) << scheme << " as " << claimed;
  }
  // RSA-PSS with a salt other than the digest length.
  for (const char* scheme : {"rsassa-pss-sha256", "rsassa-pss-sha512"}) {
    const SigningKey& rsa = cached_key(scheme);
    EXPECT_FALSE(verify_signature(rsa.key(), message, rsa.sign_bytes(message, 20))) << scheme;
    EXPECT_FALSE(verify_signature(rsa.key(), message, rsa.sign_bytes(message, 0))) << scheme;
  }

  const SigningKey& ed = cached_key("ed25519");
  const std::string ed_sig = ed.sign(message);
  json short_key = ed.key();
  short_key["keyval"]["public"] = short_key["keyval"]["public"].get<std::string>().substr(0, 62);
  EXPECT_FALSE(verify_signature(short_key, message, ed_sig));
  EXPECT_FALSE(verify_signature(ed.key(), message, ed_sig + "0"));   // odd length
  EXPECT_FALSE(verify_signature(ed.key(), message, ed_sig + "00"));  // 65 bytes

  json mistyped = ed.key();
  mistyped["scheme"] = 7;
  EXPECT_FALSE(verify_signature(mistyped, message, ed_sig));
  json garbage_pem = cached_key("ecdsa-sha2-nistp256").key();
  garbage_pem["keyval"]["public"] = "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n";
  EXPECT_FALSE(verify_signature(garbage_pem, message, cached_key("ecdsa-sha2-nistp256").sign(message)));
}

TEST(SignatureSchemes, MlDsaSignsTheFramedDigestNotTheMessage) {
  const std::string message = canonical_json(timestamp_body());
  std::vector<std::uint8_t> hash = unhex(digest(message, "sha512"), 128);
  std::string framing = std::string("tuf\x01", 4) + std::string(hash.begin(), hash.end());
  for (const char* scheme : {"ml-dsa-44/1", "ml-dsa-65/1", "ml-dsa-87/1"}) {
    SCOPED_TRACE(scheme);
    const SigningKey& key = cached_key(scheme);
    EXPECT_TRUE(verify_signature(key.key(), message, key.sign_bytes(framing)));
    EXPECT_FALSE(verify_signature(key.key(), message, key.sign_bytes(message)));
  }
}

TEST(Threshold, CountsDistinctAuthorisedKeysOnly) {
  const SigningKey& a = cached_key("ed25519");
  const SigningKey& b = cached_key("ecdsa-sha2-nistp256");
  const SigningKey& c = cached_key("ml-dsa-44/1");
  std::vector<SigningKey> all{a, b, c};
  const json keys = key_table(all);
  const std::string shortfall = "Metadata does not meet its authorized signature threshold";

  // One key's signature twice counts once.
  json doubled = signed_document(timestamp_body(), std::vector<SigningKey>{a, a});
  EXPECT_TRELK_ERROR(verify_threshold(doubled, keys, authority({a.id(), b.id()}, 2)), "signature_threshold", shortfall);
  doubled["signatures"].push_back(b.signature(doubled));
  EXPECT_NO_THROW(verify_threshold(doubled, keys, authority({a.id(), b.id()}, 2)));

  // A key named twice in keyids is one authorised key.
  EXPECT_TRELK_ERROR(verify_threshold(doubled, keys, authority({a.id(), a.id()}, 2)), "invalid_threshold",
                     "Signing threshold exceeds unique authorized keys");

  // A valid signature of a key in the table but outside keyids does not count.
  json outsider = signed_document(timestamp_body(), std::vector<SigningKey>{a, c});
  EXPECT_TRELK_ERROR(verify_threshold(outsider, keys, authority({a.id(), b.id()}, 2)), "signature_threshold",
                     shortfall);
  // Nor does an authorised ID that the table lacks.
  EXPECT_TRELK_ERROR(verify_threshold(outsider, key_table(std::vector<SigningKey>{a}), authority({a.id(), c.id()}, 2)),
                     "signature_threshold", shortfall);

  // A bad signature is ignored, not reported: the other signatures still decide.
  json mixed = signed_document(timestamp_body(), std::vector<SigningKey>{a, b});
  mixed["signatures"][0]["sig"] = "abc";
  EXPECT_NO_THROW(verify_threshold(mixed, keys, authority({a.id(), b.id()}, 1)));
  EXPECT_TRELK_ERROR(verify_threshold(mixed, keys, authority({a.id(), b.id()}, 2)), "signature_threshold", shortfall);
  // A failing signature ahead of a good one by the same key does not use up that key.
  json retried = signed_document(timestamp_body(), std::vector<SigningKey>{a});
  retried["signatures"].insert(retried["signatures"].begin(), json{{"keyid", a.id()}, {"sig", std::string(128, '0')}});
  EXPECT_NO_THROW(verify_threshold(retried, keys, authority({a.id()}, 1)));

  // A weak key's signature does not count, though the document verifies when enough others remain.
  const SigningKey& weak = cached_key("rsassa-pss-sha256", 1024);
  std::vector<SigningKey> with_weak{weak, a};
  json weak_doc = signed_document(timestamp_body(), with_weak);
  EXPECT_NO_THROW(verify_threshold(weak_doc, key_table(with_weak), authority({weak.id(), a.id()}, 1)));
  EXPECT_TRELK_ERROR(verify_threshold(weak_doc, key_table(with_weak), authority({weak.id(), a.id()}, 2)),
                     "signature_threshold", shortfall);
}

TEST(Threshold, RejectsMalformedAuthoritiesAndKeyTables) {
  const SigningKey& a = cached_key("ed25519");
  std::vector<SigningKey> signers{a};
  const json keys = key_table(signers), document = signed_document(timestamp_body(), signers);
  json bad_keys = keys;
  bad_keys[a.id()]["extra"] = true;
  const std::string invalid = "Invalid signing authority", positive = "Metadata version must be a positive integer";
  struct Case {
    json document, keys, authority;
    std::string code, message;
  };
  const std::vector<Case> cases{
      {document, json::array(), authority({a.id()}, 1), "invalid_metadata", invalid},
      {document, keys, json{{"keyids", a.id()}, {"threshold", 1}}, "invalid_metadata", invalid},
      {document, keys, authority({a.id()}, parse_json("0", 1)), "invalid_version", "Metadata version must be positive"},
      {document, keys, authority({a.id()}, "1"), "invalid_version", positive},
      {document, keys, json{{"keyids", {a.id()}}}, "invalid_version", positive},
      // The key table is checked before any signature.
      {document, bad_keys, authority({a.id()}, 1), "keyid_mismatch",
       "Signing key ID does not identify its canonical key"},
      {json{{"signed", timestamp_body()}}, keys, authority({a.id()}, 1), "signature_threshold",
       "Metadata does not meet its authorized signature threshold"},
  };
  for (const auto& c : cases)
    EXPECT_TRELK_ERROR(verify_threshold(c.document, c.keys, c.authority), c.code, c.message) << c.message;
}

TEST(KeyTable, KeyIdIsTheDigestOfTheCanonicalKey) {
  const std::string id = "95d0cae1d8ce74ee848b4981fc54cd7585941564154d0a07296d51aeb81861de", pub(64, 'a');
  // Members in a different order in the text give the same canonical form and ID.
  json reordered = parse_json(R"({"scheme":"ed25519","keyval":{"public":")" + pub + R"("},"keytype":"ed25519"})", 4096);
  EXPECT_EQ(key_id(reordered), id);
  EXPECT_NO_THROW(verify_keys(json{{id, reordered}}));

  EXPECT_TRELK_ERROR(verify_keys(json{{upper(id), reordered}}), "keyid_mismatch",
                     "Signing key ID does not identify its canonical key");
  // Further members are allowed but are part of the identity.
  json extended = reordered;
  extended["x-note"] = "rotated";
  EXPECT_TRELK_ERROR(verify_keys(json{{id, extended}}), "keyid_mismatch", "");
  EXPECT_NO_THROW(verify_keys(json{{key_id(extended), extended}}));
}

TEST(KeyTable, RejectsBadShapesAndOversizedKeys) {
  EXPECT_TRELK_ERROR(verify_keys(json::array()), "invalid_metadata", "Signing keys must be an object");
  const std::string shape = "Invalid signing key shape";
  json good = cached_key("ecdsa-sha2-nistp256").key();
  for (const char* member : {"keytype", "scheme", "keyval"}) {
    json key = good;
    key.erase(member);
    EXPECT_TRELK_ERROR(verify_keys(json{{key_id(key), key}}), "invalid_metadata", shape);
    key[member] = 1;
    EXPECT_TRELK_ERROR(verify_keys(json{{key_id(key), key}}), "invalid_metadata", shape);
  }

  // An unknown keytype passes the table check; it simply never verifies.
  json unknown = good;
  unknown["keytype"] = "dsa";
  EXPECT_NO_THROW(verify_keys(json{{key_id(unknown), unknown}}));

  json largest = good;
  largest["keyval"]["public"] = std::string(max_signing_key_bytes, 'k');
  EXPECT_NO_THROW(verify_keys(json{{key_id(largest), largest}}));
  largest["keyval"]["public"] = std::string(max_signing_key_bytes + 1, 'k');
  EXPECT_TRELK_ERROR(verify_keys(json{{key_id(largest), largest}}), "size_limit", "Signing key exceeds its size limit");
}

}  // namespace
}  // namespace trelk
