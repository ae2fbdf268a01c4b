// What interrupted and damaged downloads leave behind is recovered by the next run of the same download:
// a partial file of ours that no longer proves starts over, the leftovers of a killed run are removed,
// and nothing that is not provably ours is touched.
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
#include "transport/resume.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

struct Recovery {
  test::TempDir dir;
  test::TestPki pki{dir / "pki"};
  fs::path out = dir / "out";
  std::string bytes = test::pattern_bytes(12 << 20);
  std::string scope = target_download_resume_scope("test", nullptr, "big.bin");
  json description = {{"length", bytes.size()}, {"hashes", {{"sha256", digest(bytes, "sha256")}}}};
  std::vector<std::string> events;

  Recovery() {
    test::write_file(dir / "files/big.bin", bytes);
    fs::create_directories(out);
  }
  void run(const std::string& base_url, const std::string& remote, const Progress& progress = {}) {
    HttpsTransport transport(base_url, pki.ca, 0, nullptr);
    events.clear();
    resumed_target(transport,
                   {.target = "big.bin",
                    .remote = remote,
                    .destination = out / "big.bin",
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
  // Whether the state document's recorded prefix is what its partial file holds now.
  bool state_proves() const {
    const auto [partial, document] = state();
    const std::string held = test::read_file(out / partial);
    const auto received = document.at("received").get<std::size_t>();
    return received <= held.size() && digest(held.substr(0, received), "sha256") == document.at("prefix_sha256");
  }
};

Progress stop_after(std::uint64_t limit) {
  return [limit](std::uint64_t done, std::uint64_t) { return done < limit; };
}

TEST(ResumeRecovery, ADamagedPartialFileOfOursStartsOverOnceFromByteZero) {
  Recovery download;
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
    EXPECT_EQ(test::thrown([&] { download.run(nginx.url(), "big.bin", stop_after(9 << 20)); }).code, "cancelled");
    ASSERT_GT(download.state().second.at("received").get<std::uint64_t>(), 0u);
    apply(download.out / download.state().first);
    download.run(nginx.url(), "big.bin");
    EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
    EXPECT_EQ(download.events, (std::vector<std::string>{"prepared", "complete"}));
    EXPECT_EQ(download.names(), std::set<std::string>{"big.bin"});
  }
}

TEST(ResumeRecovery, TheLeftoversOfAKilledRunAreRemovedAndNothingElse) {
  Recovery download;
  test::NginxServer nginx(download.pki, download.dir / "files");
  const std::string nonce(32, 'a'), other(32, 'b'), third(32, 'c'), fourth(32, 'd');
  auto state = [&](const std::string& temporary, const std::string& scope, std::uint64_t received) {
    return json{{"schema_version", 1},
                {"kind", "trelk-target-resume"},
                {"target", "big.bin"},
                {"temporary", temporary},
                {"scope_sha256", digest(scope, "sha256")},
                {"prefix_sha256", digest(download.bytes.substr(0, received), "sha256")},
                {"received", received},
                {"identity", {0, 0}},
                {"authorization", {{"length", download.bytes.size()}, {"hashes", download.description["hashes"]}}}}
        .dump();
  };
  const std::string ours = "big.bin." + nonce + ".partial", ours_empty = "big.bin." + other + ".partial";
  const std::string theirs = "big.bin." + third + ".partial", unborn = "big.bin." + fourth + ".partial";
  struct Leftover {
    std::string name, content;
    bool removed;
  };
  const std::vector<Leftover> leftovers{
      // A state document whose partial file is gone.
      {ours + ".resume.json", state(ours, download.scope, 4096), true},
      // A state document that vouches for no byte yet, and its partial file.
      {ours_empty + ".resume.json", state(ours_empty, download.scope, 0), true},
      {ours_empty, download.bytes.substr(0, 5000), true},
      // An empty partial file that no state document explains, and an unfinished state-document write.
      {unborn, "", true},
      {unborn + ".resume.json." + nonce + ".tmp", "{", true},
      // Another scope's download, a partial file with data but no document, and a stranger's file.
      {theirs + ".resume.json", state(theirs, "another scope", 0), false},
      {"big.bin." + std::string(32, 'e') + ".partial", "data nobody vouches for", false},
      {"big.bin.notes", "", false},
  };
  std::set<std::string> kept{"big.bin"};
  for (const auto& leftover : leftovers) {
    test::write_file(download.out / leftover.name, leftover.content);
    if (!leftover.removed) kept.insert(leftover.name);
  }
  download.run(nginx.url(), "big.bin");
  EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
  EXPECT_EQ(download.names(), kept);
}

TEST(ResumeRecovery, AResumeAnsweredWithTheWholeFileNeverLeavesAStateThatNoLongerProves) {
  Recovery download;
  test::HostileServer hostile(download.pki);
  const std::string size = std::to_string(download.bytes.size());
  EXPECT_EQ(test::thrown([&] { download.run(hostile.url(), "drop/" + size); }).code, "network");
  ASSERT_GT(download.state().second.at("received").get<std::uint64_t>(), 0u);
  // Each time the transfer reports progress, a kill would leave the state on disk as it is now.
  std::uint64_t last = 0, checked = 0;
  download.run(hostile.url(), "full-for-range/" + size, [&](std::uint64_t done, std::uint64_t) {
    if (done < last || (done > 0 && last == 0)) {
      ++checked;
      EXPECT_TRUE(download.state_proves()) << "at byte " << done;
    }
    last = done;
    return true;
  });
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(test::read_file(download.out / "big.bin"), download.bytes);
}

}  // namespace
}  // namespace trelk
