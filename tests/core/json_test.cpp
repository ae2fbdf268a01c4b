#include "core/json.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/error.hpp"

namespace trelk {
namespace {

template <typename F>
Error thrown(F&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "none");
}

Error parse_error(std::string_view text, std::size_t limit = 1 << 20) {
  return thrown([&] { parse_json(text, limit); });
}

std::string nested_arrays(int depth) { return std::string(depth, '[') + "7" + std::string(depth, ']'); }

TEST(ParseJson, SizeLimitIsInclusiveAndCheckedFirst) {
  const std::string text = R"({"a":[1,2,3]})";
  EXPECT_EQ(parse_json(text, text.size())["a"][2], 3);
  Error error = parse_error(text, text.size() - 1);
  EXPECT_EQ(error.code, "size_limit");
  EXPECT_EQ(std::string(error.what()), "JSON exceeds its size limit");
  EXPECT_TRUE(error.details.empty());
  // Malformed text that is too large reports the size, not the syntax.
  EXPECT_EQ(parse_error("{{{{", 3).code, "size_limit");
  EXPECT_EQ(parse_json(" \n\t 5 \r\n", 9), 5);
}

TEST(ParseJson, OnlyIntegersAreNumbers) {
  for (std::string text :
       {"1.0", "1e3", "-0.5", "18446744073709551616", "-9223372036854775809", "[1,{\"a\":2.5}]", "1E0"}) {
    Error error = parse_error(text);
    EXPECT_EQ(error.code, "invalid_number") << text;
    EXPECT_EQ(std::string(error.what()), "Floating point numbers are not allowed in protocol data");
  }
  json max = parse_json("18446744073709551615", 64);
  ASSERT_TRUE(max.is_number_unsigned());
  EXPECT_EQ(max.get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
  json min = parse_json("-9223372036854775808", 64);
  ASSERT_TRUE(min.is_number_integer());
  EXPECT_EQ(min.get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
  json zero = parse_json("-0", 64);
  ASSERT_TRUE(zero.is_number_integer());
  EXPECT_FALSE(zero.is_number_float());
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(canonical_json(zero), "0");
}

TEST(ParseJson, KeysAreUniquePerObject) {
  Error error = parse_error(R"({"a":1,"b":2,"a":1})");
  EXPECT_EQ(error.code, "duplicate_key");
  EXPECT_EQ(std::string(error.what()), "JSON contains a duplicate object key");
  EXPECT_EQ(parse_error(R"([{"x":{"y":1,"y":2}}])").code, "duplicate_key");
  // Keys are compared as bytes: an escaped form of the same key is the same key.
  EXPECT_EQ(parse_error(R"({"ab":1,"a\u0062":2})").code, "duplicate_key");
  json nested = parse_json(R"({"a":{"b":1},"b":{"a":2,"b":3},"c":[{"b":1},{"b":2}]})", 1000);
  EXPECT_EQ(nested["b"]["b"], 3);
  EXPECT_EQ(nested["c"][1]["b"], 2);
  // A key set closed at one depth must not leak into the next object there.
  EXPECT_NO_THROW(parse_json(R"([{"k":1},{"k":2},{"k":{"k":{}}}])", 1000));
}

TEST(ParseJson, NestingIsBoundedAt64Levels) {
  EXPECT_EQ(parse_json(nested_arrays(64), 1000).flatten().begin().value(), 7);
  Error error = parse_error(nested_arrays(65));
  EXPECT_EQ(error.code, "depth_limit");
  EXPECT_EQ(std::string(error.what()), "JSON nesting exceeds 64 levels");
  std::string objects;
  for (int i = 0; i < 64; ++i) objects += R"({"k":)";
  EXPECT_NO_THROW(parse_json(objects + "1" + std::string(64, '}'), 1000));
  EXPECT_EQ(parse_error(objects + R"({"k":1})" + std::string(64, '}')).code, "depth_limit");
  // A deep but unterminated text stops at the bound, not at the end of input.
  EXPECT_EQ(parse_error(std::string(100000, '[')).code, "depth_limit");
}

TEST(ParseJson, MalformedTextIsInvalidJson) {
  for (std::string text : {"", "{", "[1,]", "{\"a\":1,}", "// c\n1", "1 2", "tru", "\"\xff\"", "\"a\nb\"", "{\"a\" 1}",
                           "'a'", "[1]x", "01"}) {
    Error error = parse_error(text);
    EXPECT_EQ(error.code, "invalid_json") << text;
    EXPECT_FALSE(std::string(error.what()).empty());
    EXPECT_TRUE(error.details.empty());
  }
}

TEST(CanonicalJson, SortedCompactAndMinimallyEscaped) {
  json value = {{"b", 1}, {"a", {true, nullptr, "x\"y"}}};
  std::string text = canonical_json(value);
  EXPECT_EQ(text, R"({"a":[true,null,"x\"y"],"b":1})");
  EXPECT_EQ(text.size(), 30u);
  EXPECT_EQ(canonical_json(json{{"a", 1}, {"B", 2}, {"ab", 3}}), R"({"B":2,"a":1,"ab":3})");
  // Unsigned byte order: non-ASCII keys sort after every ASCII key.
  EXPECT_EQ(canonical_json(json{{"\xc3\xa9", 1}, {"z", 2}}), "{\"z\":2,\"\xc3\xa9\":1}");
  EXPECT_EQ(canonical_json(json::array()), "[]");
  EXPECT_EQ(canonical_json(json::object()), "{}");
  EXPECT_EQ(canonical_json(json{{"e", json::object()}, {"f", json::array()}}), R"({"e":{},"f":[]})");
  EXPECT_EQ(canonical_json(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(canonical_json(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(canonical_json(false), "false");
  EXPECT_EQ(canonical_json("line\nbreak"), "\"line\nbreak\"");
  EXPECT_EQ(canonical_json("back\\slash"), "\"back\\\\slash\"");
  EXPECT_EQ(canonical_json(parse_json(R"("\u0001\u007f\u00e9\t")", 100)), "\"\x01\x7f\xc3\xa9\t\"");
  for (json bad : {json(1.5), json::binary({1, 2}), json{{"a", {0.0}}}}) {
    Error error = thrown([&] { canonical_json(bad); });
    EXPECT_EQ(error.code, "invalid_number");
    EXPECT_EQ(std::string(error.what()), "Cannot canonicalize floating point data");
  }
}

TEST(CanonicalJson, RoundTripsThroughTheParser) {
  const std::string text =
      R"({"signatures":[],"signed":{"_type":"targets","expires":"2030-01-01T00:00:00Z","targets":{"a/b.bin":)"
      R"({"hashes":{"sha256":"00ff"},"length":12},"q\"x":{"length":0}},"version":3}})";
  EXPECT_EQ(canonical_json(parse_json(text, text.size())), text);
  json reparsed = parse_json(canonical_json(parse_json(text, text.size())), text.size());
  EXPECT_EQ(reparsed, parse_json(text, text.size()));
}

TEST(Quote, EscapesOnlyQuoteAndBackslash) {
  EXPECT_EQ(quote(""), "\"\"");
  EXPECT_EQ(quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote("\"\""), "\"\\\"\\\"\"");
  const std::string raw("\x00\x1f\x7f\xff/", 5);
  EXPECT_EQ(quote(raw), "\"" + raw + "\"");
}

TEST(FieldReaders, VersionsSizesAndDigests) {
  EXPECT_EQ(positive_version(parse_json("7", 10)), 7u);
  EXPECT_EQ(positive_version(json(std::int64_t{9})), 9u);
  EXPECT_EQ(positive_version(parse_json("18446744073709551615", 30)), std::numeric_limits<std::uint64_t>::max());
  Error zero = thrown([] { positive_version(parse_json("0", 10)); });
  EXPECT_EQ(zero.code, "invalid_version");
  EXPECT_EQ(std::string(zero.what()), "Metadata version must be positive");
  for (json bad : {parse_json("-3", 10), json(std::int64_t{0}), json("7"), json(true), json(nullptr), json(7.0)}) {
    Error error = thrown([&] { positive_version(bad); });
    EXPECT_EQ(error.code, "invalid_version") << bad;
    EXPECT_EQ(std::string(error.what()), "Metadata version must be a positive integer") << bad;
  }

  EXPECT_EQ(size_value(parse_json("0", 10)), 0u);
  EXPECT_EQ(size_value(json(std::int64_t{0})), 0u);
  EXPECT_EQ(size_value(json(std::int64_t{42})), 42u);
  for (json bad : {parse_json("-1", 10), json(false), json("12"), json(12.0), json::array()}) {
    Error error = thrown([&] { size_value(bad); });
    EXPECT_EQ(error.code, "invalid_manifest") << bad;
    EXPECT_EQ(std::string(error.what()), "Manifest length must be a non-negative integer");
  }

  const std::string digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(sha256(json(digest)), digest);
  std::string upper = digest;
  upper[0] = 'B';
  for (json bad : {json(upper), json(digest.substr(1)), json(digest + "0"), json(digest.substr(1) + "g"), json(1)}) {
    Error error = thrown([&] { sha256(bad); });
    EXPECT_EQ(error.code, "invalid_manifest");
    EXPECT_EQ(std::string(error.what()), "Manifest needs a lower-case SHA-256 digest");
  }
}

}  // namespace
}  // namespace trelk
