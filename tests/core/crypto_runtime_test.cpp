// The executables carry their own OpenSSL and load no library beyond the C library.
#include <gtest/gtest.h>

#include <sstream>

#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

// Shipped programs carry OpenSSL, libcurl, libarchive, Zstandard and the C++ runtime: they run on any
// glibc system and load nothing but the C library's own objects (a sanitizer build keeps its shared runtimes).
TEST(CryptoRuntime, ProgramsLoadOnlyTheCLibrary) {
  if (!fs::exists("/usr/bin/ldd")) GTEST_SKIP() << "ldd is not installed";
  std::vector<fs::path> programs{TRELK_BIN_DIR "/trelk-bootstrap"};
  for (const auto& entry : fs::directory_iterator(TRELK_TOOLS_DIR))
    if (entry.is_regular_file() && (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none)
      programs.push_back(entry.path());
  ASSERT_GE(programs.size(), 5u) << "the bootstrap and at least four tools";
  for (const auto& program : programs) {
    const auto listing = test::run_program("/usr/bin/ldd", {program.string()}, {{"PATH", "/usr/bin:/bin"}});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::istringstream lines(listing.out);
    bool libc = false;
    for (std::string object, rest; lines >> object && std::getline(lines, rest);) {
      object = fs::path(object).filename().string();
      libc = libc || object.starts_with("libc.so");
      for (const char* library : {"libssl", "libcrypto", "libcurl"})
        EXPECT_FALSE(object.starts_with(library)) << program << " loads " << object;
#ifndef TRELK_SANITIZED
      EXPECT_TRUE(object.starts_with("libc.so") || object.starts_with("libm.so") || object.starts_with("ld-linux") ||
                  object.starts_with("linux-vdso.so"))
          << program << " loads " << object;
#endif
    }
    EXPECT_TRUE(libc) << listing.out;
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
  fs::permissions(dir / "tree/bin/tool", fs::perms::owner_all);
  const std::string tools = TRELK_TOOLS_DIR;
  const std::vector<std::vector<std::string>> programs{
      {TRELK_BIN_DIR "/trelk-bootstrap", "--data-dir", (dir / "data").string(), "--cli", "--", "--help"},
      {tools + "/trelk-pack", "snapshot", (dir / "tree").string(), (dir / "tree.tar.zst").string(), "--build-id",
       "tree-1", "--executable", "bin/tool"},
      // Every signature scheme, through the library's own verifier, in a process of its own.
      {TRELK_BIN_DIR "/../tests/tuf_tests", "--gtest_filter=SignatureSchemes.*"}};
  const bool traced = fs::exists("/usr/bin/strace");
  for (auto command : programs) {
    const std::string name = command[0];
    if (traced)
      command.insert(command.begin(),
                     {"/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat", "-o", (dir / "trace").string()});
    const auto outcome = test::run_program(command[0], {command.begin() + 1, command.end()},
                                           {{"OPENSSL_CONF", config.string()},
                                            {"HOME", dir.path().string()},
                                            {"PATH", "/usr/bin:/bin"},
                                            {"ASAN_OPTIONS", "detect_leaks=0"}});
    EXPECT_EQ(outcome.status, 0) << name << outcome.out << outcome.err;
    if (traced) {
      EXPECT_EQ(test::read_file(dir / "trace").find(config.string()), std::string::npos) << name;
    }
  }
}

}  // namespace
}  // namespace trelk
