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
  // ML-DSA signs a framed digest of the message, not the message itself.
  const std::vector<std::uint8_t> hash = unhex(digest(message, "sha512"), 128);
  const std::string framed = std::string("tuf\x01", 4) + std::string(hash.begin(), hash.end());
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
    if (all_schemes[i].starts_with("ml-dsa")) {
      EXPECT_TRUE(verify_signature(key.key(), message, key.sign_bytes(framed)));
      EXPECT_FALSE(verify_signature(key.key(), message, key.sign_bytes(message)));
    }
  }
}

TEST(SignatureSchemes, KeysThatDoNotFitTheirSchemeNeverVerify) {
  const std::string message = canonical_json(timestamp_body());
  const SigningKey &ed = cached_key("ed25519"), &p256 = cached_key("ecdsa-sha2-nistp256"),
                   &rsa = cached_key("rsassa-pss-sha256"), &small_rsa = cached_key("rsassa-pss-sha256", 1024);
  const std::string ed_sig = ed.sign(message);
  json short_key = ed.key(), mistyped = ed.key(), garbage_pem = p256.key();
  short_key["keyval"]["public"] = short_key["keyval"]["public"].get<std::string>().substr(0, 62);
  mistyped["scheme"] = 7;
  garbage_pem["keyval"]["public"] = "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n";
  std::vector<std::pair<json, std::string>> misfits{
      {small_rsa.key(), small_rsa.sign(message)},
      {rsa.key(), rsa.sign_bytes(message, 20)},  // RSA-PSS with a salt other than the digest length
      {rsa.key(), rsa.sign_bytes(message, 0)},
      {short_key, ed_sig},
      {ed.key(), ed_sig + "0"},   // odd length
      {ed.key(), ed_sig + "00"},  // 65 bytes
      {mistyped, ed_sig},
      {garbage_pem, p256.sign(message)},
  };
  // Keys presented under a scheme they do not fit: a P-384 key as P-256 (signing with SHA-256 as that scheme
  // asks), ML-DSA-65 as ML-DSA-44, RSA as ECDSA, and a scheme name as the keytype.
  for (const auto& [scheme, keytype, claimed] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"ecdsa-sha2-nistp384", "ecdsa", "ecdsa-sha2-nistp256"},
           {"ml-dsa-65/1", "ml-dsa", "ml-dsa-44/1"},
           {"rsassa-pss-sha256", "ecdsa", "ecdsa-sha2-nistp256"},
           {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256"}}) {
    const SigningKey misfit = cached_key(scheme).relabeled(keytype, claimed);
    misfits.emplace_back(misfit.key(), misfit.sign(message));
  }
  for (std::size_t i = 0; i < misfits.size(); ++i)
    EXPECT_FALSE(verify_signature(misfits[i].first, message, misfits[i].second)) << "misfit " << i;
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

TEST(KeyTable, KeyIdIsTheDigestOfTheCanonicalKeyAndEachKeyHasItsShapeAndBound) {
  const std::string id = "95d0cae1d8ce74ee848b4981fc54cd7585941564154d0a07296d51aeb81861de", pub(64, 'a');
  // Members in a different order in the text give the same canonical form and ID.
  const json key = parse_json(R"({"scheme":"ed25519","keyval":{"public":")" + pub + R"("},"keytype":"ed25519"})", 4096);
  EXPECT_EQ(key_id(key), id);
  // Further members are allowed but are part of the identity; an unknown keytype simply never verifies.
  json extended = key, unknown = key, largest = key, oversized = key;
  extended["x-note"] = "rotated";
  unknown["keytype"] = "dsa";
  largest["keyval"]["public"] = std::string(max_signing_key_bytes, 'k');
  oversized["keyval"]["public"] = std::string(max_signing_key_bytes + 1, 'k');
  for (const json& fine : {key, extended, unknown, largest}) EXPECT_NO_THROW(verify_keys(json{{key_id(fine), fine}}));

  const std::string mismatch = "Signing key ID does not identify its canonical key",
                    shape = "Invalid signing key shape";
  const auto without = [&](const char* member) {
    json lacking = key;
    lacking.erase(member);
    return json{{key_id(lacking), lacking}};
  };
  const std::vector<std::tuple<json, std::string, std::string>> refused{
      {json::array(), "invalid_metadata", "Signing keys must be an object"},
      {without("keytype"), "invalid_metadata", shape},
      {without("scheme"), "invalid_metadata", shape},
      {without("keyval"), "invalid_metadata", shape},
      {json{{upper(id), key}}, "keyid_mismatch", mismatch},
      {json{{id, extended}}, "keyid_mismatch", mismatch},
      {json{{key_id(oversized), oversized}}, "size_limit", "Signing key exceeds its size limit"},
  };
  for (const auto& [keys, code, message] : refused) EXPECT_TRELK_ERROR(verify_keys(keys), code, message) << message;
}

}  // namespace
}  // namespace trelk
