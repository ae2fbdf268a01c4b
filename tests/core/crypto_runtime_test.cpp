// The executable carries its own OpenSSL with ML-DSA and loads no system TLS or crypto library.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "support/run_program.hpp"

namespace trelk {
namespace {

TEST(CryptoRuntime, LinkedLibcryptoSignsAndVerifiesWithMlDsa) {
  initialize_client_runtime();
  std::unique_ptr<EVP_SIGNATURE, decltype(&EVP_SIGNATURE_free)> algorithm(
      EVP_SIGNATURE_fetch(nullptr, "ML-DSA-65", nullptr), &EVP_SIGNATURE_free);
  ASSERT_TRUE(algorithm) << "libcrypto has no ML-DSA-65 signature";
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ML-DSA-65"),
                                                          &EVP_PKEY_free);
  ASSERT_TRUE(key);

  // One-shot signing and verification; the digest must be NULL for ML-DSA.
  const std::string message = "trelk bootstrap self check";
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  auto context = [] {
    return std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  };
  auto signer = context();
  ASSERT_EQ(EVP_DigestSignInit_ex(signer.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr), 1);
  std::vector<unsigned char> signature(8192);
  std::size_t length = signature.size();
  ASSERT_EQ(EVP_DigestSign(signer.get(), signature.data(), &length, bytes, message.size()), 1);
  EXPECT_EQ(length, 3309u);
  signature.resize(length);
  auto verifies = [&](std::size_t size) {
    auto verifier = context();
    return EVP_DigestVerifyInit_ex(verifier.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr) == 1 &&
           EVP_DigestVerify(verifier.get(), signature.data(), signature.size(), bytes, size) == 1;
  };
  EXPECT_TRUE(verifies(message.size()));
  EXPECT_FALSE(verifies(message.size() - 1));
}

TEST(CryptoRuntime, BootstrapLoadsNoSharedTlsOrCryptoLibrary) {
  if (!std::filesystem::exists("/usr/bin/ldd")) GTEST_SKIP() << "ldd is not installed";
  const auto listing =
      test::run_program("/usr/bin/ldd", {TRELK_BIN_DIR "/trelk-bootstrap"}, {{"PATH", "/usr/bin:/bin"}});
  ASSERT_EQ(listing.status, 0) << listing.err;
  EXPECT_NE(listing.out.find("libc.so"), std::string::npos) << listing.out;
  for (const char* library : {"libssl", "libcrypto", "libcurl"})
    EXPECT_EQ(listing.out.find(library), std::string::npos) << library << " is loaded shared:\n" << listing.out;
}

}  // namespace
}  // namespace trelk
