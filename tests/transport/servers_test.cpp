// Self-check of the HTTPS server fixtures, using the curl command as the client.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/https_servers.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {
namespace {

struct ServersTest : ::testing::Test {
  TempDir dir;
  TestPki pki{dir.path()};

  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/curl")) GTEST_SKIP() << "the curl command is not installed";
  }
  Outcome curl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-sS", "--cacert", pki.ca.string()});
    return run_program("/usr/bin/curl", arguments, {{"PATH", "/usr/bin:/bin"}});
  }
};

TEST_F(ServersTest, NginxServesFilesAndRangesAndLogsThem) {
  write_file(dir / "www/file.bin", pattern_bytes(5000));
  NginxServer server(pki, dir / "www");
  EXPECT_EQ(curl({server.url() + "file.bin"}).out, pattern_bytes(5000));
  EXPECT_EQ(curl({"-r", "100-199", server.url() + "file.bin"}).out, pattern_bytes(100, 100));
  const auto log = server.access_log(2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], R"("GET /file.bin HTTP/1.1" 200 range="-" sent=5000)");
  EXPECT_EQ(log[1], R"("GET /file.bin HTTP/1.1" 206 range="bytes=100-199" sent=100)");

  NginxServer wrong_host(pki, dir / "www", ServerCert::wrong_host);
  EXPECT_EQ(curl({wrong_host.url() + "file.bin"}).status, 60);  // the peer's certificate was not accepted
}

TEST_F(ServersTest, HostileServerAnswersByScriptAndRecordsRequests) {
  HostileServer server(pki);
  EXPECT_EQ(curl({server.url() + "ok/1000"}).out, pattern_bytes(1000));
  EXPECT_EQ(curl({"-r", "10-19", server.url() + "ok/1000"}).out, pattern_bytes(10, 10));
  EXPECT_EQ(curl({"-L", server.url() + "redirect302/300"}).out, pattern_bytes(300));
  EXPECT_EQ(curl({"--data-binary", R"({"a":1})", server.url() + "json"}).out, R"({"a":1})");
  EXPECT_EQ(curl({server.url() + "short-body/100"}).status, 18);  // the body ended early
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_TRUE(requests[1].starts_with("GET /ok/1000 HTTP/1.1\r\n"));
  EXPECT_NE(requests[1].find("\r\nRange: bytes=10-19\r\n"), std::string::npos);
  EXPECT_TRUE(requests[4].ends_with("\r\n\r\n{\"a\":1}"));

  for (auto cert : {ServerCert::other_ca, ServerCert::expired}) {
    HostileServer untrusted(pki, cert);
    EXPECT_EQ(curl({untrusted.url() + "ok/10"}).status, 60);
    EXPECT_TRUE(untrusted.requests().empty());
  }
}

}  // namespace
}  // namespace trelk::test
