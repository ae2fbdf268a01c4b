#include "launcher/manifest.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "fixture_payload.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

const std::uint64_t gib = std::uint64_t{1} << 30;

json helper(const std::string& path, const std::string& role) {
  return {{"path", path}, {"role", role}, {"lease_abi", 1}};
}

// A release whose inventory holds count files with declared lengths only; no tree needs to exist.
json with_inventory(std::size_t count, std::uint64_t each, std::uint64_t last) {
  json document = launcher_release_document(LauncherPayload{});
  document["files"] = json::array();
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) {
    auto path = i == 0 ? "bin/trelk" : i == 1 ? "bin/trelk-gui" : "data/f" + std::to_string(i);
    auto length = i + 1 == count ? last : each;
    document["files"].push_back(
        {{"path", path}, {"length", length}, {"mode", i < 2 ? 0755 : 0644}, {"sha256", std::string(64, 'a')}});
    total += length;
  }
  document["expanded_length"] = total;
  document["runtime_helpers"] = json::array();
  return document;
}

TEST(LauncherManifest, AcceptsWhatThisBootstrapCanRun) {
  auto manifest = LauncherManifest::parse(launcher_release_document(LauncherPayload{}));
  EXPECT_EQ(manifest.snapshot.build_id, "launcher-1.0.0");
  EXPECT_EQ(manifest.gui_executable, "bin/trelk-gui");
  EXPECT_EQ(manifest.runtime_helpers, (std::map<std::string, std::string>{{"bin/trelk-maintenance", "maintenance"}}));
  EXPECT_EQ(launcher_manifest_target(), "launcher-linux-x86_64.manifest.json");

  // Shared roles, a wider schema range and unknown members are fine.
  LauncherPayload payload;
  payload.files.push_back({"bin/crash-a", "a", true});
  payload.files.push_back({"bin/crash-b", "b", true});
  payload.helpers.push_back({"bin/crash-a", "crash-handler"});
  payload.helpers.push_back({"bin/crash-b", "crash-handler"});
  auto document = launcher_release_document(payload);
  document["application_schema"]["maximum"] = 7;
  document["publisher_note"] = "ignored";
  EXPECT_EQ(LauncherManifest::parse(document).runtime_helpers.size(), 3u);

  // Only the two entry points are executable: no helpers needed.
  payload = LauncherPayload{};
  payload.files.erase(payload.files.begin() + 2);
  payload.helpers.clear();
  EXPECT_TRUE(LauncherManifest::parse(launcher_release_document(payload)).runtime_helpers.empty());

  // Exactly at the payload bounds: 4096 files and 2^30 bytes, expanded and archived.
  document = with_inventory(4096, 1024, gib - 4095 * 1024);
  document["archive"]["length"] = gib;
  EXPECT_NO_THROW(LauncherManifest::parse(document));
}

struct Refusal {
  const char* name;
  std::function<void(json&)> change;
  const char* code;
  const char* message;
};

TEST(LauncherManifest, Refusals) {
  const char* unknown = "Unsupported launcher manifest; existing installation was preserved";
  const char* malformed = "Launcher manifest has missing or malformed fields";
  const char* contract = "Unsupported launcher runtime contract";
  const char* lacks = "Launcher manifest lacks its runtime contract";
  const char* bounds = "Launcher payload exceeds bounded native package limits";
  const char* gui = "GUI launcher executable is missing or not executable";
  const char* fields = "Native helper ownership fields are invalid";
  const char* helper_contract = "Unsupported native helper ownership contract";
  const char* overlap = "Native helper is missing, repeated or overlaps a frontend";
  auto add_helper = [](json entry) { return [entry](json& d) { d["runtime_helpers"].push_back(entry); }; };
  auto set = [](const char* member, json value) { return [=](json& d) { d[member] = value; }; };
  auto erase = [](const char* member) { return [=](json& d) { d.erase(member); }; };
  auto extra_member = helper("bin/trelk-maintenance", "maintenance");
  extra_member["note"] = 1;
  auto old_lease = helper("bin/trelk-maintenance", "maintenance");
  old_lease["lease_abi"] = 2;
  json seventeen = json::array();
  for (int i = 0; i < 17; ++i) seventeen.push_back(helper("bin/trelk-maintenance", "maintenance"));

  std::vector<Refusal> refusals = {
      {"kind", set("kind", "trelk-bootstrap-release"), "unsupported_schema", unknown},
      {"schema", set("schema_version", 2), "unsupported_schema", unknown},
      {"not an object", [](json& d) { d = json::array(); }, "unsupported_schema", unknown},
      // The checked lookup fails before the comparison: malformed, not unknown.
      {"no schema", erase("schema_version"), "invalid_manifest", malformed},
      {"bootstrap abi", set("bootstrap_abi", 2), "launcher_incompatible",
       "This launcher needs another native bootstrap ABI"},
      {"health abi", set("health_abi", "1"), "launcher_incompatible",
       "This launcher needs another native bootstrap ABI"},
      {"newer data", set("application_schema", {{"minimum", 2}, {"maximum", 5}}), "launcher_incompatible",
       "This launcher cannot preserve the current application data schema"},
      {"schema 0", set("application_schema", {{"minimum", 0u}, {"maximum", 1}}), "invalid_version",
       "Metadata version must be positive"},
      {"schema shape", set("application_schema", 1), "invalid_manifest", malformed},
      {"snapshot first", [](json& d) { d.erase("staging_abi"), d["platform"] = "plan9"; }, "invalid_manifest",
       "Unknown snapshot platform"},
      {"lease abi", set("runtime_lease_abi", 1), "launcher_incompatible", contract},
      {"staging abi text", set("staging_abi", "1"), "launcher_incompatible", contract},
      {"interrupt abi", set("console_interrupt_abi", 2), "launcher_incompatible", contract},
      {"no staging abi", erase("staging_abi"), "launcher_incompatible", lacks},
      {"contract order", [](json& d) { d.erase("runtime_lease_abi"), d["staging_abi"] = 9; }, "launcher_incompatible",
       lacks},
      {"4097 files", [](json& d) { d = with_inventory(4097, 1, 1); }, "size_limit", bounds},
      {"expanded", [](json& d) { d = with_inventory(3, 1, gib - 1); }, "size_limit", bounds},
      {"archive", [](json& d) { d["archive"]["length"] = gib + 1; }, "size_limit", bounds},
      {"same entry point", set("gui_executable", "bin/trelk"), "invalid_manifest",
       "GUI and CLI need separate native entry points"},
      {"gui 0644", set("gui_executable", "share/readme.txt"), "invalid_manifest", gui},
      {"gui absent", set("gui_executable", "bin/absent"), "invalid_manifest", gui},
      {"gui escapes", set("gui_executable", "../bin/trelk-gui"), "unsafe_path", "Path contains an unsafe component"},
      {"17 helpers", set("runtime_helpers", seventeen), "launcher_incompatible",
       "Native helper ownership must be a bounded list"},
      {"helpers object", set("runtime_helpers", json::object()), "launcher_incompatible",
       "Native helper ownership must be a bounded list"},
      {"fourth member", set("runtime_helpers", json::array({extra_member})), "launcher_incompatible", fields},
      {"helper text", set("runtime_helpers", json::array({"bin/trelk-maintenance"})), "launcher_incompatible", fields},
      {"role", set("runtime_helpers", json::array({helper("bin/trelk-maintenance", "updater")})),
       "launcher_incompatible", helper_contract},
      {"helper lease", set("runtime_helpers", json::array({old_lease})), "launcher_incompatible", helper_contract},
      {"repeated", add_helper(helper("bin/trelk-maintenance", "maintenance-gui")), "launcher_incompatible", overlap},
      {"frontend", add_helper(helper("bin/trelk-gui", "crash-handler")), "launcher_incompatible", overlap},
      {"not executable", add_helper(helper("share/readme.txt", "crash-handler")), "launcher_incompatible", overlap},
      {"undeclared", set("runtime_helpers", json::array()), "launcher_incompatible",
       "Every native helper needs declared lifetime ownership"},
  };
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    auto document = launcher_release_document(LauncherPayload{});
    refusal.change(document);
    EXPECT_TRELK_ERROR(LauncherManifest::parse(document), refusal.code, refusal.message);
  }
}

TEST(LauncherManifest, StartupHealth) {
  auto manifest = LauncherManifest::parse(launcher_release_document(LauncherPayload{}));
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
  const char* exact = "Launcher health needs its exact native process and interface";
  EXPECT_TRELK_ERROR(manifest.startup_health(attempt, 0, "gui", false), "launcher_health", exact);
  EXPECT_TRELK_ERROR(manifest.startup_health(attempt, 42, "GUI", false), "launcher_health", exact);

  // Health documents arrive as text, so match one that went through the parser.
  auto cli = parse_json(manifest.startup_health(attempt, 42, "cli", true).dump(), 4096);
  EXPECT_EQ(cli.at("console_interrupt_abi"), 1);
  EXPECT_TRUE(manifest.matches_startup_health(cli, attempt, 42, "cli", true));
  EXPECT_TRUE(manifest.matches_startup_health(gui, attempt, 42, "gui", true));
  EXPECT_FALSE(manifest.matches_startup_health(cli, attempt, 43, "cli", true));
  EXPECT_FALSE(manifest.matches_startup_health(cli, attempt, 42, "gui", false));
  EXPECT_FALSE(manifest.matches_startup_health(gui, attempt, 42, "cli", true));  // lacks the interrupt ABI
  for (auto [member, value] : {std::pair<const char*, json>{"state", "leased"}, {"extra", true}, {"pid", "42"}}) {
    auto changed = cli;
    changed[member] = value;
    EXPECT_FALSE(manifest.matches_startup_health(changed, attempt, 42, "cli", true)) << member;
  }
  auto other_attempt = attempt;
  other_attempt["nonce"] = std::string(32, 'd');
  EXPECT_FALSE(manifest.matches_startup_health(cli, other_attempt, 42, "cli", true));
  EXPECT_FALSE(manifest.matches_startup_health(json::array(), attempt, 42, "cli", true));
  EXPECT_TRELK_ERROR(manifest.matches_startup_health(cli, attempt, 0, "cli", true), "launcher_health", exact);
}

}  // namespace
}  // namespace trelk
