// The reference tools: the publisher's repository tool and the progress line a person sees on a terminal (the
// installer killed at any of its mutating calls is the installed update cycle's crash story).
//
// What a client accepts of the repository tool's output (every scheme and threshold, delegations, hash bins,
// consistent names, root and key rotation) is proven by the trusted client's tests, which publish every state with
// it; here is what only the publisher sees: the published form, the plan's version bumps, the command, its time
// and bin arithmetic and its private keys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/digest.hpp"
#include "core/paths.hpp"
#include "progress_line.hpp"
#include "repository.hpp"
#include "support/errors.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"
#include "tuf/keys.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

// A published metadata file: what the client's reader accepts, in sorted compact form.
json published(const Repository& repo, const std::string& file) {
  const std::string text = test::read_file(repo.metadata_dir() / file);
  json document = parse_json(text, text.size());
  EXPECT_EQ(document.dump(), text) << file;
  return document;
}

// What the client needs of a publication (every name under consistent snapshots, delegated signing, hash bins) the
// client's tests prove; here is what it accepts either way (compact sorted documents, lean snapshot entries), the
// command's output and version bumps, and a root rotation that keeps the old keys.
TEST(Repository, TheCommandPublishesLeanCompactDocumentsBumpsOnlyWhatChangedAndMayKeepTheOldRootKeys) {
  test::TempDir dir;
  const fs::path repo = dir / "repo";
  const auto cli = [&](std::vector<std::string> args, int status = 0) {
    args.insert(args.begin(), path_utf8(repo));
    const test::Outcome outcome = test::run_program(TRELK_TOOLS_DIR "/trelk-repo", args, {});
    EXPECT_EQ(outcome.status, status) << outcome.err;
    return status == 0 ? outcome.out : outcome.err;
  };
  cli({"init", "--root", "ed25519,ml-dsa-65/1", "--root-threshold", "2", "--consistent", "--no-meta-length",
       "--no-meta-hashes"});
  EXPECT_EQ(fs::status(repo / "keys").permissions(), fs::perms::owner_all);
  EXPECT_EQ(cli({"delegate", "bins", "--from", "targets", "--bins", "16"}).size(), 16 * 7u);
  test::write_file(dir / "readme.txt", "read me");
  const std::string bin = "bins-" + digest("readme.txt", "sha256").substr(0, 1);
  EXPECT_EQ(
      cli({"add-target", "readme.txt", path_utf8(dir / "readme.txt"), "--role", "auto", "--custom", R"({"tag":1})"}),
      bin + "\n");
  std::string first;
  for (char prefix : std::string("0123456789abcdef")) first += "bins-" + std::string(1, prefix) + " 1\n";
  EXPECT_EQ(cli({"publish"}), first + "targets 2\nsnapshot 2\ntimestamp 2\n");
  EXPECT_EQ(cli({"add-target", "notes.txt", path_utf8(dir / "readme.txt")}), "targets\n");
  EXPECT_EQ(cli({"publish"}), "targets 3\nsnapshot 3\ntimestamp 3\n");
  const Repository opened = Repository::open(repo);
  EXPECT_EQ(published(opened, bin + ".json")["signed"]["targets"]["readme.txt"]["custom"], json({{"tag", 1}}));
  EXPECT_EQ(published(opened, "snapshot.json")["signed"]["meta"]["targets.json"], json({{"version", 3}}));
  const std::string snapshot = test::read_file(opened.metadata_dir() / "snapshot.json");
  EXPECT_EQ(published(opened, "timestamp.json")["signed"]["meta"]["snapshot.json"],
            json({{"version", 3}, {"length", snapshot.size()}, {"hashes", {{"sha256", digest(snapshot, "sha256")}}}}));
  const json root = opened.document("root");
  EXPECT_EQ(root["signed"]["roles"]["root"]["threshold"], 2);
  EXPECT_EQ(cli({"add-target", "x", "/nonexistent", "--role", "bins-0"}, 1).rfind("trelk-repo: ", 0), 0u);
  EXPECT_EQ(cli({"root-file"}), path_utf8(fs::absolute(repo / "published/metadata/root.json")) + "\n");

  // A root rotation may keep the old keys authorised: the new root verifies under the old one and under itself.
  cli({"rotate-root", "--keep-old"});
  const json next = published(Repository::open(repo), "2.root.json");
  for (const json* trusted : {&root, &next})
    EXPECT_NO_THROW(verify_threshold(next, (*trusted)["signed"]["keys"], (*trusted)["signed"]["roles"]["root"]));
  EXPECT_EQ(next["signed"]["roles"]["root"]["keyids"].size(), 4u);
}

// The publisher's time and bin arithmetic, and its private keys: loading them back is every later command's work
// (the command's story); a key under another scheme is refused.
TEST(Repository, ExpiryTimesHashBinsAndPrivateKeysThatLoadOnlyUnderTheirOwnScheme) {
  const std::time_t now = 1700000000;  // 2023-11-14T22:13:20Z
  const std::pair<std::string, std::string> times[] = {{"+1d", "2023-11-15T22:13:20Z"},
                                                       {"+2h", "2023-11-15T00:13:20Z"},
                                                       {"-10s", "2023-11-14T22:13:10Z"},
                                                       {"2030-01-02T03:04:05Z", "2030-01-02T03:04:05Z"}};
  for (const auto& [time, expected] : times) EXPECT_EQ(expiry_time(time, now), expected);
  for (const std::string bad : {"1d", "+d", "+5w", "2030-02-30T00:00:00Z", "2030-01-02 03:04:05Z"})
    EXPECT_THROW(expiry_time(bad, now), Error) << bad;
  std::vector<std::string> prefixes;
  for (const auto& bin : hash_bins(1000)) prefixes.insert(prefixes.end(), bin.begin(), bin.end());
  ASSERT_EQ(prefixes.size(), 4096u);
  for (std::size_t i = 0; i < prefixes.size(); ++i) EXPECT_EQ(std::stoul(prefixes[i], nullptr, 16), i);
  const std::pair<std::string, std::string> misfits[] = {
      {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384"}, {"ed25519", "ml-dsa-44/1"}, {"ml-dsa-44/1", "ml-dsa-65/1"}};
  for (const auto& [made, claimed] : misfits)
    EXPECT_TRUE(test::fails_with(
        [&] { SigningKey::from_private_pem(SigningKey::generate(made).private_pem(), claimed); }, "invalid_key"));
  EXPECT_TRUE(test::fails_with([] { SigningKey::from_private_pem("not a key", "ed25519"); }, "invalid_key"));
}

// One throttled line on a terminal, and none anywhere else.
TEST(TerminalProgress, OneThrottledLineWithPhaseOnATerminalAndNothingElsewhere) {
  const int null = ::open("/dev/null", O_WRONLY);
  EXPECT_FALSE(terminal_progress(null));
  ::close(null);

  int master = -1, terminal = -1;
  ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  {
    Progress progress = terminal_progress(terminal);
    progress_phase(progress, "download");
    for (std::uint64_t done = 0; done <= 64; ++done) EXPECT_TRUE(progress(done << 20, 64 << 20));
  }
  ::close(terminal);
  // A pty hands its writes over one read at a time; read until the closed side reports EIO.
  std::string shown;
  char chunk[4096];
  for (ssize_t got; (got = ::read(master, chunk, sizeof chunk)) > 0;)
    shown.append(chunk, static_cast<std::size_t>(got));
  ::close(master);
  // The first counts and the last ones, not every call; the line is ended.
  EXPECT_LT(std::count(shown.begin(), shown.end(), '\r'), 10) << shown;
  EXPECT_NE(shown.find("\rtrelk: download  0.0 of 64.0 MiB"), std::string::npos) << shown;
  EXPECT_NE(shown.find("64.0 of 64.0 MiB"), std::string::npos) << shown;
  EXPECT_TRUE(shown.ends_with("\n")) << shown;
}

}  // namespace
}  // namespace trelk
