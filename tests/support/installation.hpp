// What an installer leaves, and how a user starts it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "desktop/desktop_fixture.hpp"
#include "fixture_payload.hpp"
#include "launcher/store.hpp"
#include "support/kill_points.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

namespace fs = std::filesystem;

// What an installer leaves, in a temporary directory: the built bootstrap in its place with its record and the
// reference launcher's package (with the real maintenance helpers) seeded into the store, unless the store is to
// stay new. HOME, the application menu and TMPDIR point into the directory, for this process and for children
// started with variables().
struct Installation {
  TempDir dir;
  fs::path root = dir / "data";
  fs::path home = dir / "home";
  fs::path temp = dir / "tmp";
  json reference;
  ScopedEnv environment;

  explicit Installation(bool seeded = true) {
    fs::create_directories(home);
    fs::create_directories(temp);
    for (const auto& [name, value] : variables()) environment.set(name, value);
    write_file(root / "native/installation.json", R"({"schema_version":1})");
    const std::vector<PayloadFile> image{
        {"bin/trelk-bootstrap", read_file(fs::path(TRELK_BIN_DIR) / "trelk-bootstrap"), true}};
    write_payload_tree(root / "native/bootstrap", image);
    write_file(root / "native/bootstrap.json",
               canonical_json(snapshot_document("bootstrap-1", "linux-x86_64", "bin/trelk-bootstrap", image)));
    if (seeded) reference = LauncherStore(root, true).seed_initial(read_file(release()), archive(), {});
  }

  // The reference launcher's initial package, as the build packs it.
  static fs::path release() { return fs::path(TRELK_TOOLS_DIR).parent_path() / "packages/launcher/release.json"; }
  static fs::path archive() {
    const auto build_id = parse_json(read_file(release()), 1 << 20)["build_id"].get<std::string>();
    return release().parent_path() / (build_id + ".tar.zst");
  }

  std::map<std::string, std::string> variables() const {
    return {{"HOME", home.string()},
            {"XDG_DATA_HOME", (dir / "xdg").string()},
            {"TMPDIR", temp.string()},
            {"TRELK_NO_DIALOGS", "1"},
            {"PATH", "/usr/bin:/bin"}};
  }
  fs::path bootstrap() const { return root / "native/bootstrap/bin/trelk-bootstrap"; }
  // `self status` from the console: only the launcher answers it, so a success proves the launcher ran.
  Command start_command() const { return {bootstrap(), {"--cli", "--", "self", "status"}, variables()}; }

  fs::path version() const { return root / "launcher/versions" / reference["manifest_sha256"].get<std::string>(); }

  std::vector<fs::path> helper_copies() const {
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(temp))
      if (entry.path().filename().string().starts_with("trelk-maintenance-")) copies.push_back(entry.path());
    return copies;
  }
};

// The reference launcher of the build's package answered `self status` from the console interface.
inline ::testing::AssertionResult launcher_answered(const Outcome& outcome) {
  const json status = json::parse(outcome.out, nullptr, false);
  const std::string build = parse_json(read_file(Installation::release()), 1 << 20)["build_id"];
  const auto at = [&](const char* pointer) { return status.value(json::json_pointer(pointer), ""); };
  if (outcome.status == 0 && status.is_object() && at("/kind") == "self-status" && at("/running/interface") == "cli" &&
      at("/running/build_id") == build)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << outcome.status << ", not the launcher's answer: " << outcome.out
                                       << outcome.err;
}

// Files below root, relative path to bytes; directories are implied by their files.
inline std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(root, error))
    if (!entry.is_directory()) files[fs::relative(entry.path(), root).string()] = read_file(entry.path());
  return files;
}

}  // namespace trelk::test
