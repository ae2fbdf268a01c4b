// The executable must carry its own OpenSSL 3.5 (for ML-DSA) and load no
// system libssl, libcrypto or libcurl.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/digest.hpp"

namespace trelk {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Signature = std::unique_ptr<EVP_SIGNATURE, Deleter<EVP_SIGNATURE, EVP_SIGNATURE_free>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

bool verify(EVP_PKEY* key, const std::vector<unsigned char>& signature, const std::string& message) {
  MdContext context(EVP_MD_CTX_new());
  if (EVP_DigestVerifyInit_ex(context.get(), nullptr, nullptr, nullptr, nullptr, key, nullptr) != 1) return false;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

TEST(CryptoRuntime, LinkedLibcryptoProvidesMlDsa) {
  initialize_client_runtime();
  EXPECT_GE(OpenSSL_version_num(), 0x30500000UL) << OpenSSL_version(OPENSSL_VERSION);
  Signature algorithm(EVP_SIGNATURE_fetch(nullptr, "ML-DSA-65", nullptr));
  ASSERT_TRUE(algorithm) << "libcrypto has no ML-DSA-65 signature";

  PkeyContext generator(EVP_PKEY_CTX_new_from_name(nullptr, "ML-DSA-65", nullptr));
  ASSERT_TRUE(generator);
  ASSERT_EQ(EVP_PKEY_keygen_init(generator.get()), 1);
  EVP_PKEY* raw = nullptr;
  ASSERT_EQ(EVP_PKEY_generate(generator.get(), &raw), 1);
  Pkey key(raw);
  EXPECT_TRUE(EVP_PKEY_is_a(key.get(), "ML-DSA-65"));

  // One-shot signing and verification; the digest must be NULL for ML-DSA.
  const std::string message = "trelk bootstrap self check";
  MdContext signer(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestSignInit_ex(signer.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr), 1);
  std::size_t length = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  ASSERT_EQ(EVP_DigestSign(signer.get(), nullptr, &length, bytes, message.size()), 1);
  std::vector<unsigned char> signature(length);
  ASSERT_EQ(EVP_DigestSign(signer.get(), signature.data(), &length, bytes, message.size()), 1);
  signature.resize(length);
  EXPECT_EQ(signature.size(), 3309u);

  EXPECT_TRUE(verify(key.get(), signature, message));
  EXPECT_FALSE(verify(key.get(), signature, message + "!"));
  signature[100] ^= 0x01;
  EXPECT_FALSE(verify(key.get(), signature, message));
}

TEST(CryptoRuntime, BootstrapLoadsNoSharedTlsOrCryptoLibrary) {
  const std::string binary = TRELK_BIN_DIR "/trelk-bootstrap";
  if (std::system("command -v ldd >/dev/null 2>&1") != 0) GTEST_SKIP() << "ldd is not installed";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("ldd '" + binary + "' 2>&1").c_str(), "r"), &pclose);
  ASSERT_TRUE(pipe);
  std::string listing;
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe.get())) listing.append(buffer, got);
  int status = pclose(pipe.release());
  ASSERT_EQ(status, 0) << listing;
  EXPECT_NE(listing.find("libc.so"), std::string::npos) << listing;
  for (const char* library : {"libssl", "libcrypto", "libcurl"})
    EXPECT_EQ(listing.find(library), std::string::npos) << library << " is loaded shared:\n" << listing;
}

}  // namespace
}  // namespace trelk
