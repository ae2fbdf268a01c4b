// The HTTPS transport and resumable target downloads against real servers on loopback: nginx for honest
// answers, a scripted server for the answers nginx would never give. Resumed downloads: the state document's
// rules, the bounded scan, and what interrupted and damaged downloads leave behind, recovered by the next run.
// (A download killed at any moment is the real client command's story in tests/tuf/client_test.cpp.)
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/digest.hpp"
#include "snapshot/allocated_file.hpp"
#include "support/errors.hpp"
#include "support/https_servers.hpp"
#include "support/kill_points.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "transport/https_transport.hpp"
#include "transport/resume.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::HostileServer;
using test::NginxServer;
using test::ServerCert;

const std::string nonce(32, 'a');

// Files served on loopback and a download directory: big.bin for resumed downloads, data/ for the rest.
struct Loopback {
  test::TempDir dir;
  const test::TestPki& pki = test::shared_pki();
  fs::path out = dir / "out";
  std::string bytes = test::pattern_bytes(12 << 20);
  std::string scope = target_download_resume_scope("test", nullptr, "big.bin");
  json description = {{"length", bytes.size()}, {"hashes", {{"sha256", digest(bytes, "sha256")}}}};
  std::vector<std::string> events;

  Loopback() {
    test::write_file(dir / "files/big.bin", bytes);
    test::write_file(dir / "files/data/with space%.txt", "quoted");
    fs::create_directories(out);
  }
  HttpsTransport transport(const std::string& url, std::shared_ptr<HttpsBudget> budget = nullptr) const {
    return HttpsTransport(url, pki.ca, 0, std::move(budget));
  }
  void run(const std::string& base_url, const std::string& remote = "big.bin", const Progress& progress = {},
           const fs::path& destination = {}) {
    HttpsTransport to = transport(base_url);
    events.clear();
    resumed_target(to, {.target = "big.bin",
                        .remote = remote,
                        .destination = destination.empty() ? out / "big.bin" : destination,
                        .description = description,
                        .scope = scope,
                        .progress = progress,
                        .observer = [this](std::string_view event, std::string_view) { events.emplace_back(event); }});
  }
  std::set<std::string> names() const { return test::entry_names(out); }
  // The one state document's partial file name and parsed content.
  std::pair<std::string, json> state() const {
    for (const auto& name : names())
      if (name.ends_with(".resume.json"))
        return {name.substr(0, name.size() - 12), json::parse(test::read_file(out / name))};
    return {};
  }
  // A state document of target big.bin as a run of ours writes it.
  std::string state_text(const std::string& temporary, const std::string& of_scope, std::uint64_t received,
                         std::uint64_t length = 0) const {
    json state =
        json::parse(R"({"schema_version": 1, "kind": "trelk-target-resume", "target": "big.bin", "identity": [0, 0]})");
    state["temporary"] = temporary;
    state["scope_sha256"] = digest(of_scope, "sha256");
    state["prefix_sha256"] = digest(bytes.substr(0, received), "sha256");
    state["received"] = received;
    state["authorization"] = {{"length", length ? length : bytes.size()}, {"hashes", description["hashes"]}};
    return state.dump();
  }
};

std::string file_bytes(const fs::path& path) { return fs::exists(path) ? test::read_file(path) : std::string(); }

TEST(HttpsTransport, ServiceUrlsNamesAndResumeStatesAreCheckedBeforeAnyRequest) {
  Loopback served;
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

  for (const std::string& name : {std::string(), std::string("."), std::string(".."), std::string(8193, 'n')})
    EXPECT_TRELK_ERROR(transport.get_component(name, 10), "size_limit",
                       "Metadata filename exceeds its component bound");
  EXPECT_TRELK_ERROR(transport.get("x", (16ull << 20) + 1), "size_limit", "In-memory response limit exceeds 16 MiB");
  EXPECT_TRELK_ERROR(transport.post_json("t", json{{"pad", std::string(4096 - 9, 'x')}}, {}), "size_limit",
                     "Ticket request exceeds 4 KiB");
  test::write_file(served.dir / "report", "r");
  EXPECT_TRELK_ERROR(transport.upload_report("r", served.dir / "report", 0, std::string(64, 'a'), {}), "size_limit",
                     "Report upload exceeds 100 MiB");
  EXPECT_TRELK_ERROR(transport.upload_report("r", served.dir / "report", 1, std::string(64, 'A'), {}), "crash_ticket",
                     "Upload capability is invalid");
  fs::create_symlink(served.dir / "report", served.dir / "linked");
  EXPECT_TRELK_ERROR(transport.upload_report("r", served.dir / "linked", 1, std::string(64, 'a'), {}), "crash_changed",
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

  // A resume state document: each kind of fault is reported, and nothing else.
  const std::string temporary = "big.bin." + nonce + ".partial";
  const json valid = json::parse(served.state_text(temporary, "s", 10));
  const std::string unknown = "Unknown partial-download state was preserved; clear the disposable cache to retry";
  const std::string bounds = "Invalid partial-download bounds", named = "Partial-download nonce differs from its path";
  const std::vector<std::pair<std::function<void(json&)>, std::string>> faults{
      {[](json& s) { s["tenth"] = 1; }, unknown},
      {[](json& s) { s["schema_version"] = 2; }, unknown},
      {[](json& s) { s["identity"] = {1}; }, unknown},
      {[](json& s) { s["prefix_sha256"] = std::string(64, 'C'); }, unknown},
      {[](json& s) { s["received"] = (12 << 20) + 1; }, bounds},
      {[](json& s) { s["authorization"]["hashes"] = json::object(); }, bounds},
      {[](json& s) { s["target"] = "games/y.bin"; }, named},
      {[](json& s) { s["target"] = "../big.bin"; }, named},
  };
  for (const auto& [change, message] : faults) {
    json state = valid;
    change(state);
    EXPECT_TRELK_ERROR(validate_target_resume_state(state, temporary), "download_resume_state", message);
  }
}

TEST(HttpsTransport, RealServersAreTrustedOnlyWithTheirCertificateHostileAnswersAreRefusedAndResumesRecover) {
  Loopback served;
  NginxServer nginx(served.pki, served.dir / "files");
  // Proxies named by the environment are never used.
  test::ScopedEnv environment;
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
    environment.set(name, "http://127.0.0.1:9");
  HttpsTransport transport = served.transport(nginx.url());

  EXPECT_EQ(transport.get("data/with space%.txt", 6).body, "quoted");

  // A resume whose cursor is not the recorded prefix is refused before any request.
  AllocatedFile wrong(served.dir / "wrong.bin", 100000, ReservationCallback{});
  EXPECT_TRELK_ERROR(transport.download_into("big.bin", wrong, 1, {}, {}, {}), "download_range",
                     "Download cursor differs from the recorded prefix");

  // Certificates from another authority (an expired one fails the same chain check) or for another host are
  // refused before any byte is stored.
  for (const auto cert : {ServerCert::other_ca, ServerCert::wrong_host}) {
    NginxServer refusing(served.pki, served.dir / "files", cert);
    HttpsTransport untrusted = served.transport(refusing.url());
    const fs::path destination = served.dir / ("refused-" + std::to_string(static_cast<int>(cert)));
    EXPECT_EQ(test::thrown([&] { untrusted.download("big.bin", destination, 100000, {}); }).code, "network")
        << destination;
    EXPECT_EQ(file_bytes(destination).find_first_not_of('\0'), std::string::npos);
  }

  HostileServer hostile(served.pki);
  transport = served.transport(hostile.url());
  // A transfer that breaks off: what was stored before the refusal is the file's true beginning.
  AllocatedFile cut(served.dir / "short.bin", 1000, ReservationCallback{});
  EXPECT_EQ(test::thrown([&] { transport.download_into("short-body/1000", cut, 0, {}, {}, {}); }).code, "network");
  EXPECT_EQ(file_bytes(served.dir / "short.bin").substr(0, cut.written()), test::pattern_bytes(cut.written()));
  // An in-memory request (metadata) is not followed to the answer the redirect points at either.
  EXPECT_TRELK_ERROR(transport.get("redirect307/10", 100), "redirect_rejected", "Server redirects are not permitted");

  // An honest chunked answer is framed exactly and accepted; bytes past the declared length are
  // never read as part of the file.
  for (const std::string script : {"chunked", "long-body"}) {
    transport.download(script + "/1000", served.dir / (script + ".bin"), 1000, {});
    EXPECT_EQ(file_bytes(served.dir / (script + ".bin")), test::pattern_bytes(1000)) << script;
  }

  // The byte budget is shared by the requests of one check and runs out mid-transfer.
  auto budget = std::make_shared<HttpsBudget>(HttpsBudget{std::chrono::steady_clock::now() + 20s, 1500, 0, {}});
  HttpsTransport limited = served.transport(hostile.url(), budget);
  EXPECT_EQ(limited.get("ok/1000", 1000).body, test::pattern_bytes(1000));
  EXPECT_TRELK_ERROR(limited.get("ok/1000", 1000), "discovery_budget",
                     "Optional update check exhausted its response budget; use Check for updates for a complete check");

  // A stalled server ends with the check's time.
  auto soon = std::make_shared<HttpsBudget>(HttpsBudget{std::chrono::steady_clock::now() + 2s, 1 << 20, 0, {}});
  EXPECT_EQ(test::thrown([&] { served.transport(hostile.url(), soon).get("stall/1000", 1000); }).code,
            "discovery_timeout");

  // A report is streamed with its capability; one that grows or shrinks while it is sent is refused.
  const fs::path report = served.dir / "report.bin";
  test::write_file(report, test::pattern_bytes(10000));
  const std::string capability(64, 'c');
  EXPECT_EQ(transport.upload_report("json", report, 10000, capability, {}).body, test::pattern_bytes(10000));
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

  EXPECT_EQ(transport.post_json("json", json{{"kind", "ticket"}}, {}).body, R"({"kind":"ticket"})");

  // A resumed download whose connection drops, then whose range is ignored, never leaves a state that no longer
  // proves its prefix.
  const std::string size = std::to_string(served.bytes.size());
  // The connection drops half-way: what arrived is kept for the next attempt.
  EXPECT_EQ(test::thrown([&] { served.run(hostile.url(), "drop/" + size); }).code, "network");
  ASSERT_GT(served.state().second.at("received").get<std::uint64_t>(), 0u);
  // The server then ignores the range and sends everything. Each time the transfer reports progress, a kill
  // would leave the state on disk as it is now: its recorded prefix must be what its partial file holds.
  std::uint64_t last = 0, checked = 0;
  served.run(hostile.url(), "full-for-range/" + size, [&](std::uint64_t done, std::uint64_t) {
    if (done < last || (done > 0 && last == 0)) {
      ++checked;
      const auto [partial, document] = served.state();
      const std::string held = test::read_file(served.out / partial);
      const auto received = document.at("received").get<std::size_t>();
      EXPECT_TRUE(received <= held.size() && digest(held.substr(0, received), "sha256") == document.at("prefix_sha256"))
          << "at byte " << done;
    }
    last = done;
    return true;
  });
  EXPECT_GE(checked, 2u);  // the first report, and the fall back to byte zero when the whole file came instead
  EXPECT_EQ(served.events, (std::vector<std::string>{"resumed", "complete"}));

  // The resume scan removes the leftovers of a killed run, is bounded and preserves what it does not know.
  fs::remove(served.out / "big.bin");
  const auto partial = [](char c) { return "big.bin." + std::string(32, c) + ".partial"; };
  const std::string ours = partial('a'), ours_empty = partial('b'), unborn = partial('d');
  // Each leftover's name, content and whether the scan removes it.
  const std::vector<std::tuple<std::string, std::string, bool>> leftovers{
      // A state document whose partial file is gone.
      {ours + ".resume.json", served.state_text(ours, served.scope, 4096), true},
      // A state document that vouches for no byte yet, and its partial file.
      {ours_empty + ".resume.json", served.state_text(ours_empty, served.scope, 0), true},
      {ours_empty, served.bytes.substr(0, 5000), true},
      // An empty partial file that no state document explains, and an unfinished state-document write.
      {unborn, "", true},
      {unborn + ".resume.json." + nonce + ".tmp", "{", true},
      // Another scope's and another authorisation's downloads, a partial file with data but no document, and a
      // stranger's file.
      {partial('c') + ".resume.json", served.state_text(partial('c'), "another scope", 0), false},
      {partial('f') + ".resume.json", served.state_text(partial('f'), served.scope, 0, 7), false},
      {partial('e'), "data nobody vouches for", false},
      {"big.bin.notes", "", false},
  };
  std::set<std::string> kept{"big.bin"};
  for (const auto& [name, content, removed] : leftovers) {
    test::write_file(served.out / name, content);
    if (!removed) kept.insert(name);
  }
  served.run(nginx.url());
  EXPECT_EQ(test::read_file(served.out / "big.bin"), served.bytes);
  EXPECT_EQ(served.names(), kept);
  for (const auto& name : served.names()) fs::remove(served.out / name);

  EXPECT_TRELK_ERROR(served.run(nginx.url(), "big.bin", {}, served.out / "other-name.bin"), "unsafe_path",
                     "A resumable download must be named after its target");
  const fs::path odd = served.out / ("big.bin." + std::string(31, 'a') + ".partial.resume.json");
  test::write_file(odd, "{}");
  EXPECT_TRELK_ERROR(served.run(nginx.url()), "download_resume_state", "Unknown resume filename was preserved");
  // Under a name of ours, a document that is not a state document is preserved too.
  const fs::path unknown = served.out / ("big.bin." + nonce + ".partial.resume.json");
  fs::rename(odd, unknown);
  EXPECT_EQ(test::thrown([&] { served.run(nginx.url()); }).code, "download_resume_state");
  EXPECT_EQ(served.names(), std::set<std::string>{unknown.filename().string()});
  fs::remove(unknown);

  for (int i = 10; i < 43; ++i)  // 33 state documents, each under its own nonce
    test::write_file(served.out / (partial('a').replace(8, 2, std::to_string(i)) + ".resume.json"), "{}");
  EXPECT_TRELK_ERROR(served.run(nginx.url()), "download_resume_capacity",
                     "Retained partial downloads reached their capacity");
  for (const auto& entry : fs::directory_iterator(served.out)) fs::remove(entry.path());

  for (int i = 0; i < 4097; ++i) test::write_file(served.out / ("other-" + std::to_string(i)), "");
  EXPECT_TRELK_ERROR(served.run(nginx.url()), "size_limit", "Download directory exceeds its bounded resume scan");
  EXPECT_EQ(served.names().size(), 4097u);

  // A damaged partial file of ours starts over once from byte zero.
  const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> damages{
      {"shorter than recorded", [](const fs::path& file) { fs::resize_file(file, 1 << 20); }},
      {"a byte changed in the prefix",
       [](const fs::path& file) {
         std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
         stream.seekp(4096);
         stream.put('\x7f');
       }},
      {"restored from a copy",
       [](const fs::path& file) {
         fs::copy_file(file, file.string() + ".copy");
         fs::rename(file.string() + ".copy", file);
       }},
  };
  for (const auto& [damage, apply] : damages) {
    SCOPED_TRACE(damage);
    for (const auto& name : served.names()) fs::remove(served.out / name);
    const Progress stop = [](std::uint64_t done, std::uint64_t) { return done < (9 << 20); };
    EXPECT_EQ(test::thrown([&] { served.run(nginx.url(), "big.bin", stop); }).code, "cancelled");
    ASSERT_GT(served.state().second.at("received").get<std::uint64_t>(), 0u);
    apply(served.out / served.state().first);
    served.run(nginx.url());
    EXPECT_EQ(test::read_file(served.out / "big.bin"), served.bytes);
    EXPECT_EQ(served.events, (std::vector<std::string>{"prepared", "complete"}));
    EXPECT_EQ(served.names(), std::set<std::string>{"big.bin"});
  }
  // Stopped after its last byte was recorded, before the rename: the next run proves the whole and finishes.
  fs::remove(served.out / "big.bin");
  const Progress at_end = [](std::uint64_t done, std::uint64_t total) { return done < total; };
  EXPECT_EQ(test::thrown([&] { served.run(nginx.url(), "big.bin", at_end); }).code, "cancelled");
  ASSERT_EQ(served.state().second.at("received").get<std::uint64_t>(), served.bytes.size());
  served.run(nginx.url());
}

}  // namespace
}  // namespace trelk
