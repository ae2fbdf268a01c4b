// The publisher's repository tool. What a client accepts of its output (every scheme and threshold, delegations,
// hash bins, consistent names, root and key rotation) is proven by the trusted client's tests, which publish
// every state with it; here is what only the publisher sees: the published form, the plan's version bumps, the
// command, its time and bin arithmetic and its private keys.
#include "repository.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/digest.hpp"
#include "core/paths.hpp"
#include "support/errors.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"
#include "tuf/keys.hpp"

namespace trelk {
namespace {

using test::TempDir;

// A published metadata file: what the client's reader accepts, in sorted compact form.
json published(const Repository& repo, const std::string& file) {
  const std::string text = test::read_file(repo.metadata_dir() / file);
  json document = parse_json(text, text.size());
  EXPECT_EQ(document.dump(), text) << file;
  return document;
}

// What snapshot and timestamp must say about a published file.
json meta_of(const Repository& repo, const std::string& file) {
  const std::string text = test::read_file(repo.metadata_dir() / file);
  return {{"version", json::parse(text)["signed"]["version"]},
          {"length", text.size()},
          {"hashes", {{"sha256", digest(text, "sha256")}}}};
}

// What the client needs of a publication (every name under consistent snapshots, delegated signing, hash bins) the
// client's tests prove; what it accepts either way is held here: compact sorted documents and lean snapshot entries.
TEST(Repository, PublishesCompactDocumentsAndLeanSnapshotEntriesOnRequest) {
  TempDir dir;
  test::write_file(dir / "app.bin", "payload");
  RepositorySetup lean;
  lean.snapshot_lengths = lean.snapshot_hashes = false;
  Repository repo = Repository::create(dir / "repo", lean);
  DelegationSetup apps;
  apps.paths = {"apps/*"};
  repo.delegate("apps", "targets", apps);
  EXPECT_EQ(repo.add_target("apps/app.bin", dir / "app.bin", "auto", {{"tag", 1}}), "apps");
  repo.publish();
  EXPECT_EQ(fs::status(dir / "repo/keys").permissions(), fs::perms::owner_all);
  EXPECT_EQ(published(repo, "apps.json")["signed"]["targets"]["apps/app.bin"]["custom"], json({{"tag", 1}}));
  EXPECT_EQ(published(repo, "snapshot.json")["signed"]["meta"],
            json({{"targets.json", {{"version", 2}}}, {"apps.json", {{"version", 1}}}}));
  EXPECT_EQ(published(repo, "timestamp.json")["signed"]["meta"],
            json({{"snapshot.json", meta_of(repo, "snapshot.json")}}));
}

TEST(Repository, ARootRotationMayKeepTheOldKeysAuthorised) {
  TempDir dir;
  Repository repo = Repository::create(dir / "repo", {});
  const json previous = repo.document("root");
  RootRotation kept;
  kept.keep_old = true;
  repo.rotate_root(kept);
  const json next = published(repo, "2.root.json");
  EXPECT_EQ(next, repo.document("root"));
  for (const json* trusted : {&previous, &next})
    EXPECT_NO_THROW(verify_threshold(next, (*trusted)["signed"]["keys"], (*trusted)["signed"]["roles"]["root"]));
  EXPECT_TRUE(next["signed"]["keys"].contains(previous["signed"]["roles"]["root"]["keyids"][0]));
}

TEST(Repository, RepublishAfterAddTargetBumpsTargetsSnapshotAndTimestampOnly) {
  TempDir dir;
  const fs::path repo = dir / "repo";
  const auto cli = [&](std::vector<std::string> args, int status = 0) {
    args.insert(args.begin(), path_utf8(repo));
    const test::Outcome outcome = test::run_program(TRELK_TOOLS_DIR "/trelk-repo", args, {});
    EXPECT_EQ(outcome.status, status) << outcome.err;
    return status == 0 ? outcome.out : outcome.err;
  };
  cli({"init", "--root", "ed25519,ml-dsa-65/1", "--root-threshold", "2", "--consistent"});
  EXPECT_EQ(cli({"delegate", "bins", "--from", "targets", "--bins", "16"}).size(), 16 * 7u);
  test::write_file(dir / "readme.txt", "read me");
  EXPECT_EQ(cli({"add-target", "readme.txt", path_utf8(dir / "readme.txt"), "--role", "auto"}),
            "bins-" + digest("readme.txt", "sha256").substr(0, 1) + "\n");
  std::string first;
  for (char bin : std::string("0123456789abcdef")) first += "bins-" + std::string(1, bin) + " 1\n";
  EXPECT_EQ(cli({"publish"}), first + "targets 2\nsnapshot 2\ntimestamp 2\n");
  EXPECT_EQ(cli({"add-target", "notes.txt", path_utf8(dir / "readme.txt")}), "targets\n");
  EXPECT_EQ(cli({"publish"}), "targets 3\nsnapshot 3\ntimestamp 3\n");
  const json root = Repository::open(repo).document("root");
  EXPECT_EQ(root["signed"]["version"], 1);
  EXPECT_EQ(root["signed"]["roles"]["root"]["threshold"], 2);
  EXPECT_EQ(cli({"add-target", "x", "/nonexistent", "--role", "bins-0"}, 1).rfind("trelk-repo: ", 0), 0u);
  EXPECT_EQ(cli({"root-file"}), path_utf8(fs::absolute(repo / "published/metadata/root.json")) + "\n");
}

TEST(Repository, ExpiryTimesAndHashBins) {
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
}

TEST(SigningKeyPem, PrivateKeysRoundTripUnderTheirSchemeOnly) {
  for (const std::string scheme : {"ed25519", "ecdsa-sha2-nistp384", "rsassa-pss-sha512", "ml-dsa-65/1"}) {
    const SigningKey key = SigningKey::generate(scheme);
    const SigningKey loaded = SigningKey::from_private_pem(key.private_pem(), scheme);
    EXPECT_EQ(loaded.id(), key.id()) << scheme;
    EXPECT_TRUE(verify_signature(key.key(), "message", loaded.sign("message"))) << scheme;
  }
  const std::pair<std::string, std::string> misfits[] = {
      {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384"}, {"ed25519", "ml-dsa-44/1"}, {"ml-dsa-44/1", "ml-dsa-65/1"}};
  for (const auto& [made, claimed] : misfits)
    EXPECT_TRUE(test::fails_with(
        [&] { SigningKey::from_private_pem(SigningKey::generate(made).private_pem(), claimed); }, "invalid_key"));
  EXPECT_TRUE(test::fails_with([] { SigningKey::from_private_pem("not a key", "ed25519"); }, "invalid_key"));
}

}  // namespace
}  // namespace trelk
