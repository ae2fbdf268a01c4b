#include "core/json.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "support/errors.hpp"

namespace trelk {
namespace {

TEST(ParseJson, AcceptsOnlyBoundedWellFormedIntegerJsonWithUniqueKeys) {
  const std::string text = R"({"a":[1,2,3]})";
  EXPECT_EQ(parse_json(text, text.size())["a"][2], 3);
  EXPECT_TRELK_ERROR(parse_json(text, text.size() - 1), "size_limit", "JSON exceeds its size limit");

  auto arrays = [](int depth) { return std::string(depth, '[') + "7" + std::string(depth, ']'); };
  EXPECT_NO_THROW(parse_json(arrays(64), 1000));
  EXPECT_TRELK_ERROR(parse_json(arrays(65), 1000), "depth_limit", "JSON nesting exceeds 64 levels");
  std::string objects;
  for (int i = 0; i < 64; ++i) objects += R"({"k":)";
  EXPECT_NO_THROW(parse_json(objects + "1" + std::string(64, '}'), 1000));
  EXPECT_TRELK_ERROR(parse_json(objects + R"({"k":1})" + std::string(64, '}'), 1000), "depth_limit", "");
  // An unterminated deep text stops at the bound, not at the end of input.
  EXPECT_TRELK_ERROR(parse_json(std::string(100000, '['), 1 << 20), "depth_limit", "");

  EXPECT_TRELK_ERROR(parse_json(R"({"a":1,"b":2,"a":1})", 100), "duplicate_key",
                     "JSON contains a duplicate object key");
  // Keys compare as bytes after unescaping, per object.
  EXPECT_TRELK_ERROR(parse_json(R"([{"x":{"ab":1,"a\u0062":2}}])", 100), "duplicate_key", "");
  EXPECT_EQ(parse_json(R"({"a":{"b":1},"b":{"a":2,"b":3}})", 100)["b"]["b"], 3);

  for (std::string text : {"1.0", "1e3", "18446744073709551616", "-9223372036854775809", "[1,{\"a\":2.5}]"})
    EXPECT_TRELK_ERROR(parse_json(text, 100), "invalid_number",
                       "Floating point numbers are not allowed in protocol data")
        << text;
  EXPECT_EQ(parse_json("18446744073709551615", 64).get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse_json("-9223372036854775808", 64).get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());

  for (std::string text : {"", "[1,]", "// c\n1", "1 2", "\"\xff\"", "01"})
    EXPECT_TRELK_ERROR(parse_json(text, 100), "invalid_json", "") << text;
  // The message says where, never what: a server's gzip answer is not quoted back, control bytes and all.
  EXPECT_TRELK_ERROR(parse_json("\x1f\x8b\x08" + std::string(60000, '\x1b'), 1 << 20), "invalid_json",
                     "JSON text is malformed at byte 1");
}

TEST(CanonicalJson, SortedCompactAndMinimallyEscaped) {
  EXPECT_EQ(canonical_json(json{{"b", 1}, {"a", {true, nullptr, "x\"y"}}}), R"({"a":[true,null,"x\"y"],"b":1})");
  // Unsigned byte order: upper case before lower case, non-ASCII after every ASCII key.
  EXPECT_EQ(canonical_json(json{{"\xc3\xa9", 1}, {"a", 2}, {"B", 3}}), "{\"B\":3,\"a\":2,\"\xc3\xa9\":1}");
  EXPECT_EQ(canonical_json(parse_json(R"("a\n\\\u0001\u00e9")", 100)), "\"a\n\\\\\x01\xc3\xa9\"");
  EXPECT_EQ(canonical_json(parse_json("-0", 10)), "0");
  EXPECT_TRELK_ERROR(canonical_json(json{{"a", {0.5}}}), "invalid_number", "Cannot canonicalize floating point data");
  const std::string signed_text =
      R"({"signatures":[],"signed":{"_type":"targets","targets":{"a/b.bin":{"hashes":{"sha256":"00ff"},"length":12},)"
      R"("q\"x":{"length":0}},"version":3}})";
  EXPECT_EQ(canonical_json(parse_json(signed_text, signed_text.size())), signed_text);
}

}  // namespace
}  // namespace trelk
