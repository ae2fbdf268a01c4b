// Shapes, times and delegation patterns of trusted metadata: pure rules, no files or network.
#include "tuf/metadata.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "support/errors.hpp"

namespace trelk {
namespace {

using namespace std::chrono;

json hashes() { return {{"sha256", std::string(64, 'a')}}; }

json envelope(json body) { return {{"signatures", json::array()}, {"signed", std::move(body)}}; }

json common(const std::string& type) {
  return {{"_type", type}, {"spec_version", "1.0.31"}, {"version", 1}, {"expires", "2030-01-01T00:00:00Z"}};
}

json targets_body() {
  json body = common("targets");
  body["targets"] = {{"games/x.tar.zst", {{"length", 3}, {"hashes", hashes()}}}};
  body["delegations"] = {{"keys", json::object()},
                         {"roles",
                          {{{"name", "games"},
                            {"keyids", json::array()},
                            {"threshold", 1},
                            {"paths", {"games/*"}},
                            {"terminating", false}}}}};
  return body;
}

TEST(TufTime, AcceptsOnlyUtcIsoTimesToTheMicrosecond) {
  EXPECT_EQ(parse_tuf_time("1970-01-01T00:00:00Z").time_since_epoch(), microseconds(0));
  EXPECT_EQ(parse_tuf_time("2024-02-29T00:00:00Z"), TufTime(sys_days(2024y / 2 / 29)));
  EXPECT_EQ(parse_tuf_time("1970-01-01T00:00:01.5Z").time_since_epoch(), microseconds(1500000));
  // Digits past the sixth are ignored, not rounded.
  EXPECT_EQ(parse_tuf_time("1970-01-01T00:00:00.123456789Z").time_since_epoch(), microseconds(123456));

  const std::vector<std::pair<std::string, std::string>> refused{
      {"2023-02-29T00:00:00Z", "Invalid UTC calendar time"},
      {"2024-01-01T24:00:00Z", "Invalid UTC calendar time"},
      {"2024-01-01T23:59:60Z", "Invalid UTC calendar time"},
      {"2024-01-01T00:00:00.Z", "Expiry must use a UTC ISO-8601 timestamp"},
      {"2024-01-01T00:00:00+01:00", "Expiry must use a UTC ISO-8601 timestamp"},
      {"2024-01-01T00:00:00.1234567890Z", "Expiry must use a UTC ISO-8601 timestamp"},
      {"2024-01-01t00:00:00Z", "Expiry must use a UTC ISO-8601 timestamp"},
      {"2024-01-01T00:00Z", "Expiry must use a UTC ISO-8601 timestamp"},
      {"2024-0a-01T00:00:00Z", "Timestamp fields must contain decimal digits"},
      {"2024-01-01T00:00:00.1x3Z", "Invalid fractional second"},
  };
  for (const auto& [text, message] : refused) EXPECT_TRELK_ERROR(parse_tuf_time(text), "invalid_expiry", message);
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
  };
  for (const auto& [pattern, path, expected] : cases)
    EXPECT_EQ(path_pattern_matches(pattern, path), expected) << pattern << " ~ " << path;
  EXPECT_TRUE(path_pattern_matches(std::string(4096, '*'), "x"));
  EXPECT_TRELK_ERROR(path_pattern_matches(std::string(4097, '*'), "x"), "size_limit",
                     "Delegation pattern exceeds path limit");
}

TEST(MetadataShape, RefusesEachRuleWithItsOwnMessage) {
  // Each case sets the member at a JSON pointer (null erases it) of a valid document of its type.
  struct Case {
    std::string type, pointer, value, code, message;
  };
  const std::string generic = "Metadata is missing a required field or has an invalid field type",
                    described = "Timestamp must describe only snapshot.json; snapshot must describe targets.json",
                    spec = "A stable TUF 1.x[.y] specification version is required",
                    names = "Delegated role names must be unique and non-top-level",
                    role = "/signed/delegations/roles/0";
  const auto games = [](const std::string& selector) {
    return R"({"name":"games","keyids":[],"threshold":1,"terminating":false,)" + selector + "}";
  };
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
      {"targets", "/signed/version", "null", "invalid_metadata", generic},
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
  // A valid document of the type: a targets role's targets, the one file a timestamp or snapshot must describe.
  const auto valid = [](const std::string& type) {
    json document = envelope(targets_body());
    document["signed"]["_type"] = type;
    document["signed"]["targets"]["a"] = {{"length", 1}, {"hashes", hashes()}};
    document["signed"]["meta"] = {{type == "timestamp" ? "snapshot.json" : "targets.json",
                                   {{"version", 1}, {"length", 10}, {"hashes", hashes()}}}};
    return document;
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.pointer + " = " + test.value.substr(0, 60));
    json document = valid(test.type);
    const json::json_pointer at(test.pointer);
    if (test.value == "null")
      document[at.parent_pointer()].erase(at.back());
    else
      document[at] = json::parse(test.value);
    EXPECT_TRUE(test::fails_with([&] { shape(document, test.type); }, test.code, test.message));
    if (test.type != "targets") continue;  // the same verdict with the targets read into a compact table
    const auto role = parse_targets_role(document.dump(), 1 << 20);
    EXPECT_TRUE(test::fails_with([&] { shape(role->document, role->targets); }, test.code, test.message));
  }
  for (const char* type : {"timestamp", "snapshot"}) EXPECT_NO_THROW(shape(valid(type), type));
  // Upper-case target digests pass the shape (they never match a computed digest later).
  json upper = valid("targets");
  upper["signed"]["targets"]["a"]["hashes"]["sha256"] = std::string(64, 'A');
  EXPECT_NO_THROW(shape(upper, "targets"));
  for (const char* version : {"1.0", "1.1", "1.0.31", "1.12"}) {
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
    EXPECT_EQ(storage.empty(), text == canonical_json(document));  // a canonical document is not copied
    for (const auto& [path, description] : targets.items()) EXPECT_EQ(role->targets.find(path), description);
    EXPECT_FALSE(role->targets.find("a"));
  }
  EXPECT_TRELK_ERROR(parse_targets_role(R"({"signed":{"targets":{"b":{},"a":{},"b":{}}}})", 100), "duplicate_key",
                     "JSON contains a duplicate object key");
}

}  // namespace
}  // namespace trelk
