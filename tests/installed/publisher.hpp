// A publisher with a repository served by nginx over HTTPS, releases of the reference launcher and of the
// built bootstrap packed as a publisher would, and an installation made by the real installer.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bootstrap/contract.hpp"
#include "core/json.hpp"
#include "launcher/store.hpp"
#include "pack.hpp"
#include "repository.hpp"
#include "support/https_servers.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"
#include "update/launcher_update.hpp"

namespace trelk::test {

namespace fs = std::filesystem;

inline const fs::path build_dir = fs::path(TRELK_TOOLS_DIR).parent_path();

struct Release {
  fs::path document;
  fs::path archive;
};

struct Publisher {
  TempDir dir;
  TestPki pki{dir / "pki"};
  Repository repo;
  NginxServer nginx;
  fs::path data = dir / "home/data";

  Publisher() : repo(Repository::create(dir / "repo", setup())), nginx(pki, dir / "repo/published") {}

  static RepositorySetup setup() {
    RepositorySetup setup;
    setup.root = {{"ed25519", "ml-dsa-65/1"}, 2};
    return setup;
  }

  // The reference launcher with this identity, packed as a publisher would.
  Release launcher(const std::string& build_id, const std::string& behaviour) {
    const fs::path payload = dir / ("payload-" + build_id);
    fs::copy(build_dir / "packages/launcher-payload", payload, fs::copy_options::recursive);
    fs::remove(payload / "launcher.json");
    write_file(payload / "launcher.json", json{{"schema_version", 1},
                                               {"kind", "trelk-reference-launcher"},
                                               {"build_id", build_id},
                                               {"behaviour", behaviour}}
                                              .dump());
    PackOptions options;
    options.build_id = build_id;
    options.executable = "bin/trelk";
    Release release{dir / (build_id + ".json"), dir / (build_id + ".tar.zst")};
    const json document =
        launcher_release(pack_snapshot(payload, release.archive, options), "bin/trelk-gui",
                         {{"bin/trelk-maintenance", "maintenance"}, {"bin/trelk-maintenance-gui", "maintenance-gui"}});
    write_file(release.document, canonical_json(document));
    return release;
  }
  // The built bootstrap, with a note that makes each release's image different.
  Release bootstrap(const std::string& build_id) {
    const fs::path image = dir / ("image-" + build_id);
    write_file(image / "bin/trelk-bootstrap", read_file(fs::path(TRELK_BIN_DIR) / "trelk-bootstrap"));
    fs::permissions(image / "bin/trelk-bootstrap", fs::perms::owner_all);
    write_file(image / "share/release.txt", build_id);
    PackOptions options;
    options.build_id = build_id;
    options.executable = "bin/trelk-bootstrap";
    Release release{dir / (build_id + ".json"), dir / (build_id + ".tar.zst")};
    write_file(release.document, canonical_json(bootstrap_release(pack_snapshot(image, release.archive, options))));
    return release;
  }
  void publish(const Release& launcher, const Release& bootstrap) {
    for (const auto& [target, release] :
         {std::pair{launcher_release_target(), launcher}, std::pair{bootstrap_manifest_target(), bootstrap}}) {
      repo.add_target(target, release.document);
      repo.add_target(json::parse(read_file(release.document))["archive"]["target"].get<std::string>(),
                      release.archive);
    }
    repo.publish();
  }
  std::map<std::string, std::string> environment() const {
    return {{"HOME", (dir / "home").string()}, {"TRELK_NO_DIALOGS", "1"}, {"PATH", "/usr/bin:/bin"}};
  }
  Outcome install(const Release& launcher, const Release& bootstrap) {
    return run_program(
        fs::path(TRELK_TOOLS_DIR) / "trelk-install",
        {data.string(), "--bootstrap-release", bootstrap.document.string(), "--bootstrap-archive",
         bootstrap.archive.string(), "--launcher-release", launcher.document.string(), "--launcher-archive",
         launcher.archive.string(), "--root", repo.root_file().string(), "--metadata-url", nginx.url() + "metadata/",
         "--targets-url", nginx.url() + "targets/", "--ca-bundle", pki.ca.string()},
        environment());
  }
  // The installed bootstrap, started from a terminal-less shell as a user's desktop would.
  Outcome start(const std::vector<std::string>& command) {
    std::vector<std::string> arguments{"--cli", "--"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return run_program(data / "native/bootstrap/bin/trelk-bootstrap", arguments, environment());
  }
  json status() { return LauncherStore(data, LaunchView{}).status(); }
  std::string running() {
    const auto outcome = start({"self", "status"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    return json::parse(outcome.out.substr(0, outcome.out.find('\n')))["running"]["build_id"].get<std::string>();
  }
  json update() {
    const auto outcome = start({"self", "update"});
    EXPECT_EQ(outcome.status, 0) << outcome.err << outcome.out;
    return json::parse(outcome.out.substr(0, outcome.out.find('\n')));
  }
};

}  // namespace trelk::test
