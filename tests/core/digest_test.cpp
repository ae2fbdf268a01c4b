#include "core/digest.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

const std::string abc256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string abc512 =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a"
    "9ac94fa54ca49f";

using test::fails_with;

std::string pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return data;
}

using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Hashes the file and records every progress call.
std::string recorded(const fs::path& file, Calls& calls) {
  return digest_file_progress(file, "sha256", [&](std::uint64_t done, std::uint64_t total) {
    calls.emplace_back(done, total);
    return true;
  });
}

TEST(Hex, EncodesLowerCaseAndDecodesBothCases) {
  const std::vector<std::uint8_t> bytes{0x00, 0xab};
  EXPECT_EQ(hex(bytes), "00ab");
  EXPECT_EQ(hex({}), "");
  EXPECT_EQ(unhex("00AB", 4), bytes);
  EXPECT_EQ(unhex("00ab", 4), bytes);
  EXPECT_TRUE(unhex("", 0).empty());
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(unhex(hex(all), 512), all);

  EXPECT_TRUE(fails_with([] { unhex("abc", 10); }, "invalid_hex", "Invalid hexadecimal data"));
  EXPECT_TRUE(fails_with([] { unhex("abcdef", 4); }, "invalid_hex", "Invalid hexadecimal data"));
  for (std::string bad : {"zz", "0g", " 0", "0x"})
    EXPECT_TRUE(fails_with([&] { unhex(bad, 10); }, "invalid_hex", "Invalid hexadecimal character")) << bad;
}

TEST(Digest, KnownValuesAndAlgorithmNames) {
  EXPECT_EQ(digest("abc", "sha256"), abc256);
  EXPECT_EQ(digest("abc", "sha512"), abc512);
  EXPECT_EQ(digest("", "sha256"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(algorithm("sha256"), EVP_sha256());
  for (std::string name : {"SHA256", "sha-256", "sha384", ""}) {
    EXPECT_TRUE(
        fails_with([&] { digest("abc", name); }, "unsupported_hash", "Only SHA-256 and SHA-512 hashes are supported"));
    EXPECT_TRUE(fails_with([&] { DigestState state(name); }, "unsupported_hash"));
  }
}

TEST(DigestState, SnapshotsLeaveTheStateOpen) {
  DigestState state("sha256");
  state.update("a");
  EXPECT_EQ(state.value(), digest("a", "sha256"));
  state.update("bc");
  EXPECT_EQ(state.value(), abc256);
  EXPECT_EQ(state.value(), abc256);

  DigestState moved(std::move(state));
  moved.update("");
  EXPECT_EQ(moved.value(), abc256);
  DigestState other("sha512");
  other.update("abc");
  EXPECT_EQ(other.value(), abc512);
  other = std::move(moved);
  other.update("d");
  EXPECT_EQ(other.value(), digest("abcd", "sha256"));
}

TEST(DigestFile, HashesInChunksWithProgress) {
  test::TempDir dir;
  const std::string data = pattern(3 * 65536 + 5);
  test::write_file(dir / "data", data);
  EXPECT_EQ(digest_file(dir / "data", "sha256"), digest(data, "sha256"));
  EXPECT_EQ(digest_file(dir / "data", "sha512"), digest(data, "sha512"));

  Calls calls;
  EXPECT_EQ(recorded(dir / "data", calls), digest(data, "sha256"));
  const std::uint64_t size = data.size();
  EXPECT_EQ(calls, (Calls{{0, size}, {65536, size}, {131072, size}, {196608, size}, {size, size}}));

  // A read that ends exactly at a chunk boundary is followed by one empty read.
  test::write_file(dir / "chunk", pattern(65536));
  calls.clear();
  recorded(dir / "chunk", calls);
  EXPECT_EQ(calls, (Calls{{0, 65536}, {65536, 65536}, {65536, 65536}}));

  test::write_file(dir / "empty", "");
  calls.clear();
  EXPECT_EQ(recorded(dir / "empty", calls), digest("", "sha256"));
  EXPECT_EQ(calls, (Calls{{0, 0}, {0, 0}}));
}

TEST(DigestFile, CancellationGrowthAndReadFailures) {
  test::TempDir dir;
  const fs::path file = dir / "data";
  test::write_file(file, pattern(200000));

  int calls = 0;
  auto cancel_at = [&](int call) {
    calls = 0;
    return [&, call] { digest_file_progress(file, "sha256", [&](auto, auto) { return ++calls < call; }); };
  };
  EXPECT_TRUE(fails_with(cancel_at(1), "cancelled", "File verification cancelled"));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(fails_with(cancel_at(3), "cancelled", "File verification cancelled"));
  EXPECT_EQ(calls, 3);

  // The file grows after its size was taken: the bound is the size at the start.
  auto grow = [&] {
    digest_file_progress(file, "sha256", [&](std::uint64_t done, std::uint64_t) {
      if (done == 0) std::ofstream(file, std::ios::app) << std::string(70000, 'g');
      return true;
    });
  };
  EXPECT_TRUE(fails_with(grow, "content_mismatch", "File grew beyond its verification bound"));
  // Without a progress function there is no bound.
  EXPECT_EQ(digest_file(file, "sha256"), digest(pattern(200000) + std::string(70000, 'g'), "sha256"));

  EXPECT_TRUE(fails_with([&] { digest_file(dir / "missing", "sha256"); }, "file_read",
                         "Could not open file for verification: " + (dir / "missing").string()));
  EXPECT_TRUE(
      fails_with([&] { digest_file(dir.path(), "sha256"); }, "file_read", "Error reading file during verification"));
  EXPECT_TRUE(fails_with([&] { digest_file(file, "md5"); }, "unsupported_hash"));
}

TEST(RandomId, ThirtyTwoLowerCaseHexCharacters) {
  initialize_client_runtime();
  std::string first = random_id();
  std::string second = random_id();
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(unhex(first, 32).size(), 16u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first, second);
}

TEST(Runtime, InitializationIsSafeFromManyThreads) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { EXPECT_NO_THROW(initialize_client_runtime()); });
  for (auto& thread : threads) thread.join();
  EXPECT_NO_THROW(initialize_client_runtime());
}

struct Aead {
  std::array<std::uint8_t, 32> key{};
  std::array<std::uint8_t, 12> nonce{};

  Aead() {
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0x80 + i);
    for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(0x40 + i);
  }

  // Encrypts with the library directly: ciphertext followed by the tag.
  std::string seal(std::string_view plain, std::string_view associated) const {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    std::string record(plain.size() + 16, '\0');
    auto* out = reinterpret_cast<unsigned char*>(record.data());
    int length = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(context.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nonce.data()), 1);
    EXPECT_EQ(
        EVP_EncryptUpdate(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(associated.data()),
                          static_cast<int>(associated.size())),
        1);
    EXPECT_EQ(EVP_EncryptUpdate(context.get(), out, &length, reinterpret_cast<const unsigned char*>(plain.data()),
                                static_cast<int>(plain.size())),
              1);
    EXPECT_EQ(EVP_EncryptFinal_ex(context.get(), out + length, &length), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, 16, out + plain.size()), 1);
    return record;
  }

  std::size_t open(std::string_view associated, std::string_view record, std::span<char> out,
                   std::size_t limit = 1 << 20) const {
    return decrypt_chacha20_poly1305(key, nonce, associated, record, out, limit);
  }
};

TEST(ChaCha20Poly1305, DecryptsAuthenticRecords) {
  Aead aead;
  const std::string plain = pattern(1000);
  const std::string record = aead.seal(plain, "header");
  std::vector<char> out(plain.size() + 7, 'x');
  ASSERT_EQ(aead.open("header", record, out), plain.size());
  EXPECT_EQ(std::string(out.data(), plain.size()), plain);
  // The limit bounds the plaintext and is inclusive.
  std::vector<char> exact(plain.size());
  EXPECT_EQ(aead.open("header", record, exact, plain.size()), plain.size());

  const std::string empty = aead.seal("", "");
  ASSERT_EQ(empty.size(), 16u);
  EXPECT_EQ(aead.open("", empty, {}, 0), 0u);
  EXPECT_EQ(aead.open(std::string(4096, 'a'), aead.seal("x", std::string(4096, 'a')), exact), 1u);
}

TEST(ChaCha20Poly1305, RefusesOversizedAndForgedRecords) {
  Aead aead;
  const std::string plain = pattern(300);
  const std::string record = aead.seal(plain, "ad");
  std::vector<char> out(plain.size());

  auto expect_format = [&](std::string_view associated, std::string_view bad, std::span<char> target,
                           std::size_t limit) {
    EXPECT_TRUE(fails_with([&] { aead.open(associated, bad, target, limit); }, "encrypted_format",
                           "AEAD record or associated data exceeds its bound"));
  };
  expect_format("ad", record.substr(0, 15), out, 1000);
  expect_format("ad", record, std::span<char>(out).first(plain.size() - 1), 1000);
  expect_format("ad", record, out, plain.size() - 1);
  expect_format(std::string(4097, 'a'), record, out, 1000);
  expect_format("ad", record, out, 2147483632);
  EXPECT_EQ(aead.open("ad", record, out, 2147483631), plain.size());

  auto expect_forged = [&](std::string_view associated, const std::string& bad) {
    std::fill(out.begin(), out.end(), 'x');
    EXPECT_TRUE(fails_with([&] { aead.open(associated, bad, out); }, "authentication_failed",
                           "Encrypted chunk authentication failed"));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](char c) { return c == 0; }));
  };
  std::string flipped_tag = record;
  flipped_tag.back() ^= 0x01;
  expect_forged("ad", flipped_tag);
  std::string flipped_text = record;
  flipped_text[10] ^= 0x80;
  expect_forged("ad", flipped_text);
  expect_forged("ae", record);
  expect_forged("", record);
}

TEST(Pbkdf2, KnownValuesAndBounds) {
  auto derive = [](std::string_view password, std::string_view salt, std::uint32_t iterations) {
    return hex(pbkdf2_sha256(password, {reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size()}, iterations));
  };
  EXPECT_EQ(derive("password", "salt", 1), "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
  EXPECT_EQ(derive("password", "salt", 4096), "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
  EXPECT_EQ(derive("passwd", "salt", 1), "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
  EXPECT_EQ(derive("", "", 1).size(), 64u);
  EXPECT_NO_THROW(derive(std::string(4096, 'p'), std::string(4096, 's'), 1));

  const std::string bound = "Key derivation input exceeds its bound";
  EXPECT_TRUE(fails_with([&] { derive("pw", "salt", 0); }, "crypto_failure", bound));
  EXPECT_TRUE(fails_with([&] { derive(std::string(4097, 'p'), "", 1); }, "crypto_failure", bound));
  EXPECT_TRUE(fails_with([&] { derive("pw", std::string(4097, 's'), 1); }, "crypto_failure", bound));
}

}  // namespace
}  // namespace trelk
