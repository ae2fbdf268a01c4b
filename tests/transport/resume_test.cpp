// Resumable target downloads: the state document's rules, the bounded scan, and interrupted
// transfers continued against the real loopback servers. (A download killed at any moment and continued
// from its last checkpoint is the real client command's story in tests/tuf/resume_kill_test.cpp.)
#include "transport/resume.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/digest.hpp"
#include "support/errors.hpp"
#include "support/https_servers.hpp"
#include "support/temp_dir.hpp"
#include "transport/https_transport.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::pattern_bytes;

const std::string nonce(32, 'a');

json description_of(const std::string& bytes) {
  return {{"length", bytes.size()}, {"hashes", {{"sha256", digest(bytes, "sha256")}}}};
}

json state_for(const std::string& target, const std::string& temporary) {
  return {{"schema_version", 1},
          {"kind", "trelk-target-resume"},
          {"target", target},
          {"temporary", temporary},
          {"scope_sha256", std::string(64, 'b')},
          {"prefix_sha256", std::string(64, 'c')},
          {"received", 10},
          {"identity", {1, 2}},
          {"authorization", {{"length", 100}, {"hashes", {{"sha256", std::string(64, 'd')}}}}}};
}

TEST(ResumeState, EachKindOfFaultIsReportedAndNothingElse) {
  const std::string temporary = "x.tar.zst." + nonce + ".partial";
  EXPECT_NO_THROW(validate_target_resume_state(state_for("games/x.tar.zst", temporary), temporary));
  const std::string unknown = "Unknown partial-download state was preserved; clear the disposable cache to retry";
  const std::vector<std::tuple<std::function<void(json&)>, std::string>> faults{
      {[](json& s) { s["tenth"] = 1; }, unknown},
      {[](json& s) { s["schema_version"] = 2; }, unknown},
      {[](json& s) { s["identity"] = {1}; }, unknown},
      {[](json& s) { s["prefix_sha256"] = std::string(64, 'C'); }, unknown},
      {[](json& s) { s["received"] = 101; }, "Invalid partial-download bounds"},
      {[](json& s) { s["authorization"]["hashes"] = json::object(); }, "Invalid partial-download bounds"},
      {[](json& s) { s["target"] = "games/y.tar.zst"; }, "Partial-download nonce differs from its path"},
      {[](json& s) { s["target"] = "../x.tar.zst"; }, "Partial-download nonce differs from its path"},
  };
  for (const auto& [change, message] : faults) {
    json state = state_for("games/x.tar.zst", temporary);
    change(state);
    EXPECT_TRELK_ERROR(validate_target_resume_state(state, temporary), "download_resume_state", message);
  }
  EXPECT_EQ(target_download_resume_scope("launcher", json{{"v", 1}}, "a/b"),
            R"({"kind":"launcher","reference":{"v":1},"target":"a/b"})");
}

struct Download {
  test::TempDir dir;
  const test::TestPki& pki = test::shared_pki();
  fs::path files = dir / "files";
  fs::path out = dir / "out";
  std::string bytes = pattern_bytes(24 << 20);
  std::string scope = target_download_resume_scope("test", nullptr, "big.bin");

  Download() {
    test::write_file(files / "big.bin", bytes);
    fs::create_directories(out);
  }
  // Runs the download; the progress callable may stop it.
  void run(test::NginxServer& server, const Progress& progress = {}, const json& description = {}) {
    HttpsTransport transport(server.url(), pki.ca, 0, nullptr);
    resumed_target(transport, {.target = "big.bin",
                               .remote = "big.bin",
                               .destination = out / "big.bin",
                               .description = description.is_null() ? description_of(bytes) : description,
                               .scope = scope,
                               .progress = progress});
  }
  std::vector<fs::path> leftovers() const {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(out))
      if (entry.path().filename() != "big.bin") names.push_back(entry.path().filename());
    return names;
  }
  json state() const {
    for (const auto& entry : fs::directory_iterator(out))
      if (entry.path().string().ends_with(".resume.json")) return json::parse(test::read_file(entry.path()));
    return {};
  }
};

TEST(ResumedTarget, NothingIsReusedThatCannotBeProven) {
  Download download;
  test::NginxServer nginx(download.pki, download.files);

  // The signed length changed: the old partial file is not this target any more and is left alone.
  json other = description_of(download.bytes);
  other["length"] = download.bytes.size() + 1;
  EXPECT_EQ(test::thrown([&] { download.run(nginx, {}, other); }).code, "length_mismatch");
  const auto stale = download.leftovers();
  ASSERT_EQ(stale.size(), 2u);
  download.run(nginx);
  EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
  EXPECT_EQ(download.leftovers(), stale);
}

TEST(ResumedTarget, TheScanIsBoundedAndPreservesWhatItDoesNotKnow) {
  Download download;
  test::NginxServer nginx(download.pki, download.files);
  HttpsTransport transport(nginx.url(), download.pki.ca, 0, nullptr);
  EXPECT_TRELK_ERROR(resumed_target(transport, {.target = "big.bin",
                                                .remote = "big.bin",
                                                .destination = download.out / "other-name.bin",
                                                .description = description_of(download.bytes),
                                                .scope = download.scope}),
                     "unsafe_path", "A resumable download must be named after its target");
  const fs::path odd = download.out / ("big.bin." + std::string(31, 'a') + ".partial.resume.json");
  test::write_file(odd, "{}");
  EXPECT_TRELK_ERROR(download.run(nginx), "download_resume_state", "Unknown resume filename was preserved");
  EXPECT_TRUE(fs::exists(odd));
  fs::remove(odd);

  json tenth = state_for("big.bin", "big.bin." + nonce + ".partial");
  tenth["tenth"] = true;
  test::write_file(download.out / ("big.bin." + nonce + ".partial.resume.json"), tenth.dump());
  EXPECT_EQ(test::thrown([&] { download.run(nginx); }).code, "download_resume_state");
  EXPECT_TRUE(fs::exists(download.out / ("big.bin." + nonce + ".partial.resume.json")));
  fs::remove(download.out / ("big.bin." + nonce + ".partial.resume.json"));

  for (int i = 0; i < 33; ++i) {
    std::string name = nonce;
    name[0] = static_cast<char>('0' + i / 10);
    name[1] = static_cast<char>('0' + i % 10);
    test::write_file(download.out / ("big.bin." + name + ".partial.resume.json"), "{}");
  }
  EXPECT_TRELK_ERROR(download.run(nginx), "download_resume_capacity",
                     "Retained partial downloads reached their capacity");
  for (const auto& entry : fs::directory_iterator(download.out)) fs::remove(entry.path());

  for (int i = 0; i < 4097; ++i) test::write_file(download.out / ("other-" + std::to_string(i)), "");
  EXPECT_TRELK_ERROR(download.run(nginx), "size_limit", "Download directory exceeds its bounded resume scan");
  EXPECT_EQ(std::distance(fs::directory_iterator(download.out), fs::directory_iterator()), 4097);
}

TEST(ResumedTarget, ARangeAnsweredWithTheWholeFileStartsOverAndADroppedConnectionResumes) {
  Download download;
  test::HostileServer hostile(download.pki);
  HttpsTransport transport(hostile.url(), download.pki.ca, 0, nullptr);
  const std::string bytes = pattern_bytes(3 << 20);
  const json description = description_of(bytes);
  auto run = [&](const std::string& script, const Progress& progress) {
    const std::string remote = script + "/" + std::to_string(bytes.size());
    resumed_target(transport, {.target = "big.bin",
                               .remote = remote,
                               .destination = download.out / "big.bin",
                               .description = description,
                               .scope = download.scope,
                               .progress = progress});
  };
  // The connection drops half-way: what arrived is kept, and the next attempt asks for the rest.
  EXPECT_EQ(test::thrown([&] { run("drop", {}); }).code, "network");
  const std::uint64_t kept = download.state().at("received").get<std::uint64_t>();
  EXPECT_GT(kept, 0u);
  // The server ignores the range and sends everything: the file starts over and still verifies.
  run("full-for-range", {});
  EXPECT_EQ(test::read_file(download.out / "big.bin"), bytes);
  EXPECT_TRUE(download.leftovers().empty());
}

}  // namespace
}  // namespace trelk
