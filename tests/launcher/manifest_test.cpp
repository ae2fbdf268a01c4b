#include "launcher/manifest.hpp"

#include <gtest/gtest.h>

#include "core/error.hpp"
#include "fixture_payload.hpp"
#include "launcher/expect_error.hpp"

namespace trelk {
namespace {

json release() { return launcher_release_document(LauncherPayload{}); }

// A release whose inventory has count files with the given declared lengths; no tree needs to exist.
json release_with_inventory(std::size_t count, std::uint64_t each, std::uint64_t last) {
  json document = release();
  json files = json::array();
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) {
    auto length = i + 1 == count ? last : each;
    std::string path = i == 0 ? "bin/trelk" : i == 1 ? "bin/trelk-gui" : "data/f" + std::to_string(i);
    files.push_back(
        {{"path", path}, {"length", length}, {"mode", i < 2 ? 0755 : 0644}, {"sha256", std::string(64, 'a')}});
    total += length;
  }
  document["files"] = files;
  document["expanded_length"] = total;
  document["runtime_helpers"] = json::array();
  return document;
}

TEST(LauncherManifest, ParsesAValidRelease) {
  auto manifest = LauncherManifest::parse(release());
  EXPECT_EQ(manifest.snapshot.build_id, "launcher-1.0.0");
  EXPECT_EQ(manifest.snapshot.executable, "bin/trelk");
  EXPECT_EQ(manifest.gui_executable, "bin/trelk-gui");
  EXPECT_EQ(manifest.runtime_helpers, (std::map<std::string, std::string>{{"bin/trelk-maintenance", "maintenance"}}));
  EXPECT_EQ(manifest.runtime_lease_abi, 2u);
  EXPECT_EQ(manifest.staging_abi, 1u);
  EXPECT_EQ(manifest.console_interrupt_abi, 1u);
  EXPECT_EQ(launcher_manifest_target(), "launcher-linux-x86_64.manifest.json");

  // Two helpers may share a role; members this parser does not know are ignored.
  LauncherPayload payload;
  payload.files.push_back({"bin/crash-a", "a", true});
  payload.files.push_back({"bin/crash-b", "b", true});
  payload.helpers.push_back({"bin/crash-a", "crash-handler"});
  payload.helpers.push_back({"bin/crash-b", "crash-handler"});
  auto document = launcher_release_document(payload);
  document["publisher_note"] = "ignored";
  EXPECT_EQ(LauncherManifest::parse(document).runtime_helpers.size(), 3u);
}

TEST(LauncherManifest, RefusesUnknownSchemaAndBootstrapAbi) {
  const char* unsupported = "Unsupported launcher manifest; existing installation was preserved";
  auto document = release();
  document["kind"] = "trelk-bootstrap-release";
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "unsupported_schema", unsupported);
  document = release();
  document["schema_version"] = 2;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "unsupported_schema", unsupported);
  EXPECT_TRELK_ERROR(LauncherManifest::parse(json::array()), "unsupported_schema", unsupported);
  // Without schema_version the checked lookup fails first: malformed, not unknown.
  document = release();
  document.erase("schema_version");
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "invalid_manifest",
                     "Launcher manifest has missing or malformed fields");

  for (const char* member : {"bootstrap_abi", "health_abi"}) {
    document = release();
    document[member] = 2;
    EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible",
                       "This launcher needs another native bootstrap ABI");
  }
}

TEST(LauncherManifest, ApplicationSchemaMustIncludeTheCurrentOne) {
  auto with_schema = [](json minimum, json maximum) {
    auto document = release();
    document["application_schema"] = {{"minimum", minimum}, {"maximum", maximum}};
    return document;
  };
  EXPECT_TRELK_ERROR(LauncherManifest::parse(with_schema(2, 5)), "launcher_incompatible",
                     "This launcher cannot preserve the current application data schema");
  EXPECT_NO_THROW(LauncherManifest::parse(with_schema(1, 1)));
  EXPECT_NO_THROW(LauncherManifest::parse(with_schema(1, 7)));
  EXPECT_TRELK_ERROR(LauncherManifest::parse(with_schema(0u, 1)), "invalid_version",
                     "Metadata version must be positive");
  EXPECT_TRELK_ERROR(LauncherManifest::parse(with_schema("1", 1)), "invalid_version",
                     "Metadata version must be a positive integer");
  auto document = release();
  document["application_schema"] = 1;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "invalid_manifest",
                     "Launcher manifest has missing or malformed fields");
}

TEST(LauncherManifest, RuntimeContractValues) {
  const char* unsupported = "Unsupported launcher runtime contract";
  const char* lacks = "Launcher manifest lacks its runtime contract";
  auto document = release();
  document["runtime_lease_abi"] = 1;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible", unsupported);
  document = release();
  document["staging_abi"] = "1";
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible", unsupported);
  document = release();
  document["console_interrupt_abi"] = 2;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible", unsupported);
  for (const char* member : {"runtime_lease_abi", "staging_abi", "console_interrupt_abi"}) {
    document = release();
    document.erase(member);
    EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible", lacks);
  }
  // Checked in order: a missing lease ABI is reported before a wrong staging ABI.
  document = release();
  document.erase("runtime_lease_abi");
  document["staging_abi"] = 9;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible", lacks);
  // Snapshot errors come before the contract and pass through.
  document = release();
  document.erase("runtime_lease_abi");
  document["platform"] = "plan9";
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "invalid_manifest", "Unknown snapshot platform");
}

TEST(LauncherManifest, PayloadBounds) {
  const std::uint64_t gib = std::uint64_t{1} << 30;
  const char* exceeds = "Launcher payload exceeds bounded native package limits";
  // 4096 files adding up to exactly 2^30 bytes are accepted.
  auto document = release_with_inventory(4096, 1024, gib - 4095 * 1024);
  document["archive"]["length"] = gib;
  EXPECT_NO_THROW(LauncherManifest::parse(document));

  EXPECT_TRELK_ERROR(LauncherManifest::parse(release_with_inventory(4097, 1, 1)), "size_limit", exceeds);
  EXPECT_TRELK_ERROR(LauncherManifest::parse(release_with_inventory(3, 1, gib - 1)), "size_limit", exceeds);
  document = release();
  document["archive"]["length"] = gib + 1;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "size_limit", exceeds);
}

TEST(LauncherManifest, EntryPoints) {
  auto document = release();
  document["gui_executable"] = "bin/trelk";
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "invalid_manifest",
                     "GUI and CLI need separate native entry points");
  document = release();
  document["gui_executable"] = "share/readme.txt";  // mode 0644
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "invalid_manifest",
                     "GUI launcher executable is missing or not executable");
  document["gui_executable"] = "bin/absent";
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "invalid_manifest",
                     "GUI launcher executable is missing or not executable");
  document["gui_executable"] = "../bin/trelk-gui";
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "unsafe_path", "Path contains an unsafe component");
  document["gui_executable"] = 7;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "invalid_manifest",
                     "Launcher manifest has missing or malformed fields");
}

TEST(LauncherManifest, HelperOwnership) {
  auto with_helpers = [](json helpers) {
    LauncherPayload payload;
    for (int i = 0; i < 17; ++i) payload.files.push_back({"helpers/h" + std::to_string(i), "x", true});
    auto document = launcher_release_document(payload);
    document["runtime_helpers"] = helpers;
    return document;
  };
  auto helper = [](std::string path, std::string role) {
    return json{{"path", path}, {"role", role}, {"lease_abi", 1}};
  };
  json all = json::array({helper("bin/trelk-maintenance", "maintenance")});
  for (int i = 0; i < 17; ++i) all.push_back(helper("helpers/h" + std::to_string(i), "crash-handler"));
  EXPECT_TRELK_ERROR(LauncherManifest::parse(with_helpers(all)), "launcher_incompatible",
                     "Native helper ownership must be a bounded list");
  EXPECT_TRELK_ERROR(LauncherManifest::parse(with_helpers(json::object())), "launcher_incompatible",
                     "Native helper ownership must be a bounded list");

  const char* fields = "Native helper ownership fields are invalid";
  const char* contract = "Unsupported native helper ownership contract";
  const char* overlap = "Native helper is missing, repeated or overlaps a frontend";
  auto single = [&](json entry) {
    auto document = release();
    document["runtime_helpers"] = json::array({entry});
    return document;
  };
  auto extra = helper("bin/trelk-maintenance", "maintenance");
  extra["note"] = "x";
  EXPECT_TRELK_ERROR(LauncherManifest::parse(single(extra)), "launcher_incompatible", fields);
  auto missing = helper("bin/trelk-maintenance", "maintenance");
  missing.erase("lease_abi");
  missing["lease"] = 1;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(single(missing)), "launcher_incompatible", fields);
  EXPECT_TRELK_ERROR(LauncherManifest::parse(single("bin/trelk-maintenance")), "launcher_incompatible", fields);
  EXPECT_TRELK_ERROR(LauncherManifest::parse(single(helper("bin/trelk-maintenance", "updater"))),
                     "launcher_incompatible", contract);
  auto old_lease = helper("bin/trelk-maintenance", "maintenance");
  old_lease["lease_abi"] = 2;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(single(old_lease)), "launcher_incompatible", contract);
  auto numeric_path = helper("x", "maintenance");
  numeric_path["path"] = 3;
  EXPECT_TRELK_ERROR(LauncherManifest::parse(single(numeric_path)), "invalid_manifest",
                     "Launcher manifest has missing or malformed fields");

  auto document = release();
  document["runtime_helpers"].push_back(helper("bin/trelk-maintenance", "maintenance-gui"));
  EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible", overlap);
  for (const char* path : {"bin/trelk", "bin/trelk-gui", "share/readme.txt", "bin/absent"}) {
    document = release();
    document["runtime_helpers"].push_back(helper(path, "crash-handler"));
    SCOPED_TRACE(path);
    EXPECT_TRELK_ERROR(LauncherManifest::parse(document), "launcher_incompatible", overlap);
  }
}

TEST(LauncherManifest, EveryExecutableNeedsAnOwner) {
  LauncherPayload payload;
  payload.files.push_back({"bin/stray", "x", true});
  EXPECT_TRELK_ERROR(LauncherManifest::parse(launcher_release_document(payload)), "launcher_incompatible",
                     "Every native helper needs declared lifetime ownership");
  // Only the two entry points are executable: no helpers needed.
  payload = LauncherPayload{};
  payload.files.erase(payload.files.begin() + 2);
  payload.helpers.clear();
  EXPECT_TRUE(LauncherManifest::parse(launcher_release_document(payload)).runtime_helpers.empty());
}

TEST(LauncherManifest, StartupHealth) {
  auto manifest = LauncherManifest::parse(release());
  json attempt = {{"nonce", std::string(32, 'b')},
                  {"reference", {{"manifest_sha256", std::string(64, 'c')}, {"build_id", "launcher-1.0.0"}}}};
  auto gui = manifest.startup_health(attempt, 42, "gui", true);
  EXPECT_EQ(gui, (json{{"schema_version", 1},
                       {"health_abi", 1},
                       {"nonce", std::string(32, 'b')},
                       {"manifest_sha256", std::string(64, 'c')},
                       {"build_id", "launcher-1.0.0"},
                       {"pid", 42},
                       {"interface", "gui"},
                       {"application_schema", 1},
                       {"state", "ready"}}));
  EXPECT_FALSE(manifest.startup_health(attempt, 42, "cli", false).contains("console_interrupt_abi"));
  EXPECT_EQ(manifest.startup_health(attempt, 42, "cli", true).at("console_interrupt_abi"), 1);
  const char* exact = "Launcher health needs its exact native process and interface";
  EXPECT_TRELK_ERROR(manifest.startup_health(attempt, 0, "gui", false), "launcher_health", exact);
  EXPECT_TRELK_ERROR(manifest.startup_health(attempt, 42, "GUI", false), "launcher_health", exact);

  // Health documents arrive as parsed text, so compare against one that went through the parser.
  auto cli = parse_json(manifest.startup_health(attempt, 42, "cli", true).dump(), 4096);
  EXPECT_TRUE(manifest.matches_startup_health(cli, attempt, 42, "cli", true));
  EXPECT_TRUE(manifest.matches_startup_health(gui, attempt, 42, "gui", true));
  EXPECT_FALSE(manifest.matches_startup_health(cli, attempt, 43, "cli", true));
  EXPECT_FALSE(manifest.matches_startup_health(cli, attempt, 42, "gui", false));
  EXPECT_FALSE(manifest.matches_startup_health(gui, attempt, 42, "cli", true));  // lacks the interrupt ABI
  auto changed = cli;
  changed["state"] = "leased";
  EXPECT_FALSE(manifest.matches_startup_health(changed, attempt, 42, "cli", true));
  changed = cli;
  changed["extra"] = true;
  EXPECT_FALSE(manifest.matches_startup_health(changed, attempt, 42, "cli", true));
  changed = cli;
  changed["pid"] = "42";
  EXPECT_FALSE(manifest.matches_startup_health(changed, attempt, 42, "cli", true));
  auto other_attempt = attempt;
  other_attempt["nonce"] = std::string(32, 'd');
  EXPECT_FALSE(manifest.matches_startup_health(cli, other_attempt, 42, "cli", true));
  EXPECT_FALSE(manifest.matches_startup_health(json::array(), attempt, 42, "cli", true));
  EXPECT_TRELK_ERROR(manifest.matches_startup_health(cli, attempt, 0, "cli", true), "launcher_health", exact);
}

}  // namespace
}  // namespace trelk
