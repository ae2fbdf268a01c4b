// The executables carry their own OpenSSL and load no library beyond the C library.
#include <gtest/gtest.h>

#include <sstream>

#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

#ifdef TRELK_SANITIZED
constexpr bool sanitized = true;  // keeps the sanitizers' shared runtimes
#else
constexpr bool sanitized = false;
#endif

// Shipped programs carry OpenSSL, libcurl, libarchive, Zstandard and the C++ runtime: they run on any glibc system.
TEST(CryptoRuntime, ProgramsLoadOnlyTheCLibrary) {
  std::vector<fs::path> programs{TRELK_BIN_DIR "/trelk-bootstrap"};
  for (const auto& entry : fs::directory_iterator(TRELK_TOOLS_DIR))
    if (entry.is_regular_file() && (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none)
      programs.push_back(entry.path());
  ASSERT_GE(programs.size(), 5u) << "the bootstrap and at least four tools";
  for (const auto& program : programs) {
    const auto listing = test::run_program("/usr/bin/ldd", {program.string()}, {{"PATH", "/usr/bin:/bin"}});
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_NE(listing.out.find("libc.so"), std::string::npos) << listing.out;
    std::istringstream lines(listing.out);
    for (std::string object, rest; lines >> object && std::getline(lines, rest);) {
      auto is = [&](std::initializer_list<const char*> names) {
        for (const char* name : names)
          if (fs::path(object).filename().string().starts_with(name)) return true;
        return false;
      };
      EXPECT_TRUE(is({"libc.so", "libm.so", "ld-linux", "linux-vdso.so"}) ||
                  (sanitized && !is({"libssl", "libcrypto", "libcurl"})))
          << program << " loads " << object;
    }
  }
}

// A host configuration written for the system's own OpenSSL: it sends every algorithm fetch to a provider that does
// not exist. Read by any of our programs, every digest and signature fails.
TEST(CryptoRuntime, NoProgramReadsTheHostOpenSslConfiguration) {
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
  const std::vector<std::vector<std::string>> programs{
      {TRELK_BIN_DIR "/trelk-bootstrap", "--data-dir", (dir / "data").string(), "--cli", "--", "--help"},
      {tools + "/trelk-pack", "snapshot", (dir / "tree").string(), (dir / "tree.tar.zst").string(), "--build-id",
       "tree-1", "--executable", "bin/tool"},
      // Every signature scheme, through the library's own verifier, in a process of its own.
      {TRELK_BIN_DIR "/../tests/tuf_tests", "--gtest_filter=SignatureSchemes.*"}};
  for (const auto& command : programs) {
    std::vector<std::string> arguments{"-f", "-qq", "-e", "trace=open,openat", "-o", trace};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const auto outcome = test::run_program("/usr/bin/strace", arguments,
                                           {{"OPENSSL_CONF", config.string()},
                                            {"HOME", dir.path().string()},
                                            {"PATH", "/usr/bin:/bin"},
                                            {"ASAN_OPTIONS", "detect_leaks=0"}});
    EXPECT_EQ(outcome.status, 0) << command[0] << outcome.out << outcome.err;
    EXPECT_EQ(test::read_file(trace).find(config.string()), std::string::npos) << command[0];
  }
}

}  // namespace
}  // namespace trelk
