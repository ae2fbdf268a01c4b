// Resumable target downloads against the real loopback servers: the state document's rules, the bounded scan,
// and what interrupted and damaged downloads leave behind, recovered by the next run of the same download.
// (A download killed at any moment is the real client command's story in tests/tuf/client_test.cpp.)
#include "transport/resume.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "support/errors.hpp"
#include "support/https_servers.hpp"
#include "support/temp_dir.hpp"
#include "transport/https_transport.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

const std::string nonce(32, 'a');

struct Download {
  test::TempDir dir;
  const test::TestPki& pki = test::shared_pki();
  fs::path out = dir / "out";
  std::string bytes = test::pattern_bytes(12 << 20);
  std::string scope = target_download_resume_scope("test", nullptr, "big.bin");
  json description = {{"length", bytes.size()}, {"hashes", {{"sha256", digest(bytes, "sha256")}}}};
  std::vector<std::string> events;

  Download() {
    test::write_file(dir / "files/big.bin", bytes);
    fs::create_directories(out);
  }
  void run(const std::string& base_url, const std::string& remote = "big.bin", const Progress& progress = {},
           const fs::path& destination = {}) {
    HttpsTransport transport(base_url, pki.ca, 0, nullptr);
    events.clear();
    resumed_target(transport,
                   {.target = "big.bin",
                    .remote = remote,
                    .destination = destination.empty() ? out / "big.bin" : destination,
                    .description = description,
                    .scope = scope,
                    .progress = progress,
                    .observer = [this](std::string_view event, std::string_view) { events.emplace_back(event); }});
  }
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(out)) found.insert(entry.path().filename().string());
    return found;
  }
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

TEST(ResumeState, EachKindOfFaultIsReportedAndNothingElse) {
  const std::string temporary = "big.bin." + nonce + ".partial";
  Download download;
  const json valid = json::parse(download.state_text(temporary, "s", 10));
  EXPECT_NO_THROW(validate_target_resume_state(valid, temporary));
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

TEST(ResumedTarget, TheScanRemovesTheLeftoversOfAKilledRunIsBoundedAndPreservesWhatItDoesNotKnow) {
  Download download;
  test::NginxServer nginx(download.pki, download.dir / "files");
  const auto partial = [](char c) { return "big.bin." + std::string(32, c) + ".partial"; };
  const std::string ours = partial('a'), ours_empty = partial('b'), unborn = partial('d');
  struct Leftover {
    std::string name, content;
    bool removed;
  };
  const std::vector<Leftover> leftovers{
      // A state document whose partial file is gone.
      {ours + ".resume.json", download.state_text(ours, download.scope, 4096), true},
      // A state document that vouches for no byte yet, and its partial file.
      {ours_empty + ".resume.json", download.state_text(ours_empty, download.scope, 0), true},
      {ours_empty, download.bytes.substr(0, 5000), true},
      // An empty partial file that no state document explains, and an unfinished state-document write.
      {unborn, "", true},
      {unborn + ".resume.json." + nonce + ".tmp", "{", true},
      // Another scope's and another authorisation's downloads, a partial file with data but no document, and a
      // stranger's file.
      {partial('c') + ".resume.json", download.state_text(partial('c'), "another scope", 0), false},
      {partial('f') + ".resume.json", download.state_text(partial('f'), download.scope, 0, 7), false},
      {partial('e'), "data nobody vouches for", false},
      {"big.bin.notes", "", false},
  };
  std::set<std::string> kept{"big.bin"};
  for (const auto& leftover : leftovers) {
    test::write_file(download.out / leftover.name, leftover.content);
    if (!leftover.removed) kept.insert(leftover.name);
  }
  download.run(nginx.url());
  EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
  EXPECT_EQ(download.names(), kept);
  for (const auto& name : download.names()) fs::remove(download.out / name);

  EXPECT_TRELK_ERROR(download.run(nginx.url(), "big.bin", {}, download.out / "other-name.bin"), "unsafe_path",
                     "A resumable download must be named after its target");
  const fs::path odd = download.out / ("big.bin." + std::string(31, 'a') + ".partial.resume.json");
  test::write_file(odd, "{}");
  EXPECT_TRELK_ERROR(download.run(nginx.url()), "download_resume_state", "Unknown resume filename was preserved");
  // Under a name of ours, a document that is not a state document is preserved too.
  const fs::path unknown = download.out / ("big.bin." + nonce + ".partial.resume.json");
  fs::rename(odd, unknown);
  EXPECT_EQ(test::thrown([&] { download.run(nginx.url()); }).code, "download_resume_state");
  EXPECT_EQ(download.names(), std::set<std::string>{unknown.filename().string()});
  fs::remove(unknown);

  for (int i = 10; i < 43; ++i)  // 33 state documents, each under its own nonce
    test::write_file(download.out / (partial('a').replace(8, 2, std::to_string(i)) + ".resume.json"), "{}");
  EXPECT_TRELK_ERROR(download.run(nginx.url()), "download_resume_capacity",
                     "Retained partial downloads reached their capacity");
  for (const auto& entry : fs::directory_iterator(download.out)) fs::remove(entry.path());

  for (int i = 0; i < 4097; ++i) test::write_file(download.out / ("other-" + std::to_string(i)), "");
  EXPECT_TRELK_ERROR(download.run(nginx.url()), "size_limit", "Download directory exceeds its bounded resume scan");
  EXPECT_EQ(download.names().size(), 4097u);
}

TEST(ResumeRecovery, ADamagedPartialFileOfOursStartsOverOnceFromByteZero) {
  Download download;
  test::NginxServer nginx(download.pki, download.dir / "files");
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
    for (const auto& name : download.names()) fs::remove(download.out / name);
    const Progress stop = [](std::uint64_t done, std::uint64_t) { return done < (9 << 20); };
    EXPECT_EQ(test::thrown([&] { download.run(nginx.url(), "big.bin", stop); }).code, "cancelled");
    ASSERT_GT(download.state().second.at("received").get<std::uint64_t>(), 0u);
    apply(download.out / download.state().first);
    download.run(nginx.url());
    EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
    EXPECT_EQ(download.events, (std::vector<std::string>{"prepared", "complete"}));
    EXPECT_EQ(download.names(), std::set<std::string>{"big.bin"});
  }
  // Stopped after its last byte was recorded, before the rename: the next run proves the whole and finishes.
  for (const auto& name : download.names()) fs::remove(download.out / name);
  const Progress at_end = [](std::uint64_t done, std::uint64_t total) { return done < total; };
  EXPECT_EQ(test::thrown([&] { download.run(nginx.url(), "big.bin", at_end); }).code, "cancelled");
  ASSERT_EQ(download.state().second.at("received").get<std::uint64_t>(), download.bytes.size());
  download.run(nginx.url());
  EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
}

TEST(ResumeRecovery, AResumeAnsweredWithTheWholeFileNeverLeavesAStateThatNoLongerProves) {
  Download download;
  test::HostileServer hostile(download.pki);
  const std::string size = std::to_string(download.bytes.size());
  // The connection drops half-way: what arrived is kept for the next attempt.
  EXPECT_EQ(test::thrown([&] { download.run(hostile.url(), "drop/" + size); }).code, "network");
  ASSERT_GT(download.state().second.at("received").get<std::uint64_t>(), 0u);
  // The server then ignores the range and sends everything. Each time the transfer reports progress, a kill
  // would leave the state on disk as it is now: its recorded prefix must be what its partial file holds.
  std::uint64_t last = 0, checked = 0;
  download.run(hostile.url(), "full-for-range/" + size, [&](std::uint64_t done, std::uint64_t) {
    if (done < last || (done > 0 && last == 0)) {
      ++checked;
      const auto [partial, document] = download.state();
      const std::string held = test::read_file(download.out / partial);
      const auto received = document.at("received").get<std::size_t>();
      EXPECT_TRUE(received <= held.size() && digest(held.substr(0, received), "sha256") == document.at("prefix_sha256"))
          << "at byte " << done;
    }
    last = done;
    return true;
  });
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(download.events, (std::vector<std::string>{"resumed", "complete"}));
  EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
  EXPECT_EQ(download.names(), std::set<std::string>{"big.bin"});
}

}  // namespace
}  // namespace trelk
