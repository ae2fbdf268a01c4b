// The HTTPS transport against real servers on loopback: nginx for honest answers, a scripted
// server for the answers nginx would never give.
#include "transport/https_transport.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "snapshot/allocated_file.hpp"
#include "support/errors.hpp"
#include "support/https_servers.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::HostileServer;
using test::NginxServer;
using test::ServerCert;
using test::TestPki;

struct Servers {
  test::TempDir dir;
  const TestPki& pki = test::shared_pki();
  fs::path files = dir / "files", out = dir.path();

  Servers() {
    test::write_file(files / "data/file.bin", test::pattern_bytes(100000));
    test::write_file(files / "data/with space%.txt", "quoted");
  }
  HttpsTransport transport(const std::string& url, std::shared_ptr<HttpsBudget> budget = nullptr) const {
    return HttpsTransport(url, pki.ca, 0, std::move(budget));
  }
};

std::string file_bytes(const fs::path& path) { return fs::exists(path) ? test::read_file(path) : std::string(); }

TEST(HttpsTransport, ServiceUrlsAndNamesAreCheckedBeforeAnyRequest) {
  test::TempDir dir;
  const std::string any = "Service URL must not contain credentials, query, or fragment";
  EXPECT_TRELK_ERROR(HttpsTransport("http://localhost/", {}, 0, nullptr), "https_required",
                     "Trelk service URLs must use HTTPS");
  for (const char* url :
       {"https://user@localhost/", "https://u:p@localhost/", "https://localhost/?q=1", "https://localhost/#top"})
    EXPECT_TRELK_ERROR(HttpsTransport(url, {}, 0, nullptr), "invalid_url", any) << url;
  EXPECT_TRELK_ERROR(HttpsTransport("https://localhost/", {}, (1ull << 30) + 1, nullptr), "download_limit",
                     "Download limit exceeds 1 GiB/s");
  EXPECT_NO_THROW(HttpsTransport("https://localhost/", {}, 1ull << 30, nullptr));

  HttpsTransport transport("https://localhost:8443/repo", {}, 0, nullptr);
  EXPECT_EQ(transport.url("targets/a b%c~d.json"), "https://localhost:8443/repo/targets/a%20b%25c~d.json");
  EXPECT_EQ(quote_url("a/b", false), "a%2Fb");
  EXPECT_THROW(transport.url("../escape"), Error);

  const std::string component = "Metadata filename exceeds its component bound";
  for (const std::string& name : {std::string(), std::string("."), std::string(".."), std::string(8193, 'n')})
    EXPECT_TRELK_ERROR(transport.get_component(name, 10), "size_limit", component);
  EXPECT_TRELK_ERROR(transport.get("x", (16ull << 20) + 1), "size_limit", "In-memory response limit exceeds 16 MiB");
  EXPECT_TRELK_ERROR(transport.post_json("t", json{{"pad", std::string(4096 - 9, 'x')}}, {}), "size_limit",
                     "Ticket request exceeds 4 KiB");
  test::write_file(dir / "report", "r");
  const std::string capability(64, 'a');
  EXPECT_TRELK_ERROR(transport.upload_report("r", dir / "report", 0, capability, {}), "size_limit",
                     "Report upload exceeds 100 MiB");
  EXPECT_TRELK_ERROR(transport.upload_report("r", dir / "report", 1, std::string(64, 'A'), {}), "crash_ticket",
                     "Upload capability is invalid");
  fs::create_symlink(dir / "report", dir / "linked");
  EXPECT_TRELK_ERROR(transport.upload_report("r", dir / "linked", 1, capability, {}), "crash_changed",
                     "Frozen upload snapshot is invalid");

  // A budget that is already spent, or that reaches further than an optional check may, stops before
  // any connection (nothing listens on port 9 here, which would be a network error instead).
  for (const auto deadline : {std::chrono::steady_clock::now() - 1s, std::chrono::steady_clock::now() + 31s}) {
    auto budget = std::make_shared<HttpsBudget>(HttpsBudget{deadline, 1000, 0, {}});
    EXPECT_TRELK_ERROR(HttpsTransport("https://127.0.0.1:9/", {}, 0, budget).get("x", 10), "discovery_timeout",
                       "Optional update check exhausted its time budget");
  }
  auto cancelled =
      std::make_shared<HttpsBudget>(HttpsBudget{std::chrono::steady_clock::now() + 10s, 1000, 0, [] { return true; }});
  EXPECT_TRELK_ERROR(HttpsTransport("https://127.0.0.1:9/", {}, 0, cancelled).get("x", 10), "cancelled",
                     "Optional update check cancelled");
}

TEST(HttpsTransport, NginxServesMemoryAnswersAndFilesOnlyWithATrustedCertificate) {
  Servers servers;
  NginxServer nginx(servers.pki, servers.files);
  // Proxies named by the environment are never used.
  test::ScopedEnv environment;
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
    environment.set(name, "http://127.0.0.1:9");
  HttpsTransport transport = servers.transport(nginx.url());

  const auto answer = transport.get("data/with space%.txt", 6);
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.body, "quoted");

  // A whole file, with progress; the length is an upper bound.
  std::uint64_t reported = 0;
  transport.download("data/file.bin", servers.out / "whole.bin", 200000, [&](std::uint64_t done, std::uint64_t) {
    reported = done;
    return true;
  });
  EXPECT_EQ(file_bytes(servers.out / "whole.bin"), test::pattern_bytes(100000));
  EXPECT_EQ(reported, 100000u);

  // A resume whose cursor is not the recorded prefix is refused before any request.
  AllocatedFile wrong(servers.out / "wrong.bin", 100000, ReservationCallback{});
  EXPECT_TRELK_ERROR(transport.download_into("data/file.bin", wrong, 1, {}, {}, {}), "download_range",
                     "Download cursor differs from the recorded prefix");

  // Certificates from another authority (an expired one fails the same chain check) or for another host are
  // refused before any byte is stored.
  for (const auto cert : {ServerCert::other_ca, ServerCert::wrong_host}) {
    SCOPED_TRACE(static_cast<int>(cert));
    NginxServer refusing(servers.pki, servers.files, cert);
    HttpsTransport untrusted = servers.transport(refusing.url());
    EXPECT_EQ(test::thrown([&] { untrusted.get("data/with space%.txt", 100); }).code, "network");
    const fs::path destination = servers.out / ("refused-" + std::to_string(static_cast<int>(cert)));
    EXPECT_EQ(test::thrown([&] { untrusted.download("data/file.bin", destination, 100000, {}); }).code, "network");
    EXPECT_EQ(file_bytes(destination).find_first_not_of('\0'), std::string::npos);
  }
}

TEST(HttpsTransport, HostileAnswersAreRefusedAndBudgetsAndUploadsHold) {
  Servers servers;
  HostileServer hostile(servers.pki);
  HttpsTransport transport = servers.transport(hostile.url());
  // Framing libcurl would undo or forgive, and transfers that break off: what was stored before the refusal is
  // the file's true beginning.
  for (const auto& [script, code] : std::vector<std::pair<std::string, std::string>>{
           {"gzip", "download_headers"}, {"short-body", "network"}, {"drop", "network"}}) {
    SCOPED_TRACE(script);
    AllocatedFile file(servers.out / (script + ".bin"), 1000, ReservationCallback{});
    EXPECT_EQ(test::thrown([&] { transport.download_into(script + "/1000", file, 0, {}, {}, {}); }).code, code);
    EXPECT_EQ(file_bytes(servers.out / (script + ".bin")).substr(0, file.written()),
              test::pattern_bytes(file.written()));
  }
  // An in-memory request (metadata) is not followed to the answer the redirect points at either.
  EXPECT_TRELK_ERROR(transport.get("redirect307/10", 100), "redirect_rejected", "Server redirects are not permitted");

  // An honest chunked answer is framed exactly and accepted; bytes past the declared length are
  // never read as part of the file.
  for (const std::string script : {"chunked", "long-body"}) {
    transport.download(script + "/1000", servers.out / (script + ".bin"), 1000, {});
    EXPECT_EQ(file_bytes(servers.out / (script + ".bin")), test::pattern_bytes(1000)) << script;
  }

  // The byte budget is shared by the requests of one check and runs out mid-transfer.
  auto budget = std::make_shared<HttpsBudget>(HttpsBudget{std::chrono::steady_clock::now() + 20s, 1500, 0, {}});
  HttpsTransport limited = servers.transport(hostile.url(), budget);
  EXPECT_EQ(limited.get("ok/1000", 1000).body, test::pattern_bytes(1000));
  EXPECT_TRELK_ERROR(limited.get("ok/1000", 1000), "discovery_budget",
                     "Optional update check exhausted its response budget; use Check for updates for a complete check");

  // A stalled server ends with the check's time.
  auto soon = std::make_shared<HttpsBudget>(HttpsBudget{std::chrono::steady_clock::now() + 2s, 1 << 20, 0, {}});
  EXPECT_EQ(test::thrown([&] { servers.transport(hostile.url(), soon).get("stall/1000", 1000); }).code,
            "discovery_timeout");

  // A report is streamed with its capability; one that grows or shrinks while it is sent is refused.
  const fs::path report = servers.out / "report.bin";
  test::write_file(report, test::pattern_bytes(10000));
  const std::string capability(64, 'c');
  const auto echoed = transport.upload_report("json", report, 10000, capability, {});
  EXPECT_EQ(echoed.status, 200u);
  EXPECT_EQ(echoed.body, test::pattern_bytes(10000));
  EXPECT_NE(hostile.requests().find("Authorization: Bearer " + capability), std::string::npos);
  for (const std::size_t changed_size : {(4 << 20) + 1, 1 << 20}) {
    test::write_file(report, test::pattern_bytes(4 << 20));
    const auto change = [&](std::uint64_t done, std::uint64_t) {
      if (done > 0 && fs::file_size(report) == 4 << 20) test::write_file(report, test::pattern_bytes(changed_size));
      return true;
    };
    EXPECT_TRELK_ERROR(transport.upload_report("status/200", report, 4 << 20, capability, change), "crash_changed",
                       "Frozen upload snapshot changed during transfer");
  }

  const auto posted = transport.post_json("json", json{{"kind", "ticket"}}, {});
  EXPECT_EQ(posted.status, 200u);
  EXPECT_EQ(posted.body, R"({"kind":"ticket"})");
}

}  // namespace
}  // namespace trelk
