#include "core/json.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "support/errors.hpp"

namespace trelk {
namespace {

using test::fails_with;

auto parse(std::string_view text, std::size_t limit = 1 << 20) {
  return [=] { parse_json(text, limit); };
}

TEST(ParseJson, SizeLimitIsInclusiveAndCheckedFirst) {
  const std::string text = R"({"a":[1,2,3]})";
  EXPECT_EQ(parse_json(text, text.size())["a"][2], 3);
  EXPECT_TRUE(fails_with(parse(text, text.size() - 1), "size_limit", "JSON exceeds its size limit"));
  EXPECT_TRUE(fails_with(parse("{{{{", 3), "size_limit"));
  EXPECT_EQ(parse_json(" \n\t 5 \r\n", 9), 5);
}

TEST(ParseJson, OnlyIntegersAreNumbers) {
  for (std::string text : {"1.0", "1e3", "-0.5", "18446744073709551616", "-9223372036854775809", "[1,{\"a\":2.5}]"})
    EXPECT_TRUE(fails_with(parse(text), "invalid_number", "Floating point numbers are not allowed in protocol data"))
        << text;
  EXPECT_EQ(parse_json("18446744073709551615", 64).get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse_json("-9223372036854775808", 64).get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
  json zero = parse_json("-0", 64);
  EXPECT_TRUE(zero.is_number_integer());
  EXPECT_EQ(canonical_json(zero), "0");
}

TEST(ParseJson, KeysAreUniquePerObject) {
  EXPECT_TRUE(fails_with(parse(R"({"a":1,"b":2,"a":1})"), "duplicate_key", "JSON contains a duplicate object key"));
  EXPECT_TRUE(fails_with(parse(R"([{"x":{"y":1,"y":2}}])"), "duplicate_key"));
  // Keys compare as bytes after unescaping.
  EXPECT_TRUE(fails_with(parse(R"({"ab":1,"a\u0062":2})"), "duplicate_key"));
  json nested = parse_json(R"({"a":{"b":1},"b":{"a":2,"b":3},"c":[{"b":1},{"b":2}]})", 1000);
  EXPECT_EQ(nested["b"]["b"], 3);
  EXPECT_EQ(nested["c"][1]["b"], 2);
}

TEST(ParseJson, NestingIsBoundedAt64Levels) {
  auto arrays = [](int depth) { return std::string(depth, '[') + "7" + std::string(depth, ']'); };
  EXPECT_NO_THROW(parse_json(arrays(64), 1000));
  EXPECT_TRUE(fails_with(parse(arrays(65)), "depth_limit", "JSON nesting exceeds 64 levels"));
  std::string objects;
  for (int i = 0; i < 64; ++i) objects += R"({"k":)";
  EXPECT_NO_THROW(parse_json(objects + "1" + std::string(64, '}'), 1000));
  EXPECT_TRUE(fails_with(parse(objects + R"({"k":1})" + std::string(64, '}')), "depth_limit"));
  // An unterminated deep text stops at the bound, not at the end of input.
  EXPECT_TRUE(fails_with(parse(std::string(100000, '[')), "depth_limit"));
}

TEST(ParseJson, MalformedTextIsInvalidJson) {
  for (std::string text :
       {"", "{", "[1,]", "{\"a\":1,}", "// c\n1", "1 2", "tru", "\"\xff\"", "\"a\nb\"", "[1]x", "01"})
    EXPECT_TRUE(fails_with(parse(text), "invalid_json")) << text;
}

TEST(CanonicalJson, SortedCompactAndMinimallyEscaped) {
  std::string text = canonical_json(json{{"b", 1}, {"a", {true, nullptr, "x\"y"}}});
  EXPECT_EQ(text, R"({"a":[true,null,"x\"y"],"b":1})");
  EXPECT_EQ(text.size(), 30u);
  EXPECT_EQ(canonical_json(json{{"a", 1}, {"B", 2}, {"ab", 3}}), R"({"B":2,"a":1,"ab":3})");
  // Unsigned byte order: non-ASCII keys sort after every ASCII key.
  EXPECT_EQ(canonical_json(json{{"\xc3\xa9", 1}, {"z", 2}}), "{\"z\":2,\"\xc3\xa9\":1}");
  EXPECT_EQ(canonical_json(json{{"e", json::object()}, {"f", json::array()}}), R"({"e":{},"f":[]})");
  EXPECT_EQ(canonical_json(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(canonical_json("line\nbreak"), "\"line\nbreak\"");
  EXPECT_EQ(canonical_json("back\\slash"), "\"back\\\\slash\"");
  EXPECT_EQ(canonical_json(parse_json(R"("\u0001\u007f\u00e9")", 100)), "\"\x01\x7f\xc3\xa9\"");
  EXPECT_EQ(quote(std::string_view("\"\\\0\xff", 4)), std::string("\"\\\"\\\\\0\xff\"", 8));
  for (json bad : {json(1.5), json::binary({1, 2}), json{{"a", {0.0}}}})
    EXPECT_TRUE(fails_with([&] { canonical_json(bad); }, "invalid_number", "Cannot canonicalize floating point data"));

  const std::string signed_text =
      R"({"signatures":[],"signed":{"_type":"targets","targets":{"a/b.bin":{"hashes":{"sha256":"00ff"},"length":12},)"
      R"("q\"x":{"length":0}},"version":3}})";
  EXPECT_EQ(canonical_json(parse_json(signed_text, signed_text.size())), signed_text);
}

TEST(FieldReaders, VersionsSizesAndDigests) {
  EXPECT_EQ(positive_version(parse_json("7", 10)), 7u);
  EXPECT_EQ(positive_version(json(std::int64_t{9})), 9u);
  EXPECT_TRUE(fails_with([] { positive_version(parse_json("0", 10)); }, "invalid_version",
                         "Metadata version must be positive"));
  for (json bad : {parse_json("-3", 10), json(std::int64_t{0}), json("7"), json(true), json(7.0)})
    EXPECT_TRUE(
        fails_with([&] { positive_version(bad); }, "invalid_version", "Metadata version must be a positive integer"))
        << bad;

  EXPECT_EQ(size_value(parse_json("0", 10)), 0u);
  EXPECT_EQ(size_value(json(std::int64_t{42})), 42u);
  for (json bad : {parse_json("-1", 10), json(false), json("12"), json(12.0)})
    EXPECT_TRUE(
        fails_with([&] { size_value(bad); }, "invalid_manifest", "Manifest length must be a non-negative integer"))
        << bad;

  const std::string digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(sha256(json(digest)), digest);
  std::string upper = digest;
  upper[0] = 'B';
  for (json bad : {json(upper), json(digest.substr(1)), json(digest + "0"), json(digest.substr(1) + "g"), json(1)})
    EXPECT_TRUE(fails_with([&] { sha256(bad); }, "invalid_manifest", "Manifest needs a lower-case SHA-256 digest"));
}

}  // namespace
}  // namespace trelk
