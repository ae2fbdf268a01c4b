#include "core/digest.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <regex>
#include <utility>
#include <vector>

#include "support/errors.hpp"
#include "support/run_program.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

TEST(Digest, KnownValuesHexIncrementalStateAndFilesInChunksWithProgressCancellationAndBound) {
  EXPECT_EQ(digest("abc", "sha512").substr(0, 32), "ddaf35a193617abacc417349ae204131");
  EXPECT_TRELK_ERROR(digest("abc", "SHA256"), "unsupported_hash", "Only SHA-256 and SHA-512 hashes are supported");
  DigestState state("sha256");
  state.update("a");
  EXPECT_EQ(state.value(), digest("a", "sha256"));
  state.update("bc");
  EXPECT_EQ(state.value(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(unhex("BA7816bf", 8)), "ba7816bf");
  EXPECT_TRELK_ERROR(unhex("abcdef", 4), "invalid_hex", "Invalid hexadecimal data");
  EXPECT_TRELK_ERROR(unhex("0g", 10), "invalid_hex", "Invalid hexadecimal character");
  const std::string id = random_id();
  EXPECT_EQ(hex(unhex(id, 32)), id);
  EXPECT_NE(id, random_id());

  // Files: three chunks and a few bytes, every chunk different.
  test::TempDir dir;
  const auto file = dir / "data";
  std::string data;
  while (data.size() < 3 * 65536 + 5) data += random_id();
  data.resize(3 * 65536 + 5);
  test::write_file(file, data);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  auto record = [&](std::uint64_t done, std::uint64_t total) {
    calls.emplace_back(done, total);
    return true;
  };
  EXPECT_EQ(digest_file_progress(file, "sha256", record), digest(data, "sha256"));
  const std::uint64_t size = data.size();
  EXPECT_EQ(calls, (decltype(calls){{0, size}, {65536, size}, {131072, size}, {196608, size}, {size, size}}));
  EXPECT_EQ(digest_file(file, "sha512"), digest(data, "sha512"));

  int seen = 0;
  EXPECT_TRELK_ERROR(digest_file_progress(file, "sha256", [&](auto, auto) { return ++seen < 3; }), "cancelled",
                     "File verification cancelled");
  EXPECT_EQ(seen, 3);
  // The file grows after its size was taken: the bound is the size at the start.
  auto grow = [&](std::uint64_t done, std::uint64_t) {
    if (done == 0) std::ofstream(file, std::ios::app) << std::string(70000, 'g');
    return true;
  };
  EXPECT_TRELK_ERROR(digest_file_progress(file, "sha256", grow), "content_mismatch",
                     "File grew beyond its verification bound");
  EXPECT_TRELK_ERROR(digest_file(dir / "missing", "sha256"), "file_read",
                     "Could not open file for verification: " + (dir / "missing").string());
}

TEST(CryptoHelpers, ChaCha20Poly1305DecryptsWithinBoundsAndRefusesForgeriesAndPbkdf2HasItsKnownValueAndBounds) {
  const std::array<std::uint8_t, 32> key{0x80};
  const std::array<std::uint8_t, 12> nonce{0x40};
  const std::string plain = "attack at dawn, bring snacks";
  // Sealed once with OpenSSL: ciphertext followed by the tag, associated data "ad".
  const auto sealed =
      unhex("8765fba663dfa2f61f27b6fd5b283402f0d5f8c40e8bb4990ff0d8387acfa14c70024c8212526b9cccd75975", 88);
  const std::string record(sealed.begin(), sealed.end());
  std::vector<char> out(plain.size());
  auto open = [&](std::string_view associated, std::string_view bytes, std::size_t limit) {
    return decrypt_chacha20_poly1305(key, nonce, associated, bytes, out, limit);
  };
  ASSERT_EQ(open("ad", record, plain.size()), plain.size());  // the plaintext limit is inclusive
  EXPECT_EQ(std::string(out.begin(), out.end()), plain);
  const char* bound = "AEAD record or associated data exceeds its bound";
  EXPECT_TRELK_ERROR(open("ad", record, plain.size() - 1), "encrypted_format", bound);
  EXPECT_TRELK_ERROR(open(std::string(4097, 'a'), record, 1000), "encrypted_format", bound);
  std::string forged = record;
  forged.back() ^= 0x01;
  for (auto [associated, bytes] : {std::pair<std::string, std::string>{"ad", forged}, {"ae", record}}) {
    std::fill(out.begin(), out.end(), 'x');
    EXPECT_TRELK_ERROR(open(associated, bytes, 1000), "authentication_failed", "Encrypted chunk authentication failed");
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(out.size(), '\0')) << "plaintext left behind";
  }

  auto derive = [](std::string_view password, std::string_view salt, std::uint32_t iterations) {
    return hex(pbkdf2_sha256(password, {reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size()}, iterations));
  };
  EXPECT_EQ(derive("password", "salt", 4096), "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
  EXPECT_NO_THROW(derive(std::string(4096, 'p'), "", 1));
  EXPECT_TRELK_ERROR(derive("pw", "salt", 0), "crypto_failure", "Key derivation input exceeds its bound");
  EXPECT_TRELK_ERROR(derive(std::string(4097, 'p'), "", 1), "crypto_failure", "");
}

// Shipped programs carry OpenSSL, libcurl, libarchive, Zstandard and the C++ runtime: they run on any glibc system.
// Nor do they read the host's OpenSSL configuration, written for the system's own OpenSSL: this one sends every
// algorithm fetch to a provider that does not exist, so every digest and signature would fail.
TEST(CryptoRuntime, ProgramsLoadOnlyTheCLibraryAndNeverReadTheHostOpenSslConfiguration) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  test::TempDir dir;
  const auto config = dir / "hostile.cnf";
  test::write_file(config,
                   "openssl_conf = init\n[init]\nproviders = providers\nalg_section = algorithms\n"
                   "[providers]\nmissing = missing\n[missing]\nmodule = /nonexistent/provider.so\nactivate = 1\n"
                   "[algorithms]\ndefault_properties = provider=missing\n");
  test::write_file(dir / "tree/bin/tool", "#!/bin/sh\n");
  fs::permissions(dir / "tree/bin/tool", fs::perms::owner_all);
  const std::string tools = TRELK_TOOLS_DIR, trace = (dir / "trace").string();
  const std::string tuf_tests = TRELK_BIN_DIR "/../tests/tuf_tests";
  std::vector<std::vector<std::string>> programs{
      {TRELK_BIN_DIR "/trelk-bootstrap", "--data-dir", (dir / "data").string(), "--cli", "--", "--help"},
      {tools + "/trelk-pack", "snapshot", (dir / "tree").string(), (dir / "tree.tar.zst").string(), "--build-id",
       "tree-1", "--executable", "bin/tool"},
      // Every signature scheme, through the library's own verifier, in a process of its own (not shipped).
      {tuf_tests, "--gtest_filter=SignatureSchemes.*"}};
  for (const auto& entry : fs::directory_iterator(tools))
    if (entry.is_regular_file() && (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none &&
        entry.path().filename() != "trelk-pack")
      programs.push_back({entry.path().string()});  // without arguments: its usage
  ASSERT_GE(programs.size(), 7u) << "the bootstrap, the test and at least five tools";
  // Any shared object but the C library's; the sanitizers' runtimes are shared objects, those we carry are not.
#ifdef TRELK_SANITIZED
  const std::regex library("/lib(ssl|crypto|curl)[^/\"]*\\.so");
#else
  const std::regex library("/lib(?!c\\.so|m\\.so)[^/\"]*\\.so");
#endif
  for (const auto& command : programs) {
    std::vector<std::string> arguments{"-f", "-qq", "-e", "trace=open,openat", "-o", trace};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const auto outcome = test::run_program("/usr/bin/strace", arguments,
                                           {{"OPENSSL_CONF", config.string()},
                                            {"HOME", dir.path().string()},
                                            {"PATH", "/usr/bin:/bin"},
                                            {"ASAN_OPTIONS", "detect_leaks=0"}});
    EXPECT_TRUE(command.size() == 1 || outcome.status == 0) << command[0] << outcome.out << outcome.err;
    const std::string opened = test::read_file(trace);
    EXPECT_EQ(opened.find(config.string()), std::string::npos) << command[0];
    EXPECT_NE(opened.find("libc.so"), std::string::npos) << command[0];
    std::smatch loaded;
    EXPECT_FALSE(command[0] != tuf_tests && std::regex_search(opened, loaded, library)) << command[0] << loaded[0];
  }
}

TEST(ProtocolJson, ParsesOnlyBoundedWellFormedIntegerJsonWithUniqueKeysAndWritesCanonicalText) {
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

  // Keys compare as bytes after unescaping, per object.
  EXPECT_TRELK_ERROR(parse_json(R"([{"x":{"ab":1,"a\u0062":2}}])", 100), "duplicate_key",
                     "JSON contains a duplicate object key");
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

  // Canonical text: sorted, compact and minimally escaped.
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

TEST(Paths, IdentifiersRelativePathsSafeJoinAndTheDataRoot) {
  EXPECT_NO_THROW(validate_identifier(std::string(80, 'x')));
  for (std::string id : {std::string(81, 'x'), std::string("Game"), std::string("a/b"), std::string("..")})
    EXPECT_TRUE(test::fails_with([&] { validate_identifier(id); }, "invalid_identity",
                                 "Game and build IDs use lower-case letters, digits, dots and hyphens"))
        << id;
  EXPECT_TRELK_ERROR(validate_identifier("con"), "unsafe_path", "Path uses a reserved platform name");

  std::string longest = "aa";
  while (longest.size() < 4096) longest += "/a";
  EXPECT_NO_THROW(validate_relative_path(longest, true));
  auto refused = [](const std::string& path, bool portable, const char* message) {
    return test::fails_with([&] { validate_relative_path(path, portable); }, "unsafe_path", message);
  };
  for (const std::string& path : {longest + "a", std::string("/a"), std::string("a\0b", 3)})
    EXPECT_TRUE(refused(path, false, "Path must be a safe relative path")) << path.size();
  for (std::string path : {std::string("a//b"), std::string("a/../b"), std::string(256, 'c')})
    EXPECT_TRUE(refused(path, false, "Path contains an unsafe component")) << path;
  EXPECT_TRUE(refused("a/", false, "Trailing path separator is not allowed"));
  // Names other platforms reject pass only in native mode.
  for (const char* path : {"dir/Com3.log", "x?y"}) EXPECT_NO_THROW(validate_relative_path(path, false));
  EXPECT_TRUE(refused("dir/Com3.log", true, "Path uses a reserved platform name"));
  EXPECT_TRUE(refused("x?y", true, "Path is not portable across supported platforms"));
  EXPECT_NO_THROW(validate_relative_path("com10/caf\xc3\xa9", true));

  // A managed path never passes through a symbolic link.
  test::TempDir dir;
  const auto& base = dir.path();
  fs::create_directories(base / "real");
  fs::create_directory_symlink(base / "real", base / "x");
  fs::create_symlink(base / "nowhere", base / "dangling");
  EXPECT_TRELK_ERROR(safe_join(base, "x/y", false), "unsafe_path", "Managed path contains a symbolic link");
  EXPECT_TRELK_ERROR(safe_join(base, "dangling", false), "unsafe_path", "");
  EXPECT_EQ(safe_join(base, "real/y", false), base / "real" / "y");
  EXPECT_EQ(safe_join(base, "new/deeper", true), base / "new" / "deeper");

  // The data root follows HOME and an absolute XDG_DATA_HOME.
  test::ScopedEnv environment{"HOME", "/home/u"};
  environment.set("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(user_data_root(), fs::path("/home/u/.local/share/trelk"));
  environment.set("XDG_DATA_HOME", "/data");
  EXPECT_EQ(user_data_root(), fs::path("/data/trelk"));
  environment.set("HOME", "home/u");
  EXPECT_TRELK_ERROR(user_data_root(), "user_path", "HOME must identify an absolute user directory");
}

}  // namespace
}  // namespace trelk
