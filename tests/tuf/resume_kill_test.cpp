// The real trelk-tuf, killed while it downloads a large target, run again: it continues from its last
// checkpoint (the range it asks nginx for is the recorded prefix) and ends with the exact target.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/kill_points.hpp"
#include "support/run_program.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;

struct KilledDownload {
  test::ServedRepository served;
  std::string bytes = test::pattern_bytes(24 << 20);
  fs::path out = served.dir / "out";

  KilledDownload() { served.publish_target("big.bin", bytes); }

  std::vector<std::string> arguments(const std::string& scope, bool slow) const {
    std::vector<std::string> words{"--metadata-url",    served.nginx.url() + "metadata/",
                                   "--metadata-dir",    served.state.string(),
                                   "--ca-bundle",       served.pki.ca.string(),
                                   "--target-base-url", served.nginx.url() + "targets/",
                                   "--target-dir",      out.string(),
                                   "--target-name",     "big.bin",
                                   "--resume-scope",    scope};
    if (slow) words.insert(words.end(), {"--download-limit", std::to_string(48 << 20)});
    words.push_back("download");
    return words;
  }
  static fs::path tool() { return fs::path(TRELK_TOOLS_DIR) / "trelk-tuf"; }

  // Bytes the state document says are safe to reuse (0 without one).
  std::uint64_t recorded() const {
    if (!fs::exists(out)) return 0;
    for (const auto& entry : fs::directory_iterator(out))
      if (entry.path().string().ends_with(".resume.json"))
        return json::parse(read_file(entry.path())).at("received").get<std::uint64_t>();
    return 0;
  }
  // The Range header of the last request for the target.
  std::string last_range() const {
    std::string range = "none";
    for (const auto& line : served.nginx.access_log())
      if (line.find("GET /targets/big.bin") != std::string::npos) range = line.substr(line.find("range="));
    return range;
  }
};

TEST(ResumeAfterKill, EveryKillContinuesFromItsLastCheckpointToTheExactTarget) {
  std::string skip;
  const auto strace = test::usable_strace(skip);
  if (!strace) GTEST_SKIP() << skip;
  KilledDownload download;
  // The metadata is current after a first download, so every kill point below belongs to the download.
  const test::Command command{KilledDownload::tool(), download.arguments("test", false), {{"PATH", "/usr/bin:/bin"}}};
  ASSERT_EQ(test::run_program(command.program, command.arguments, {}).status, 0);
  fs::remove_all(download.out);
  test::Outcome reference;
  const auto points = test::sample_kill_points(test::kill_points(*strace, command, reference), 12);
  ASSERT_EQ(reference.status, 0) << reference.err;
  for (const auto& point : points) {
    SCOPED_TRACE(point.text());
    fs::remove_all(download.out);
    test::run_killed(*strace, command, point);
    // A kill after the rename leaves the whole target: the next run fetches nothing and only tidies up.
    const std::uint64_t received = fs::exists(download.out / "big.bin") ? 0 : download.recorded();
    const auto finished = test::run_program(command.program, command.arguments, {});
    ASSERT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(read_file(download.out / "big.bin"), download.bytes);
    if (received > 0) {
      download.served.nginx.access_log(1);
      EXPECT_EQ(download.last_range(), "range=\"bytes=" + std::to_string(received) + "-" +
                                           std::to_string(download.bytes.size() - 1) +
                                           "\" sent=" + std::to_string(download.bytes.size() - received));
    }
    // Nothing of the interrupted download is left beside the target.
    EXPECT_EQ(std::distance(fs::directory_iterator(download.out), fs::directory_iterator()), 1);
  }
}

TEST(ResumeAfterKill, AKillDuringACheckpointWriteAndAChangedScopeReuseNothingUnproven) {
  std::string why;
  const auto strace = test::usable_strace(why);
  if (!strace) GTEST_SKIP() << why;
  KilledDownload download;
  // The second state-document rename is a checkpoint in the middle of the transfer.
  EXPECT_NE(
      test::run_killed(*strace, {KilledDownload::tool(), download.arguments("test", true), {}}, {"renameat", 6}).status,
      0);
  const std::uint64_t received = download.recorded();
  EXPECT_GT(received, 0u);

  // Another scope may not use this partial file: the download starts from zero and the old one stays.
  const auto other = test::run_program(KilledDownload::tool(), download.arguments("other", false), {});
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(read_file(download.out / "big.bin"), download.bytes);
  download.served.nginx.access_log(1);
  EXPECT_EQ(download.last_range().substr(0, 11), "range=\"-\" s");
  EXPECT_EQ(download.recorded(), received);
}

}  // namespace
}  // namespace trelk
