#include "launcher/store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "fixture_payload.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

const std::string sha_a(64, 'a');

json reference(const std::string& sha, const std::string& build = "launcher-1.0.0") {
  return {{"manifest_sha256", sha}, {"build_id", build}};
}

json record(json changes = json::object()) {
  json result = {{"schema_version", 1}, {"format", "trelk-launcher-store-v1"},
                 {"generation", 3},     {"active", reference(sha_a)},
                 {"rollback", nullptr}, {"candidate", nullptr},
                 {"attempt", nullptr},  {"failed_candidate", nullptr}};
  result.update(changes);
  return result;
}

fs::path record_path(const fs::path& root) { return root / "launcher" / "installation.json"; }

TEST(LauncherStore, FreshStoreLayoutAndGenerations) {
  test::TempDir dir;
  LauncherStore store(dir.path() / "data/");
  EXPECT_EQ(store.root(), dir.path() / "data");
  EXPECT_EQ(store.directory(), dir.path() / "data" / "launcher");
  for (const char* name : {"", "versions", "manifests", "downloads", "download-intents", "staging", "intents", "health",
                           "leases/versions", "leases/attempts"}) {
    struct stat info {};
    ASSERT_EQ(::lstat((store.directory() / name).c_str(), &info), 0) << name;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << name;
    EXPECT_EQ(info.st_mode & 07777, 0700u) << name;
  }
  EXPECT_FALSE(fs::exists(record_path(store.root())));

  auto fresh = store.load();
  EXPECT_EQ(fresh, (json{{"schema_version", 1},
                         {"format", "trelk-launcher-store-v1"},
                         {"generation", 0},
                         {"active", nullptr},
                         {"rollback", nullptr},
                         {"candidate", nullptr},
                         {"attempt", nullptr},
                         {"failed_candidate", nullptr}}));
  EXPECT_EQ(store.status().at("installed"), false);

  fresh["active"] = reference(sha_a);
  fresh["note"] = {{"kept", {1, 2, 3}}};
  store.save(fresh);
  auto saved = store.load();
  EXPECT_EQ(saved.at("generation"), 1);
  EXPECT_EQ(saved.at("note"), fresh.at("note"));  // unknown members survive a round trip
  // Compact form with sorted keys, no white space.
  EXPECT_EQ(test::read_file(record_path(store.root())), saved.dump());
  EXPECT_EQ(test::read_file(record_path(store.root())).find(' '), std::string::npos);
  store.save(saved);
  EXPECT_EQ(store.load().at("generation"), 2);
  auto status = store.status();
  EXPECT_EQ(status.at("installed"), true);
  EXPECT_EQ(status.at("generation"), 2);

  // Another spelling of the same root is the same store.
  LauncherStore again(dir.path() / "data/launcher/..");
  EXPECT_EQ(again.root(), store.root());
  EXPECT_EQ(again.payload(reference(sha_a)), store.directory() / "versions" / sha_a);
  EXPECT_TRELK_ERROR(again.payload(nullptr), "launcher_missing", "No working launcher is installed");
  EXPECT_TRELK_ERROR(again.payload(reference("abc")), "launcher_state", "Launcher manifest identity is invalid");
}

struct BadRecord {
  const char* name;
  std::string text;
  const char* code;
  const char* message;
  bool selectable;  // selection() gives up quietly instead of reporting
};

TEST(LauncherStore, RefusedRecordsAreNeverRewritten) {
  auto text = [](json changes) { return record(std::move(changes)).dump(); };
  json attempt = {{"nonce", std::string(32, 'f')}, {"reference", reference(sha_a)}};
  const char* malformed = "Launcher installation record is malformed; it was preserved";
  const char* contradictory = "Launcher candidate/startup state is contradictory";
  std::vector<BadRecord> cases = {
      {"format", text({{"format", "trelk-launcher-store-v2"}}), "unsupported_schema",
       "Unknown launcher state was preserved", true},
      {"schema", text({{"schema_version", 2}}), "unsupported_schema", "Unknown launcher state was preserved", true},
      {"candidate and attempt", text({{"attempt", attempt}, {"candidate", reference(sha_a)}}), "launcher_state",
       contradictory, true},
      {"attempt without reference", text({{"attempt", {{"nonce", std::string(32, 'f')}, {"reference", nullptr}}}}),
       "launcher_state", contradictory, true},
      {"short nonce", text({{"attempt", {{"nonce", "abc"}, {"reference", reference(sha_a)}}}}), "launcher_state",
       "Launcher startup identity is invalid", true},
      {"upper-case digest", text({{"rollback", reference(std::string(64, 'A'))}}), "launcher_state",
       "Launcher manifest identity is invalid", true},
      {"active lacks build", text({{"active", {{"manifest_sha256", sha_a}}}}), "launcher_state", malformed, true},
      {"failed without reference", text({{"failed_candidate", {{"problem", "x"}}}}), "launcher_state", malformed, true},
      {"missing member",
       [] {
         auto r = record();
         r.erase("candidate");
         return r.dump();
       }(),
       "launcher_state", malformed, true},
      {"array", "[1]", "launcher_state", malformed, true},
      {"not json", "{\"schema_version\":1,", "invalid_json", nullptr, true},
      {"oversized", text({{"note", std::string(32768, 'x')}}), "size_limit", "File exceeds read limit", true},
      {"saved generation 0", text({{"generation", 0}}), "invalid_version", "Metadata version must be positive", false},
      {"build id", text({{"candidate", reference(sha_a, "Launcher")}}), "invalid_identity",
       "Game and build IDs use lower-case letters, digits, dots and hyphens", false},
      {"duplicate key", "{\"schema_version\":1,\"schema_version\":1}", "duplicate_key",
       "JSON contains a duplicate object key", false},
  };
  for (const auto& bad : cases) {
    SCOPED_TRACE(bad.name);
    test::TempDir dir;
    auto file = record_path(dir.path());
    test::write_file(file, bad.text);
    auto check = [&](const Error& error) {
      EXPECT_EQ(error.code, bad.code);
      if (bad.message) {
        EXPECT_EQ(std::string(error.what()), bad.message);
      }
    };
    check(test::thrown([&] { LauncherStore store(dir.path()); }));
    check(test::thrown([&] { LauncherStore::existing(dir.path()); }));
    auto view = LauncherStore::for_launch(dir.path());
    check(test::thrown([&] { view->load(); }));
    check(test::thrown([&] { view->status(); }));
    if (bad.selectable)
      EXPECT_FALSE(view->selection().has_value());
    else
      check(test::thrown([&] { view->selection(); }));
    EXPECT_EQ(test::read_file(file), bad.text);
  }
}

TEST(LauncherStore, SaveRefusalsKeepThePreviousRecord) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  auto exhausted = record({{"generation", UINT64_MAX}});
  test::write_file(record_path(store.root()), exhausted.dump());
  auto before = test::read_file(record_path(store.root()));
  auto loaded = store.load();  // readable, just not writable any more
  EXPECT_TRELK_ERROR(store.save(loaded), "launcher_state", "Launcher state generation is exhausted");
  EXPECT_EQ(test::read_file(record_path(store.root())), before);

  auto large = record({{"generation", 5}});
  test::write_file(record_path(store.root()), large.dump());
  before = test::read_file(record_path(store.root()));
  large["note"] = std::string(32768, 'x');
  EXPECT_TRELK_ERROR(store.save(large), "size_limit", "Launcher state exceeds its durable bound");
  EXPECT_EQ(test::read_file(record_path(store.root())), before);

  // The bound is on the compact text, inclusive.
  auto fitting = record({{"generation", 5}, {"note", ""}});
  fitting["note"] = std::string(32768 - record({{"generation", 6}, {"note", ""}}).dump().size(), 'y');
  store.save(fitting);
  EXPECT_EQ(fs::file_size(record_path(store.root())), 32768u);
  EXPECT_EQ(store.load().at("generation"), 6);
}

TEST(LauncherStore, ConstructorsAndUnfinishedSetup) {
  test::TempDir dir;
  auto root = dir.path() / "data";
  EXPECT_TRELK_ERROR(LauncherStore::existing(root), "unsafe_path",
                     "Launcher store directory is missing or replaced: " + (root / "launcher").string());
  auto view = LauncherStore::for_launch(root);
  EXPECT_FALSE(fs::exists(root));  // a launch view creates nothing
  EXPECT_EQ(view->load().at("generation"), 0);

  test::write_file(root / ".trelk-setup-incomplete", "");
  Error unfinished = test::thrown([&] { LauncherStore store(root); });
  EXPECT_EQ(unfinished.code, "native_install_incomplete");
  EXPECT_EQ(unfinished.details, std::vector<std::string>{"Run the Trelk installer and choose Repair"});
  EXPECT_FALSE(fs::exists(root / "launcher"));
  EXPECT_EQ(test::thrown([&] { LauncherStore::for_launch(root); }).code, "native_install_incomplete");
  LauncherStore repair(root, true);  // the installer repairs through the store without the check
  EXPECT_TRUE(fs::is_directory(root / "launcher" / "leases" / "attempts"));
  fs::remove(root / ".trelk-setup-incomplete");

  EXPECT_NO_THROW(LauncherStore::existing(root));
  // A linked store directory is refused, not followed.
  fs::rename(root / "launcher" / "manifests", root / "elsewhere");
  fs::create_directory_symlink(root / "elsewhere", root / "launcher" / "manifests");
  EXPECT_EQ(test::thrown([&] { LauncherStore::existing(root); }).code, "unsafe_path");
  EXPECT_EQ(test::thrown([&] { LauncherStore store(root); }).code, "unsafe_path");
}

TEST(LauncherStore, StoredManifestIsVerified) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  auto ref = install_launcher_payload(store.root(), LauncherPayload{});
  auto manifest = store.manifest(ref);
  EXPECT_EQ(manifest.snapshot.build_id, "launcher-1.0.0");
  EXPECT_EQ(manifest.gui_executable, "bin/trelk-gui");
  EXPECT_TRUE(fs::is_regular_file(store.payload(ref) / "bin/trelk-maintenance"));

  EXPECT_TRELK_ERROR(store.manifest(nullptr), "launcher_missing", "Install a verified launcher first");
  EXPECT_TRELK_ERROR(store.manifest(reference(ref["manifest_sha256"].get<std::string>(), "launcher-2.0.0")),
                     "launcher_state", "Launcher identity/platform differs from its local reference");
  EXPECT_EQ(test::thrown([&] { store.manifest(reference(sha_a)); }).code, "file_read");

  LauncherPayload windows;
  windows.build_id = "launcher-win";
  windows.platform = "windows-x86_64";
  auto foreign = install_launcher_payload(store.root(), windows);
  EXPECT_TRELK_ERROR(store.manifest(foreign), "launcher_state",
                     "Launcher identity/platform differs from its local reference");

  // One changed byte in the stored manifest, even one that still parses, is a different manifest.
  auto file = store.directory() / "manifests" / (ref["manifest_sha256"].get<std::string>() + ".json");
  test::write_file(file, test::read_file(file) + " ");
  EXPECT_TRELK_ERROR(store.manifest(ref), "content_mismatch", "Stored launcher manifest changed");

  // A digest-correct document that is not an acceptable release is refused by the release parser.
  auto document = launcher_release_document(LauncherPayload{});
  document["runtime_lease_abi"] = 1;
  auto old = install_launcher_payload(store.root(), LauncherPayload{}, document);
  EXPECT_TRELK_ERROR(store.manifest(old), "launcher_incompatible", "Unsupported launcher runtime contract");
}

// Each child adds one to a counter per round under the owner lock and reports the generation it wrote.
TEST(LauncherStore, OwnerLockSerialisesWritersAcrossProcesses) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  constexpr int children = 4;
  constexpr int rounds = 25;
  int pipes[children][2];
  std::vector<pid_t> pids;
  for (int c = 0; c < children; ++c) {
    ASSERT_EQ(::pipe(pipes[c]), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        LauncherStore own(dir.path());
        for (int r = 0; r < rounds; ++r) {
          std::unique_ptr<FileLock> lock;
          while (!lock) {
            try {
              lock = own.owner();
            } catch (const Error& error) {
              if (error.code != "busy") throw;  // a slow machine may keep it longer than 2 s
            }
          }
          auto current = own.load();
          current["counter"] = current.value("counter", 0) + 1;
          own.save(current);
          std::uint64_t written = own.load().at("generation").get<std::uint64_t>();
          lock.reset();
          if (::write(pipes[c][1], &written, sizeof written) != sizeof written) status = 2;
        }
      } catch (...) {
        status = 1;
      }
      ::_exit(status);
    }
    ::close(pipes[c][1]);
    pids.push_back(pid);
  }
  std::set<std::uint64_t> all;
  for (int c = 0; c < children; ++c) {
    std::uint64_t previous = 0, generation = 0;
    int count = 0;
    while (::read(pipes[c][0], &generation, sizeof generation) == sizeof generation) {
      EXPECT_GT(generation, previous);
      previous = generation;
      all.insert(generation);
      ++count;
    }
    ::close(pipes[c][0]);
    EXPECT_EQ(count, rounds);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto final_record = store.load();
  EXPECT_EQ(final_record.at("counter"), children * rounds);  // no lost update
  EXPECT_EQ(final_record.at("generation"), children * rounds);
  EXPECT_EQ(all.size(), static_cast<std::size_t>(children * rounds));  // every generation written exactly once
  EXPECT_EQ(*all.rbegin(), static_cast<std::uint64_t>(children * rounds));
}

TEST(LauncherStore, OwnerGivesUpWhileAnotherProcessHoldsIt) {
  test::TempDir dir;
  LauncherStore store(dir.path());
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto lock = store.owner();
    char byte = 'r';
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRELK_ERROR(store.owner(), "busy", "Another Trelk operation is using this state");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  ASSERT_EQ(::write(release[1], &byte, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_NE(store.owner(), nullptr);  // released with its holder
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

}  // namespace
}  // namespace trelk
