// The whole update cycle with the real programs: a publisher releases through the repository tool,
// nginx serves it over HTTPS, trelk-install lays out the installation, and the installed bootstrap with
// the reference launcher picks releases up, proves them and keeps or rejects them.
#include <gtest/gtest.h>

#include <filesystem>
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

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

const fs::path build_dir = fs::path(TRELK_TOOLS_DIR).parent_path();

struct Release {
  fs::path document;
  fs::path archive;
};

struct Publisher {
  test::TempDir dir;
  test::TestPki pki{dir / "pki"};
  Repository repo;
  test::NginxServer nginx;
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
  test::Outcome install(const Release& launcher, const Release& bootstrap) {
    return test::run_program(
        fs::path(TRELK_TOOLS_DIR) / "trelk-install",
        {data.string(), "--bootstrap-release", bootstrap.document.string(), "--bootstrap-archive",
         bootstrap.archive.string(), "--launcher-release", launcher.document.string(), "--launcher-archive",
         launcher.archive.string(), "--root", repo.root_file().string(), "--metadata-url", nginx.url() + "metadata/",
         "--targets-url", nginx.url() + "targets/", "--ca-bundle", pki.ca.string()},
        environment());
  }
  // The installed bootstrap, started from a terminal-less shell as a user's desktop would.
  test::Outcome start(const std::vector<std::string>& command) {
    std::vector<std::string> arguments{"--cli", "--"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return test::run_program(data / "native/bootstrap/bin/trelk-bootstrap", arguments, environment());
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

TEST(UpdateCycle, ReleasesArePickedUpProvenAndKeptOrRejected) {
  Publisher publisher;
  const Release launcher_10 = publisher.launcher("launcher-1.0", "normal");
  const Release bootstrap_10 = publisher.bootstrap("bootstrap-1.0");
  publisher.publish(launcher_10, bootstrap_10);
  const auto installed = publisher.install(launcher_10, bootstrap_10);
  ASSERT_EQ(installed.status, 0) << installed.err;

  // First start confirms the seeded candidate; nothing newer is published yet.
  EXPECT_EQ(publisher.running(), "launcher-1.0");
  EXPECT_EQ(publisher.status()["active"]["build_id"], "launcher-1.0");
  json result = publisher.update();
  EXPECT_EQ(result["launcher"]["status"], "current");
  EXPECT_EQ(result["bootstrap"]["status"], "current");

  // 1.1 of both: staged by one update, applied and proven by the next start.
  const Release bootstrap_11 = publisher.bootstrap("bootstrap-1.1");
  publisher.publish(publisher.launcher("launcher-1.1", "normal"), bootstrap_11);
  result = publisher.update();
  EXPECT_EQ(result["launcher"], (json{{"staged", true}, {"status", "staged"}, {"build_id", "launcher-1.1"}}));
  EXPECT_EQ(result["bootstrap"], (json{{"staged", true}, {"status", "staged"}, {"build_id", "bootstrap-1.1"}}));
  EXPECT_EQ(publisher.running(), "launcher-1.1");
  EXPECT_EQ(read_file(publisher.data / "native/bootstrap/share/release.txt"), "bootstrap-1.1");
  EXPECT_FALSE(fs::exists(publisher.data / "native/bootstrap-update.json"));
  EXPECT_EQ(publisher.status()["active"]["build_id"], "launcher-1.1");

  // 1.2 never reports health: the next start rejects it and runs 1.1; it is not staged again.
  publisher.publish(publisher.launcher("launcher-1.2", "no_health"), bootstrap_11);
  EXPECT_EQ(publisher.update()["launcher"]["status"], "staged");
  EXPECT_EQ(publisher.running(), "launcher-1.1");
  const json status = publisher.status();
  EXPECT_EQ(status["active"]["build_id"], "launcher-1.1");
  EXPECT_TRUE(status["candidate"].is_null());
  result = publisher.update();
  EXPECT_EQ(result["launcher"]["status"], "rejected");
  EXPECT_EQ(result["bootstrap"]["status"], "current");
}

}  // namespace
}  // namespace trelk
