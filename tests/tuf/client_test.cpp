// The attacks the trusted client exists for, as stories: a publisher builds every state with the
// repository tool, nginx serves it over HTTPS on loopback, and an attacker swaps what is served. Then the real
// trelk-tuf killed at its mutating system calls, then run again: a refresh ends with exactly the published
// metadata (a refresh that learns of a new timestamp key keeps its invalidation marker until the stale state is
// gone), and a large download continues from its last checkpoint (the range it asks nginx for is the recorded
// prefix) to the exact target, with nothing left beside either.
#include "tuf/client.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "support/kill_points.hpp"
#include "support/served_repository.hpp"
#include "transport/resume.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using Served = test::ServedRepository;
using test::write_file;

const auto refresh = [](TufClient& client) { client.refresh(); };
const auto fetch_a = [](TufClient& client) { client.target("a.bin"); };

std::set<std::string> names(const fs::path& directory) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(directory)) found.insert(entry.path().filename().string());
  return found;
}

// The real client command against the served repository (or another metadata URL), its trusted state in
// served.state.
test::Command trelk_tuf(const Served& served, std::vector<std::string> arguments, const std::string& url = "") {
  arguments.insert(arguments.begin(), {"--metadata-url", url.empty() ? served.nginx.url() + "metadata/" : url,
                                       "--metadata-dir", served.state.string(), "--ca-bundle", served.pki.ca.string()});
  return {fs::path(TRELK_TOOLS_DIR) / "trelk-tuf", arguments, {{"PATH", "/usr/bin:/bin"}}};
}

// What an attacker with the online keys signs: a changed snapshot and a timestamp that points at it.
void forge_snapshot(Served& served, const std::function<void(json&)>& change) {
  int version = 0;
  served.forge("snapshot", [&](json& s) {
    s["version"] = version = s["version"].get<int>() + 5;
    change(s);
  });
  served.forge("timestamp", [&](json& t) {
    t["version"] = t["version"].get<int>() + 6;
    t["meta"]["snapshot.json"] = {{"version", version}};
  });
}

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
}

TEST(TufClient, FreezeEndlessDataExpiryToTheMicrosecondRootRotationAndCorruptedStoredState) {
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
  EXPECT_TRELK_ERROR(served.with_client(fetch_a), "expired_metadata",
                     "Repository metadata has expired; previously installed games remain playable");
  fs::rename(served.dir / "snapshot.json", served.metadata_file("snapshot.json"));

  // A fresh timestamp over a stale snapshot (it lives 7 days) is no way around it.
  served.repo.resign_timestamp("+30d");
  served.now = system_tuf_time() + std::chrono::hours(24 * 8);
  EXPECT_TRELK_ERROR(served.with_client(fetch_a), "expired_metadata", "");

  // Endless data: more than the bound for a timestamp, and more than the snapshot says a role has.
  served.now = system_tuf_time();
  served.repo.publish({{"timestamp", "+1d"}, {"snapshot", "+7d"}});
  served.limits.max_timestamp_bytes = 64;
  EXPECT_TRELK_ERROR(served.with_client(refresh), "size_limit", "Server sent more than the authenticated size limit");
  served.limits = default_tuf_limits;
  write_file(served.metadata_file("targets.json"),
             read_file(served.metadata_file("targets.json")) + std::string(100, ' '));
  fs::remove(served.state / "targets.json");
  EXPECT_TRELK_ERROR(served.with_client(fetch_a), "size_limit", "Server sent more than the authenticated size limit");

  // Roots rotate one version at a time, and only with the old root's threshold.
  served.repo.publish({{"targets", "+90d"}});
  RootRotation mixed;
  mixed.schemes = {"ml-dsa-65/1", "ed25519"};
  mixed.threshold = 2;
  served.repo.rotate_root(mixed);
  served.repo.rotate_root({});
  served.limits.max_root_rotations = 1;
  const auto root_version = [](TufClient& c) { return c.trusted_root()["signed"]["version"]; };
  served.with_client(refresh);
  EXPECT_EQ(served.with_client(root_version), 2);
  served.limits = default_tuf_limits;
  served.with_client(fetch_a);
  EXPECT_EQ(served.with_client(root_version), 3);

  // A root signed only by its own new keys.
  RootRotation hostile;
  hostile.signed_by_old = false;
  served.repo.rotate_root(hostile);
  EXPECT_TRELK_ERROR(served.with_client(refresh), "signature_threshold", "");
  EXPECT_EQ(served.with_client(root_version), 3);

  // A server error for the next root is an error (only 403 and 404 mean there is none); bytes that are not JSON
  // are never quoted back. The real command names the code, so a script tells the two apart.
  test::HostileServer broken(served.pki);
  const test::Outcome outcome = test::run(trelk_tuf(served, {"refresh"}, broken.url() + "status/500/"));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "trelk-tuf: Could not download next trusted root (http_status)\n");

  // Stored state: a targets role that is garbage is downloaded again; a snapshot or timestamp that is malformed
  // (well-formed JSON that is not a snapshot as much as garbage) stops the client and is kept.
  fs::remove(served.metadata_file("4.root.json"));
  write_file(served.state / "targets.json", "{\"garbage\":");
  EXPECT_EQ(served.with_client([](TufClient& c) { return c.target("a.bin"); })["length"], 1);
  EXPECT_EQ(read_file(served.state / "targets.json"), read_file(served.metadata_file("targets.json")));
  write_file(served.state / "snapshot.json", "{\"signed\":{}}");
  EXPECT_TRELK_ERROR(served.with_client(fetch_a), "invalid_trusted_metadata",
                     "Stored snapshot metadata is malformed; preserve and restore trusted state");
  write_file(served.state / "timestamp.json", "{\"garbage\":");
  EXPECT_TRELK_ERROR(served.with_client(refresh), "invalid_trusted_metadata",
                     "Stored timestamp metadata is malformed; preserve and restore trusted state");
  EXPECT_EQ(read_file(served.state / "timestamp.json"), "{\"garbage\":");
}

// Delegations from the top-level targets: "first" (terminating) and "second" claim games/*, 16 hash bins, and two
// roles that delegate to each other.
TEST(TufClient, DelegationsAreSearchedInOrderAndEndAndRollbacksMixAndMatchAndForeignSignaturesAreRefused) {
  Served served;
  DelegationSetup first, second, loop;
  first.paths = second.paths = {"games/*"};
  first.terminating = true;
  loop.paths = {"loop/*"};
  served.repo.delegate("first", "targets", first);
  served.repo.delegate("second", "targets", second);
  served.publish_target("games/a.bin", "one", "first");
  const std::string old_first = read_file(served.metadata_file("first.json"));
  served.publish_target("games/a.bin", "two", "first");
  served.publish_target("games/in-second.bin", "x", "second");
  served.publish_target("top.bin", "top", "targets");
  served.repo.delegate_bins("bin", "targets", 16, {});
  served.publish_target("binned/file.bin", "binned", "auto");
  // loop-a and loop-b delegate to each other with a's keys: the publisher's plan is edited as an attacker would.
  served.repo.delegate("loop-a", "targets", loop);
  served.repo.delegate("loop-b", "loop-a", loop);
  json plan = served.repo.plan();
  plan["roles"]["loop-b"]["delegations"].push_back({{"name", "loop-a"}, {"paths", {"loop/*"}}, {"terminating", false}});
  write_file(served.repo.dir() / "plan.json", plan.dump());
  served.repo = Repository::open(served.repo.dir());
  served.repo.publish({{"loop-b", "+30d"}});

  // Mix and match: last release's role beside this release's snapshot.
  write_file(served.metadata_file("first.json"), old_first);
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { c.target("games/a.bin"); }), "hash_mismatch", "");
  served.repo.publish({{"first", "+90d"}});
  // Arbitrary package: the bytes on the mirror are not what was signed; the destination never changes.
  write_file(served.repo.targets_dir() / "top.bin", "666");
  EXPECT_TRELK_ERROR(served.download("top.bin"), "hash_mismatch", "Target hash does not match signed metadata");
  EXPECT_TRUE(fs::is_empty(served.dir / "out"));

  served.with_client([](TufClient& c) {
    // The terminating first role ends the search before the second is reached.
    EXPECT_EQ(test::thrown([&] { c.target("games/in-second.bin"); }).code, "target_not_found");
    EXPECT_EQ(c.target("top.bin")["length"], 3);
    EXPECT_EQ(c.target("binned/file.bin")["length"], 6);
  });
  // Hash bins: only the bin whose prefix the path's digest starts with is fetched.
  EXPECT_EQ(served.requests("GET /metadata/bin-"), 1u);
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { c.target("loop/x"); }), "target_not_found",
                     "Target is not authorized by the repository: loop/x");

  // Rollbacks: an old timestamp, a fresh one that points at an older snapshot, and a snapshot (with a matching
  // timestamp) that takes a delegated role back to its first version.
  served.forge("timestamp", [](json& t) { t["version"] = t["version"].get<int>() - 1; });
  EXPECT_TRELK_ERROR(served.with_client(refresh), "rollback", "Timestamp version went backwards");
  served.forge("timestamp", [](json& t) {
    t["version"] = t["version"].get<int>() + 5;
    t["meta"]["snapshot.json"] = {{"version", 1}};
  });
  EXPECT_TRELK_ERROR(served.with_client(refresh), "rollback", "Timestamp references an older snapshot");
  forge_snapshot(served, [](json& s) { s["meta"]["first.json"] = {{"version", 1}}; });
  EXPECT_TRELK_ERROR(served.with_client(refresh), "rollback", "Snapshot removed or rolled back a known targets role");

  // Arbitrary metadata: a timestamp signed by a key the root never authorised.
  served.forge("timestamp", [](json& t) { t["version"] = t["version"].get<int>() + 9; },
               {SigningKey::generate("ed25519")});
  EXPECT_TRELK_ERROR(served.with_client(refresh), "signature_threshold", "");

  // A delegated role the snapshot does not list.
  forge_snapshot(served, [](json& s) { s["meta"].erase("first.json"); });
  fs::remove_all(served.state);
  TufClient::initialize(served.state, read_file(served.repo.root_file()));
  EXPECT_TRELK_ERROR(served.with_client([](TufClient& c) { c.target("games/in-second.bin"); }), "missing_role",
                     "Delegated role is absent from the authenticated snapshot");
}

// A refresh killed anywhere is finished by the next, and so is a large download, from its last checkpoint.
TEST(CrashConsistency, EveryKilledRefreshOrDownloadIsFinishedByTheNextRunAndAnInvalidationSurvivesAFailedRemoval) {
  std::string skip;
  const auto strace = test::usable_strace(skip);
  if (!strace) GTEST_SKIP() << skip;
  Served served;
  served.publish_target("a.bin", "first");
  const test::Command refresh = trelk_tuf(served, {"refresh"});
  ASSERT_EQ(test::run(refresh).status, 0);
  Served::copy_tree(served.state, served.dir / "before");
  const auto restore = [&] { Served::copy_tree(served.dir / "before", served.state); };
  const auto finished = [&] {
    const auto again = test::run(refresh);
    ASSERT_EQ(again.status, 0) << again.err;
    for (const std::string role : {"timestamp.json", "snapshot.json", "targets.json"})
      EXPECT_EQ(read_file(served.state / role), read_file(served.metadata_file(role))) << role;
    EXPECT_EQ(names(served.state),
              (std::set<std::string>{".lock", "root.json", "timestamp.json", "snapshot.json", "targets.json"}));
  };
  served.publish_target("b.bin", "second");
  test::Outcome reference;
  for (const auto& point : test::kill_points(*strace, refresh, reference)) {
    SCOPED_TRACE(point.text());
    restore();
    test::run_killed(*strace, refresh, point);
    finished();
  }
  ASSERT_EQ(reference.status, 0) << reference.err;

  // A new timestamp key makes the stored timestamp and snapshot stale. Killed at its second rename, the refresh
  // has written the invalidation marker but not the new root; a removal that then fails (a directory in the
  // snapshot's place) keeps the marker for the next run.
  restore();
  served.repo.rotate_key("timestamp", {"ecdsa-sha2-nistp256"});
  EXPECT_NE(test::run_killed(*strace, refresh, {"renameat", 2}).status, 0);
  ASSERT_TRUE(fs::exists(served.state / "root-invalidation.json"));
  fs::remove(served.state / "snapshot.json");
  fs::create_directories(served.state / "snapshot.json/x");
  EXPECT_NE(test::run(refresh).err.find("(file_remove)"), std::string::npos);
  EXPECT_TRUE(fs::exists(served.state / "root-invalidation.json"));
  fs::remove_all(served.state / "snapshot.json");
  finished();

  // A download killed anywhere continues from its last checkpoint: the range it asks nginx for is the recorded
  // prefix. The metadata is current after a refresh, so every kill point belongs to the download.
  const std::string bytes = test::pattern_bytes(24 << 20);
  served.publish_target("big.bin", bytes);
  const fs::path out = served.dir / "out";
  const test::Command command =
      trelk_tuf(served, {"--target-base-url", served.nginx.url() + "targets/", "--target-dir", out.string(),
                         "--target-name", "big.bin", "--resume-scope", "test", "download"});
  ASSERT_EQ(test::run(refresh).status, 0);
  std::size_t resumed = 0;
  for (const auto& point : test::sample_kill_points(test::kill_points(*strace, command, reference), 12)) {
    SCOPED_TRACE(point.text());
    fs::remove_all(out);
    test::run_killed(*strace, command, point);
    // Bytes the state document says are safe to reuse; a kill after the rename leaves the whole target, and
    // the next run fetches nothing and only tidies up.
    std::uint64_t received = 0;
    for (const auto& name : fs::exists(out / "big.bin") || !fs::exists(out) ? std::set<std::string>{} : names(out))
      if (name.ends_with(".resume.json"))
        received = json::parse(read_file(out / name)).at("received").get<std::uint64_t>();
    const auto again = test::run(command);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(out / "big.bin"), bytes);
    if (received > 0) {
      ++resumed;
      // The last request asked for the rest after the recorded prefix, and nginx sent only that.
      const std::string last = served.nginx.access_log(1).back();
      EXPECT_TRUE(last.ends_with("range=\"bytes=" + std::to_string(received) + "-" + std::to_string(bytes.size() - 1) +
                                 "\" sent=" + std::to_string(bytes.size() - received)))
          << last;
    }
    EXPECT_EQ(names(out), std::set<std::string>{"big.bin"});
  }
  // Checkpoints are written during the transfer, so some kill points leave a prefix to continue from.
  ASSERT_EQ(reference.status, 0) << reference.err;
  EXPECT_GT(resumed, 0u);
}

}  // namespace
}  // namespace trelk
