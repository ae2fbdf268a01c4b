// The executables carry their own OpenSSL with ML-DSA and load no library beyond the C library.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

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

// The shared objects ldd lists for a program, by file name.
std::vector<std::string> loaded_objects(const std::string& listing) {
  std::vector<std::string> objects;
  std::istringstream lines(listing);
  std::string object, rest;
  while (lines >> object) {
    objects.push_back(std::filesystem::path(object).filename().string());
    std::getline(lines, rest);
  }
  return objects;
}

// Shipped programs carry OpenSSL, libcurl, libarchive, Zstandard and the C++ runtime: they run on any
// glibc system and load nothing but the C library's own objects (a sanitizer build keeps its shared runtimes).
TEST(CryptoRuntime, ProgramsLoadOnlyTheCLibrary) {
  if (!std::filesystem::exists("/usr/bin/ldd")) GTEST_SKIP() << "ldd is not installed";
  std::vector<std::filesystem::path> programs{TRELK_BIN_DIR "/trelk-bootstrap"};
  for (const auto& entry : std::filesystem::directory_iterator(TRELK_TOOLS_DIR))
    if (entry.is_regular_file() &&
        (entry.status().permissions() & std::filesystem::perms::owner_exec) != std::filesystem::perms::none)
      programs.push_back(entry.path());
  ASSERT_GE(programs.size(), 5u) << "the bootstrap and at least four tools";
  for (const auto& program : programs) {
    SCOPED_TRACE(program.string());
    const auto listing = test::run_program("/usr/bin/ldd", {program.string()}, {{"PATH", "/usr/bin:/bin"}});
    ASSERT_EQ(listing.status, 0) << listing.err;
    const auto objects = loaded_objects(listing.out);
    EXPECT_TRUE(std::any_of(objects.begin(), objects.end(), [](const auto& o) { return o.starts_with("libc.so"); }))
        << listing.out;
    for (const auto& object : objects) {
      for (const char* library : {"libssl", "libcrypto", "libcurl"})
        EXPECT_FALSE(object.starts_with(library)) << object << " is loaded shared";
#ifndef TRELK_SANITIZED
      const bool c_library = object.starts_with("libc.so") || object.starts_with("libm.so") ||
                             object.starts_with("ld-linux") || object.starts_with("linux-vdso.so");
      EXPECT_TRUE(c_library) << object << " is loaded shared:\n" << listing.out;
#endif
    }
  }
}

// A host configuration written for the system's own OpenSSL: it loads a provider that does not exist
// and sends every algorithm fetch to it. Read by any of our programs, every digest and signature fails.
TEST(CryptoRuntime, NoProgramReadsTheHostOpenSslConfiguration) {
  test::TempDir dir;
  const auto config = dir / "hostile.cnf";
  test::write_file(config,
                   "openssl_conf = init\n[init]\nproviders = providers\nalg_section = algorithms\n"
                   "[providers]\nmissing = missing\n[missing]\nmodule = /nonexistent/provider.so\nactivate = 1\n"
                   "[algorithms]\ndefault_properties = provider=missing\n");
  test::write_file(dir / "tree/bin/tool", "#!/bin/sh\n");
  std::filesystem::permissions(dir / "tree/bin/tool", std::filesystem::perms::owner_all);
  const std::map<std::string, std::string> environment{{"OPENSSL_CONF", config.string()},
                                                       {"HOME", dir.path().string()},
                                                       {"PATH", "/usr/bin:/bin"},
                                                       {"ASAN_OPTIONS", "detect_leaks=0"}};
  const std::string tools = TRELK_TOOLS_DIR;
  const std::vector<std::vector<std::string>> programs{
      {TRELK_BIN_DIR "/trelk-bootstrap", "--data-dir", (dir / "data").string(), "--cli", "--", "--help"},
      {tools + "/trelk-pack", "snapshot", (dir / "tree").string(), (dir / "tree.tar.zst").string(), "--build-id",
       "tree-1", "--executable", "bin/tool"},
      // Every signature scheme, through the library's own verifier, in a process of its own.
      {TRELK_BIN_DIR "/../tests/tuf_tests", "--gtest_filter=SignatureSchemes.*"}};
  const bool traced = std::filesystem::exists("/usr/bin/strace");
  for (const auto& command : programs) {
    SCOPED_TRACE(command[0]);
    std::vector<std::string> arguments(command.begin() + 1, command.end());
    const auto outcome = traced ? test::run_program(
                                      "/usr/bin/strace",
                                      [&] {
                                        std::vector<std::string> traced_command{
                                            "-f", "-qq", "-e", "trace=open,openat", "-o", (dir / "trace").string()};
                                        traced_command.insert(traced_command.end(), command.begin(), command.end());
                                        return traced_command;
                                      }(),
                                      environment)
                                : test::run_program(command[0], arguments, environment);
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    if (traced) {
      EXPECT_EQ(test::read_file(dir / "trace").find(config.string()), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace trelk
