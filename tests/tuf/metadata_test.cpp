// The pure rules of trusted metadata, no files or network: shapes, times and
// delegation patterns, signature schemes, key tables and thresholds.
#include "tuf/metadata.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/digest.hpp"
#include "sign.hpp"
#include "support/errors.hpp"
#include "tuf/keys.hpp"

namespace trelk {
namespace {

using namespace std::chrono;

json hashes() { return {{"sha256", std::string(64, 'a')}}; }

json envelope(json body) { return {{"signatures", json::array()}, {"signed", std::move(body)}}; }

json common(const std::string& type) {
  return {{"_type", type}, {"spec_version", "1.0.31"}, {"version", 1}, {"expires", "2030-01-01T00:00:00Z"}};
}

// A delegation to "games" with this path selector.
std::string games(const std::string& selector) {
  return R"({"name":"games","keyids":[],"threshold":1,"terminating":false,)" + selector + "}";
}

const std::vector<std::string> all_schemes = {
    "rsassa-pss-sha256",   "rsassa-pss-sha384", "rsassa-pss-sha512", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
    "ecdsa-sha2-nistp521", "ed25519",           "ml-dsa-44/1",       "ml-dsa-65/1",         "ml-dsa-87/1"};

// Key generation (RSA above all) is slow under the sanitizers: one key per
// scheme and size per binary.
const SigningKey& cached_key(const std::string& scheme, int rsa_bits = 2048) {
  static std::map<std::pair<std::string, int>, SigningKey> cache;
  if (!cache.contains({scheme, rsa_bits}))
    cache.emplace(std::pair{scheme, rsa_bits}, SigningKey::generate(scheme, rsa_bits));
  return cache.at({scheme, rsa_bits});
}

json authority(std::vector<std::string> ids, json threshold) { return {{"keyids", ids}, {"threshold", threshold}}; }

TEST(TufTime, AcceptsOnlyUtcIsoTimesToTheMicrosecond) {
  EXPECT_EQ(parse_tuf_time("2024-02-29T00:00:00Z"), TufTime(sys_days(2024y / 2 / 29)));
  EXPECT_EQ(parse_tuf_time("1970-01-01T00:00:01.5Z").time_since_epoch(), microseconds(1500000));
  // Digits past the sixth are ignored, not rounded.
  EXPECT_EQ(parse_tuf_time("1970-01-01T00:00:00.123456789Z").time_since_epoch(), microseconds(123456));

  // Each message with the texts it refuses.
  const std::vector<std::pair<std::string, std::vector<std::string>>> refused{
      {"Invalid UTC calendar time", {"2023-02-29T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T23:59:60Z"}},
      {"Expiry must use a UTC ISO-8601 timestamp",
       {"2024-01-01T00:00:00.Z", "2024-01-01T00:00:00+01:00", "2024-01-01T00:00:00.1234567890Z", "2024-01-01t00:00:00Z",
        "2024-01-01T00:00Z"}},
      {"Timestamp fields must contain decimal digits", {"2024-0a-01T00:00:00Z"}},
      {"Invalid fractional second", {"2024-01-01T00:00:00.1x3Z"}},
  };
  for (const auto& [message, texts] : refused)
    for (const std::string& text : texts) EXPECT_TRELK_ERROR(parse_tuf_time(text), "invalid_expiry", message) << text;
}

TEST(DelegationPatterns, GlobsNeverCrossDirectories) {
  const std::vector<std::tuple<std::string, std::string, bool>> cases{
      {"a/*.txt", "a/b.txt", true},
      {"a/*.txt", "a/b/c.txt", false},
      {"*", "", true},
      {"**", "a", true},
      {"[!a]", "b", true},
      {"[!a]", "a", false},
      {"[!a]", "/", false},
      {"[]]", "]", true},
      {"[abc", "[abc", true},
      {"[a-c]x", "bx", true},
      {"[^a-c]x", "bx", false},
      {"?", "/", false},
      {"?", "x", true},
      {"", "", true},
      {"games/\\*", "games/\\x", true},
      {std::string(4096, '*'), "x", true},
  };
  for (const auto& [pattern, path, expected] : cases)
    EXPECT_EQ(path_pattern_matches(pattern, path), expected) << pattern << " ~ " << path;
  EXPECT_TRELK_ERROR(path_pattern_matches(std::string(4097, '*'), "x"), "size_limit",
                     "Delegation pattern exceeds path limit");
}

TEST(MetadataShape, RefusesEachRuleWithItsOwnMessage) {
  // Each case sets the member at a JSON pointer (null erases it) of a valid
  // document of its type.
  struct Case {
    std::string type, pointer, value, code, message;
  };
  const std::string spec = "A stable TUF 1.x[.y] specification version is required",
                    names = "Delegated role names must be unique and non-top-level",
                    described = "Timestamp must describe only snapshot.json; snapshot must describe targets.json";
  const std::string role = "/signed/delegations/roles/0";
  const std::vector<Case> cases{
      {"targets", "/signatures", "null", "invalid_metadata",
       "Metadata must contain a signed object and signature array"},
      {"targets", "/signatures", R"([{"keyid":"a","sig":"b"},{"keyid":"a","sig":"c"}])", "invalid_metadata",
       "Metadata repeats a signature key ID"},
      {"targets", "/signatures", R"([{"keyid":1,"sig":"b"}])", "invalid_metadata",
       "Signature must contain a key ID and signature string"},
      {"targets", "/signed/_type", R"("snapshot")", "metadata_type", "Unexpected metadata type"},
      {"targets", "/signed/spec_version", R"("2.0")", "unsupported_spec", spec},
      {"targets", "/signed/spec_version", R"("1.01")", "unsupported_spec", spec},
      {"targets", "/signed/spec_version", R"("1.0.0.1")", "unsupported_spec", spec},
      {"targets", "/signed/version", "null", "invalid_metadata",
       "Metadata is missing a required field or has an invalid field type"},
      {"targets", "/signed/targets/a/hashes", "null", "invalid_hashes", "Target has no authenticated hashes"},
      {"targets", "/signed/targets/a/hashes", R"({"md5":"00"})", "unsupported_hash",
       "Only SHA-256 and SHA-512 hashes are supported"},
      {"targets", "/signed/targets/a/hashes/sha256", R"("abc")", "invalid_hashes",
       "Hash has an invalid length or hexadecimal encoding"},
      {"targets", "/signed/targets/a/length", "-1", "invalid_length", "Length must be a nonnegative integer"},
      {"targets", "/signed/targets/a/custom", R"("x")", "invalid_metadata", "Target custom data must be an object"},
      {"targets", role + "/name", R"("targets")", "invalid_metadata", names},
      {"targets", "/signed/delegations/roles/1", games(R"("paths":["games/*"])"), "invalid_metadata", names},
      {"targets", role + "/path_hash_prefixes", R"(["ab"])", "invalid_metadata",
       "Delegation needs exactly one path selector and a terminating boolean"},
      {"targets", role + "/name", '"' + std::string(4097, 'n') + '"', "size_limit",
       "Delegated role name exceeds its bound"},
      {"targets", role, games(R"("path_hash_prefixes":["AB"])"), "invalid_metadata", "Invalid delegation hash prefix"},
      {"targets", role + "/keyids", R"(["missing"])", "invalid_metadata",
       "Role references a key absent from its delegator"},
      {"targets", role + "/threshold", R"("1")", "invalid_version", ""},
      {"timestamp", "/signed/meta/other.json", R"({"version":1})", "invalid_metadata", described},
      {"snapshot", "/signed/meta/targets.json", "null", "invalid_metadata", described},
      {"snapshot", "/signed/meta/games.json", "{}", "invalid_metadata", "Metadata reference must contain a version"},
  };
  // A valid document of the type: a targets role's targets, the one file a
  // timestamp or snapshot must describe.
  const auto valid = [](const std::string& type) {
    json body = common(type);
    body["targets"]["a"] = {{"length", 1}, {"hashes", hashes()}};
    body["delegations"] = {{"keys", json::object()},
                           {"roles", json::array({json::parse(games(R"("paths":["games/*"])"))})}};
    body["meta"][type == "timestamp" ? "snapshot.json" : "targets.json"] = {
        {"version", 1}, {"length", 10}, {"hashes", hashes()}};
    return envelope(body);
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.pointer + " = " + test.value.substr(0, 60));
    json document = valid(test.type);
    const json::json_pointer at(test.pointer);
    document[at] = json::parse(test.value);
    if (document[at].is_null()) document[at.parent_pointer()].erase(at.back());
    EXPECT_TRUE(test::fails_with([&] { shape(document, test.type); }, test.code, test.message));
    if (test.type != "targets") continue;  // the same verdict with the targets read into a compact table
    const auto role = parse_targets_role(document.dump(), 1 << 20);
    EXPECT_TRUE(test::fails_with([&] { shape(role->document, role->targets); }, test.code, test.message));
  }
  for (const char* type : {"timestamp", "snapshot"}) EXPECT_NO_THROW(shape(valid(type), type));
  // Upper-case target digests pass the shape (they never match a computed
  // digest later).
  json upper = valid("targets");
  upper["signed"]["targets"]["a"]["hashes"]["sha256"] = std::string(64, 'A');
  for (const char* version : {"1.0", "1.12"}) {
    upper["signed"]["spec_version"] = version;
    EXPECT_NO_THROW(shape(upper, "targets")) << version;
  }
}

TEST(TargetTable, AnyLayoutGivesBackExactlyTheSignedTextAndDescriptions) {
  const json targets = {
      {"a/compact", {{"hashes", {{"sha256", std::string(64, 'a')}, {"sha512", std::string(128, 'b')}}}, {"length", 1}}},
      {"b/upper", {{"hashes", {{"sha256", std::string(64, 'A')}}}, {"length", 2}}},
      {"c/\"quoted\\", {{"custom", {{"x", 1}}}, {"hashes", {{"sha512", std::string(128, 'c')}}}, {"length", 3}}}};
  json body = common("targets");
  body["targets"] = targets;
  const json document = envelope(body);
  std::string reversed = R"({"signed":{"targets":{)";  // members in reverse order, targets too
  for (auto it = targets.rbegin(); it != targets.rend(); ++it)
    reversed.append(it == targets.rbegin() ? "" : ",").append(quote(it.key())).append(":").append(it.value().dump());
  body.erase("targets");
  reversed.append("},").append(body.dump().substr(1)).append(R"(,"signatures":[]})");
  for (const std::string& text : {canonical_json(document), document.dump(2), reversed}) {
    const auto role = parse_targets_role(text, 1 << 20);
    std::string storage;
    EXPECT_EQ(signed_text(*role, text, storage), canonical_json(document.at("signed")));
    // A canonical document is not copied.
    EXPECT_EQ(storage.empty(), text == canonical_json(document));
    for (const auto& [path, description] : targets.items()) EXPECT_EQ(role->targets.find(path), description);
    EXPECT_FALSE(role->targets.find("a"));
  }
  EXPECT_TRELK_ERROR(parse_targets_role(R"({"signed":{"targets":{"b":{},"a":{},"b":{}}}})", 100), "duplicate_key", "");
}

TEST(SignatureSchemes, EverySchemeRoundTripsAndRejectsTamperingAndKeysThatDoNotFit) {
  const std::string message = canonical_json(common("timestamp"));
  // ML-DSA signs a framed digest of the message, not the message itself.
  const std::vector<std::uint8_t> hash = unhex(digest(message, "sha512"), 128);
  const std::string framed = std::string("tuf\x01", 4) + std::string(hash.begin(), hash.end());
  for (const std::string& scheme : all_schemes) {
    SCOPED_TRACE(scheme);
    const SigningKey& key = cached_key(scheme);
    const bool ml_dsa = scheme.starts_with("ml-dsa");
    std::string sig = ml_dsa ? key.sign_bytes(framed) : key.sign(message);
    EXPECT_TRUE(verify_signature(key.key(), message, sig));
    sig[sig.size() / 2] = sig[sig.size() / 2] == '0' ? '1' : '0';
    EXPECT_FALSE(verify_signature(key.key(), message, sig));
    EXPECT_FALSE(ml_dsa && verify_signature(key.key(), message, key.sign_bytes(message)));
  }

  // Keys that do not fit their scheme never verify.
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
  // Keys presented under a scheme they do not fit: a P-384 key as P-256
  // (signing with SHA-256 as that scheme asks), ML-DSA-65 as ML-DSA-44, RSA as
  // ECDSA, and a scheme name as the keytype.
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

TEST(Threshold, CountsDistinctAuthorisedValidSignaturesOfAWellFormedAuthorityAndKeyTable) {
  const SigningKey &a = cached_key("ed25519"), &b = cached_key("ecdsa-sha2-nistp256"), &c = cached_key("ml-dsa-44/1");
  const json keys = key_table(std::vector<SigningKey>{a, b, c});
  const auto signed_by = [](std::vector<SigningKey> signers) { return signed_document(common("timestamp"), signers); };
  json doubled = signed_by({a, a}), enough = doubled, outsider = signed_by({a, c}), mixed = signed_by({a, b}),
       retried = signed_by({a});
  enough["signatures"].push_back(b.signature(doubled));
  mixed["signatures"][0]["sig"] = "abc";
  retried["signatures"].insert(retried["signatures"].begin(), json{{"keyid", a.id()}, {"sig", std::string(128, '0')}});
  // A key's ID is the digest of its canonical form (its members in any order in the text). Further members are
  // allowed but are part of the identity; an unknown keytype simply never verifies.
  const json key = parse_json(
      R"({"scheme":"ed25519","keyval":{"public":")" + std::string(64, 'a') + R"("},"keytype":"ed25519"})", 4096);
  EXPECT_EQ(key_id(key), "95d0cae1d8ce74ee848b4981fc54cd7585941564154d0a07296d51aeb81861de");
  json extended = key, unknown = key, largest = key, oversized = key, fine = keys;
  extended["x-note"] = "rotated";
  unknown["keytype"] = "dsa";
  largest["keyval"]["public"] = std::string(max_signing_key_bytes, 'k');
  oversized["keyval"]["public"] = std::string(max_signing_key_bytes + 1, 'k');
  for (const json& other : {key, extended, unknown, largest}) fine[key_id(other)] = other;
  for (const char* member : {"keytype", "scheme", "keyval"}) {
    json lacking = key;
    lacking.erase(member);
    EXPECT_TRELK_ERROR(verify_keys(json{{key_id(lacking), lacking}}), "invalid_metadata", "Invalid signing key shape");
  }
  EXPECT_TRELK_ERROR(verify_keys(json{{key_id(oversized), oversized}}), "size_limit",
                     "Signing key exceeds its size limit");
  EXPECT_TRELK_ERROR(verify_keys(json::array()), "invalid_metadata", "Signing keys must be an object");
  const std::string invalid = "Invalid signing authority", positive = "Metadata version must be a positive integer",
                    shortfall = "Metadata does not meet its authorized signature threshold";
  // An empty code: the document verifies.
  struct Case {
    json document, keys, authority;
    std::string code, message;
  };
  const std::vector<Case> cases{
      // One key's signature twice counts once, and a key named twice in keyids
      // is one authorised key.
      {doubled, keys, authority({a.id(), b.id()}, 2), "signature_threshold", shortfall},
      {enough, keys, authority({a.id(), b.id()}, 2), "", ""},
      {enough, keys, authority({a.id(), a.id()}, 2), "invalid_threshold",
       "Signing threshold exceeds unique authorized keys"},
      // A valid signature of a key in the table but outside keyids does not
      // count, nor an ID the table lacks.
      {outsider, keys, authority({a.id(), b.id()}, 2), "signature_threshold", shortfall},
      {outsider, key_table(std::vector<SigningKey>{a}), authority({a.id(), c.id()}, 2), "signature_threshold", ""},
      // A bad signature is ignored, not reported, and does not use up its key.
      {mixed, keys, authority({a.id(), b.id()}, 1), "", ""},
      {mixed, keys, authority({a.id(), b.id()}, 2), "signature_threshold", ""},
      {retried, keys, authority({a.id()}, 1), "", ""},
      {enough, json::array(), authority({a.id()}, 1), "invalid_metadata", invalid},
      {enough, keys, json{{"keyids", a.id()}, {"threshold", 1}}, "invalid_metadata", invalid},
      {enough, keys, authority({a.id()}, parse_json("0", 1)), "invalid_version", "Metadata version must be positive"},
      {enough, keys, authority({a.id()}, "1"), "invalid_version", positive},
      {enough, keys, json{{"keyids", {a.id()}}}, "invalid_version", positive},
      // The key table is checked before any signature.
      {enough, json{{key_id(key), extended}}, authority({a.id()}, 1), "keyid_mismatch",
       "Signing key ID does not identify its canonical key"},
      {json{{"signed", common("timestamp")}}, keys, authority({a.id()}, 1), "signature_threshold", shortfall},
      {enough, fine, authority({a.id(), b.id()}, 2), "", ""},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(&t - cases.data());
    if (t.code.empty())
      EXPECT_NO_THROW(verify_threshold(t.document, t.keys, t.authority));
    else
      EXPECT_TRELK_ERROR(verify_threshold(t.document, t.keys, t.authority), t.code, t.message);
  }
}

}  // namespace
}  // namespace trelk
