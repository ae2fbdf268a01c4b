#include "launcher/manifest.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "fixture_payload.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

const std::uint64_t gib = std::uint64_t{1} << 30;

// A release whose inventory holds count files with declared lengths only; no tree needs to exist.
json with_inventory(std::size_t count, std::uint64_t each, std::uint64_t last) {
  json document = launcher_release_document(LauncherPayload{});
  document["files"] = json::array();
  for (std::size_t i = 0; i < count; ++i) {
    auto path = i == 0 ? "bin/trelk" : i == 1 ? "bin/trelk-gui" : "data/f" + std::to_string(i);
    auto length = i + 1 == count ? last : each;
    document["files"].push_back(
        {{"path", path}, {"length", length}, {"mode", i < 2 ? 0755 : 0644}, {"sha256", std::string(64, 'a')}});
  }
  document["expanded_length"] = each * (count - 1) + last;
  document["runtime_helpers"] = json::array();
  return document;
}

TEST(LauncherManifest, AcceptsItsBoundsAndRefusesWhatThisBootstrapCannotRun) {
  // Exactly at the payload bounds: 4096 files and 2^30 bytes, expanded and archived.
  auto at_bounds = with_inventory(4096, 1024, gib - 4095 * 1024);
  at_bounds["archive"]["length"] = gib;
  EXPECT_NO_THROW(LauncherManifest::parse(at_bounds));

  const char* unknown = "Unsupported launcher manifest; existing installation was preserved";
  const char* bounds = "Launcher payload exceeds bounded native package limits";
  const char* fields = "Native helper ownership fields are invalid";
  auto set = [](const char* member, json value) { return [=](json& d) { d[member] = value; }; };
  const json extra_member = {{"path", "bin/trelk-maintenance"}, {"role", "maintenance"}, {"lease_abi", 1}, {"note", 1}};
  const json frontend = {{"path", "bin/trelk-gui"}, {"role", "crash-handler"}, {"lease_abi", 1}};
  const std::tuple<const char*, std::function<void(json&)>, const char*, const char*> refusals[] = {
      {"kind", set("kind", "trelk-bootstrap-release"), "unsupported_schema", unknown},
      {"bootstrap abi", set("bootstrap_abi", 2), "launcher_incompatible",
       "This launcher needs another native bootstrap ABI"},
      {"newer data", set("application_schema", {{"minimum", 2}, {"maximum", 5}}), "launcher_incompatible",
       "This launcher cannot preserve the current application data schema"},
      {"no staging abi", [](json& d) { d.erase("staging_abi"); }, "launcher_incompatible",
       "Launcher manifest lacks its runtime contract"},
      {"4097 files", [](json& d) { d = with_inventory(4097, 1, 1); }, "size_limit", bounds},
      {"expanded", [](json& d) { d = with_inventory(3, 1, gib - 1); }, "size_limit", bounds},
      {"archive", [](json& d) { d["archive"]["length"] = gib + 1; }, "size_limit", bounds},
      {"fourth member", set("runtime_helpers", json::array({extra_member})), "launcher_incompatible", fields},
      {"frontend", [&](json& d) { d["runtime_helpers"].push_back(frontend); }, "launcher_incompatible",
       "Native helper is missing, repeated or overlaps a frontend"},
      {"undeclared executable", set("runtime_helpers", json::array()), "launcher_incompatible",
       "Every native helper needs declared lifetime ownership"},
  };
  for (const auto& [name, change, code, message] : refusals) {
    SCOPED_TRACE(name);
    auto document = launcher_release_document(LauncherPayload{});
    change(document);
    EXPECT_TRELK_ERROR(LauncherManifest::parse(document), code, message);
  }
}

}  // namespace
}  // namespace trelk
