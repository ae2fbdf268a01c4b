// The attacks the trusted client exists for, as stories: a publisher builds every state with the
// repository tool, nginx serves it over HTTPS on loopback, and an attacker swaps what is served.
#include "tuf/client.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "support/served_repository.hpp"
#include "transport/resume.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using Served = test::ServedRepository;
using test::write_file;

const auto refresh = [](TufClient& client) { client.refresh(); };

TEST(TufClient, EverySchemeSignsAThresholdAndTheTargetArrivesVerifiedUnderConsistentNames) {
  RepositorySetup setup;
  setup.consistent_snapshot = true;
  Served served(setup);
  served.publish_target("games/space.tar.zst", "a release");
  // A killed attempt left its staging file under the name this one takes.
  write_file(served.dir / "out/games" / target_staging_name("space.tar.zst"), "half of a");
  EXPECT_EQ(served.download("games/space.tar.zst"), "a release");
  EXPECT_EQ(served.requests("GET /metadata/2.snapshot.json"), 1u);
  EXPECT_EQ(served.requests("GET /targets/games/" + digest("a release", "sha256") + ".space.tar.zst"), 1u);
  EXPECT_EQ(std::distance(fs::directory_iterator(served.dir / "out/games"), fs::directory_iterator()), 1);
  // An existing, verified destination costs no transfer: the second run asks only for the next root and
  // the timestamp.
  EXPECT_EQ(served.download("games/space.tar.zst"), "a release");
  EXPECT_EQ(served.requests("GET /targets/", 7), 1u);
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { return c.target("games/other"); }), "target_not_found",
                     "Target is not authorized by the repository: games/other");
}

TEST(TufClient, ArbitraryAndMixAndMatchMetadataAndPackagesAreRefused) {
  Served served;
  served.publish_target("games/a.bin", "version one");
  const std::string old_targets = read_file(served.metadata_file("targets.json"));
  served.publish_target("games/a.bin", "version two");

  // Arbitrary package: the bytes on the mirror are not what was signed; the destination never changes.
  write_file(served.repo.targets_dir() / "games/a.bin", "version 666");
  EXPECT_TRELK_ERROR(served.download("games/a.bin"), "hash_mismatch", "Target hash does not match signed metadata");
  EXPECT_FALSE(fs::exists(served.dir / "out/games/a.bin"));
  EXPECT_TRUE(fs::is_empty(served.dir / "out/games"));

  // Mix and match: last release's targets beside this release's snapshot.
  write_file(served.metadata_file("targets.json"), old_targets);
  fs::remove_all(served.state);
  TufClient::initialize(served.state, read_file(served.repo.root_file()));
  EXPECT_EQ(served.error_code([](TufClient& c) { c.target("games/a.bin"); }), "hash_mismatch");

  // Arbitrary metadata: a timestamp signed by a key the root never authorised.
  const SigningKey intruder = SigningKey::generate("ed25519");
  json body = served.repo.document("timestamp").at("signed");
  body["version"] = body["version"].get<int>() + 1;
  write_file(served.metadata_file("timestamp.json"),
             canonical_json(signed_document(body, std::vector<SigningKey>{intruder})));
  EXPECT_EQ(served.error_code(refresh), "signature_threshold");
}

TEST(TufClient, RollbacksOfTimestampSnapshotAndDelegatedRolesAreRefused) {
  Served served;
  DelegationSetup games;
  games.paths = {"games/*"};
  served.repo.delegate("games", "targets", games);
  served.publish_target("games/a.bin", "one", "games");
  const std::string old_timestamp = read_file(served.metadata_file("timestamp.json"));
  served.publish_target("games/a.bin", "two", "games");
  served.with_client(refresh);

  write_file(served.metadata_file("timestamp.json"), old_timestamp);
  EXPECT_TRELK_ERROR(served.with_client(refresh), "rollback", "Timestamp version went backwards");

  // A fresh timestamp that points at an older snapshot.
  served.forge("timestamp", [](json& t) {
    t["version"] = t["version"].get<int>() + 5;
    t["meta"]["snapshot.json"] = {{"version", 1}};
  });
  EXPECT_TRELK_ERROR(served.with_client(refresh), "rollback", "Timestamp references an older snapshot");

  // A snapshot (with a matching timestamp) that takes the delegated role back to its first version.
  served.forge("snapshot", [](json& s) {
    s["version"] = s["version"].get<int>() + 5;
    s["meta"]["games.json"] = {{"version", 1}};
  });
  const std::string forged = read_file(served.metadata_file("snapshot.json"));
  served.forge("timestamp", [&](json& t) {
    t["version"] = t["version"].get<int>() + 6;
    t["meta"]["snapshot.json"] = {{"version", json::parse(forged)["signed"]["version"]}};
  });
  EXPECT_TRELK_ERROR(served.with_client(refresh), "rollback", "Snapshot removed or rolled back a known targets role");
}

TEST(TufClient, FreezeEndlessDataAndExpiryToTheMicrosecond) {
  Served served;
  served.publish_target("a.bin", "a");
  const std::string expires = expiry_time("+1d", std::time(nullptr));
  served.repo.publish({{"timestamp", expires}});
  const TufTime expiry = parse_tuf_time(expires);

  // Freeze: the mirror keeps serving a timestamp that has run out. It ends before the snapshot is asked for
  // (the mirror has none to give).
  served.now = expiry - std::chrono::microseconds(1);
  served.with_client(refresh);
  served.now = expiry;
  fs::rename(served.metadata_file("snapshot.json"), served.dir / "snapshot.json");
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { c.target("a.bin"); }), "expired_metadata",
                     "Repository metadata has expired; previously installed games remain playable");
  fs::rename(served.dir / "snapshot.json", served.metadata_file("snapshot.json"));

  // A fresh timestamp over a stale snapshot (it lives 7 days) is no way around it.
  served.repo.resign_timestamp("+30d");
  served.now = system_tuf_time() + std::chrono::hours(24 * 8);
  EXPECT_EQ(served.error_code([](TufClient& c) { c.target("a.bin"); }), "expired_metadata");

  // Endless data: more than the bound for a timestamp, and more than the snapshot says a role has.
  served.now = system_tuf_time();
  served.repo.publish({{"timestamp", "+1d"}, {"snapshot", "+7d"}});
  served.limits.max_timestamp_bytes = 64;
  EXPECT_TRELK_ERROR(served.with_client(refresh), "size_limit", "Server sent more than the authenticated size limit");
  served.limits = default_tuf_limits;
  write_file(served.metadata_file("targets.json"),
             read_file(served.metadata_file("targets.json")) + std::string(100, ' '));
  fs::remove(served.state / "targets.json");
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { c.target("a.bin"); }), "size_limit",
                     "Server sent more than the authenticated size limit");
}

TEST(TufClient, RootsRotateOneVersionAtATimeAndOnlyWithTheOldThreshold) {
  Served served;
  served.publish_target("a.bin", "a");
  RootRotation mixed;
  mixed.schemes = {"ml-dsa-65/1", "ed25519"};
  mixed.threshold = 2;
  served.repo.rotate_root(mixed);
  served.repo.rotate_root({});
  served.limits.max_root_rotations = 1;
  served.with_client(refresh);
  EXPECT_EQ(json::parse(read_file(served.state / "root.json"))["signed"]["version"], 2);
  served.limits = default_tuf_limits;
  served.with_client([](TufClient& c) {
    c.target("a.bin");
    EXPECT_EQ(c.trusted_root()["signed"]["version"], 3);
  });

  // A root signed only by its own new keys.
  RootRotation hostile;
  hostile.signed_by_old = false;
  served.repo.rotate_root(hostile);
  EXPECT_EQ(served.error_code(refresh), "signature_threshold");
  EXPECT_EQ(json::parse(read_file(served.state / "root.json"))["signed"]["version"], 3);

  // A server error for the next root is an error (only 403 and 404 mean there is none); bytes that are not JSON
  // are never quoted back. The real command names the code, so a script tells the two apart.
  test::HostileServer broken(served.pki);
  for (const auto& [script, line] :
       {std::pair{"status/500/", "trelk-tuf: Could not download next trusted root (http_status)\n"},
        std::pair{"gzip/5000/", "trelk-tuf: JSON text is malformed at byte 1 (invalid_json)\n"}}) {
    const test::Outcome outcome =
        test::run_program(fs::path(TRELK_TOOLS_DIR) / "trelk-tuf",
                          {"--metadata-url", broken.url() + script, "--metadata-dir", served.state.string(),
                           "--ca-bundle", served.pki.ca.string(), "refresh"},
                          {});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, line);
  }
}

TEST(TufClient, CorruptedStoredStateIsDownloadedAgainOrStopsAndIsKept) {
  Served served;
  served.publish_target("a.bin", "a");
  served.with_client([](TufClient& c) { c.target("a.bin"); });
  write_file(served.state / "targets.json", "{\"garbage\":");
  EXPECT_EQ(served.with_client([](TufClient& c) { return c.target("a.bin"); })["length"], 1);
  EXPECT_EQ(read_file(served.state / "targets.json"), read_file(served.metadata_file("targets.json")));

  // Well-formed JSON that is not a snapshot is as malformed as garbage.
  write_file(served.state / "snapshot.json", "{\"signed\":{}}");
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { c.target("a.bin"); }), "invalid_trusted_metadata",
                     "Stored snapshot metadata is malformed; preserve and restore trusted state");

  write_file(served.state / "timestamp.json", "{\"garbage\":");
  EXPECT_TRELK_ERROR(served.with_client(refresh), "invalid_trusted_metadata",
                     "Stored timestamp metadata is malformed; preserve and restore trusted state");
  EXPECT_EQ(read_file(served.state / "timestamp.json"), "{\"garbage\":");
}

TEST(TufClient, DelegationsAreSearchedInOrderAndTerminateAndBinsAndCyclesEnd) {
  Served served;
  DelegationSetup first, second;
  first.paths = second.paths = {"games/*"};
  first.terminating = true;
  served.repo.delegate("first", "targets", first);
  served.repo.delegate("second", "targets", second);
  served.publish_target("games/in-second.bin", "x", "second");
  served.publish_target("top.bin", "top", "targets");
  served.repo.delegate_bins("bin", "targets", 16, {});
  served.publish_target("binned/file.bin", "binned", "auto");
  // loop-a and loop-b delegate to each other with a's keys: the publisher's plan is edited as an attacker would.
  DelegationSetup loop;
  loop.paths = {"loop/*"};
  served.repo.delegate("loop-a", "targets", loop);
  served.repo.delegate("loop-b", "loop-a", loop);
  served.repo.publish();
  json plan = served.repo.plan();
  plan["roles"]["loop-b"]["delegations"].push_back({{"name", "loop-a"}, {"paths", {"loop/*"}}, {"terminating", false}});
  write_file(served.repo.dir() / "plan.json", plan.dump());
  served.repo = Repository::open(served.repo.dir());
  served.repo.publish({{"loop-b", "+30d"}});

  served.with_client([](TufClient& c) {
    // The terminating first role ends the search before the second is reached.
    EXPECT_EQ(test::thrown([&] { c.target("games/in-second.bin"); }).code, "target_not_found");
    EXPECT_EQ(c.target("top.bin")["length"], 3);
    EXPECT_EQ(c.target("binned/file.bin")["length"], 6);
  });
  // Hash bins: only the bin whose prefix the path's digest starts with is fetched.
  EXPECT_EQ(served.requests("GET /metadata/bin-"), 1u);
  served.with_client([](TufClient& c) {
    EXPECT_TRELK_ERROR(c.target("loop/x"), "target_not_found", "Target is not authorized by the repository: loop/x");
  });

  // A delegated role the snapshot does not list.
  served.forge("snapshot", [](json& s) {
    s["version"] = s["version"].get<int>() + 1;
    s["meta"].erase("first.json");
  });
  const json forged = json::parse(read_file(served.metadata_file("snapshot.json")));
  served.forge("timestamp", [&](json& t) {
    t["version"] = t["version"].get<int>() + 1;
    t["meta"]["snapshot.json"] = {{"version", forged["signed"]["version"]}};
  });
  fs::remove_all(served.state);
  TufClient::initialize(served.state, read_file(served.repo.root_file()));
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { c.target("games/in-second.bin"); }), "missing_role",
                     "Delegated role is absent from the authenticated snapshot");
}

}  // namespace
}  // namespace trelk
