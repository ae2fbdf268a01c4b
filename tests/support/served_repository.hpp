// A publisher's repository, made with the repository tool and served by nginx over HTTPS on loopback, with both
// of its users: the trusted client (its state in `state`), and the installer and installed bootstrap of releases
// of the reference launcher and the built bootstrap packed as a publisher would (the installation in `data`).
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bootstrap/contract.hpp"
#include "core/json.hpp"
#include "launcher/store.hpp"
#include "pack.hpp"
#include "repository.hpp"
#include "sign.hpp"
#include "support/errors.hpp"
#include "support/https_servers.hpp"
#include "support/kill_points.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"
#include "transport/https_transport.hpp"
#include "tuf/client.hpp"
#include "update/launcher_update.hpp"

namespace trelk::test {

namespace fs = std::filesystem;

struct Release {
  fs::path document;
  fs::path archive;
};

struct ServedRepository {
  TempDir dir;
  const TestPki& pki = shared_pki();
  Repository repo;
  NginxServer nginx;
  fs::path state = dir / "client";
  fs::path data = dir / "home/data";
  TufLimits limits = default_tuf_limits;
  TufTime now = system_tuf_time();

  explicit ServedRepository(const RepositorySetup& setup = {})
      : repo(Repository::create(dir / "repo", setup)), nginx(pki, dir / "repo/published") {
    TufClient::initialize(state, read_file(repo.root_file()));
  }
  // A root that needs two signatures of different schemes, as the demo's publisher uses.
  static RepositorySetup two_key_root() {
    RepositorySetup setup;
    setup.root = {{"ed25519", "ml-dsa-65/1"}, 2};
    return setup;
  }

  // The client's side.
  fs::path metadata_file(const std::string& name) const { return repo.metadata_dir() / name; }
  void publish_target(const std::string& path, const std::string& bytes, const std::string& role = "targets") {
    write_file(dir / "incoming.bin", bytes);
    repo.add_target(path, dir / "incoming.bin", role);
    repo.publish();
  }
  // One client, as a process would open it, for the duration of use.
  template <typename Use>
  auto with_client(Use&& use) {
    HttpsTransport metadata(nginx.url() + "metadata/", pki.ca, 0, nullptr);
    HttpsTransport targets(nginx.url() + "targets/", pki.ca, 0, nullptr);
    TufClient client(state, metadata, targets, limits, [this] { return now; });
    return use(client);
  }
  // The stored target, which the descriptor the client returns must name.
  std::string download(const std::string& path) {
    with_client([&](TufClient& client) {
      const Descriptor verified = client.download(path, dir / "out" / path, {}, {}, {});
      struct stat by_descriptor {
      }, by_path{};
      EXPECT_TRUE(::fstat(verified.get(), &by_descriptor) == 0 && ::stat((dir / "out" / path).c_str(), &by_path) == 0 &&
                  by_descriptor.st_ino == by_path.st_ino);
    });
    return read_file(dir / "out" / path);
  }
  // What an attacker with the role's keys (or with only these keys) can sign: the published document, changed.
  void forge(const std::string& role, const std::function<void(json&)>& change, std::vector<SigningKey> keys = {}) {
    json body = repo.document(role).at("signed");
    change(body);
    if (keys.empty()) keys = repo.role_keys(role);
    write_file(metadata_file(role + ".json"), canonical_json(signed_document(body, keys)));
  }
  // Requests nginx logged that contain this text.
  std::size_t requests(const std::string& text, std::size_t at_least = 0) const {
    std::size_t count = 0;
    for (const auto& line : nginx.access_log(at_least)) count += line.find(text) != std::string::npos;
    return count;
  }

  // The publisher's side: the reference launcher with this identity, packed as a publisher would.
  Release launcher(const std::string& build_id, const std::string& behaviour) {
    const fs::path payload = dir / ("payload-" + build_id);
    fs::copy(fs::path(TRELK_TOOLS_DIR).parent_path() / "packages/launcher-payload", payload,
             fs::copy_options::recursive);
    write_file(payload / "launcher.json", R"({"schema_version":1,"kind":"trelk-reference-launcher","build_id":")" +
                                              build_id + R"(","behaviour":")" + behaviour + "\"}");
    Release release{dir / (build_id + ".json"), dir / (build_id + ".tar.zst")};
    const json document = launcher_release(
        pack_snapshot(payload, release.archive,
                      {.build_id = build_id, .executable = "bin/trelk", .target = build_id + ".tar.zst"}),
        "bin/trelk-gui", {{"bin/trelk-maintenance", "maintenance"}, {"bin/trelk-maintenance-gui", "maintenance-gui"}});
    write_file(release.document, canonical_json(document));
    return release;
  }
  // The built bootstrap, with a note that makes each release's image different.
  Release bootstrap(const std::string& build_id) {
    const fs::path image = dir / ("image-" + build_id);
    write_file(image / "bin/trelk-bootstrap", read_file(fs::path(TRELK_BIN_DIR) / "trelk-bootstrap"));
    fs::permissions(image / "bin/trelk-bootstrap", fs::perms::owner_all);
    write_file(image / "share/release.txt", build_id);
    Release release{dir / (build_id + ".json"), dir / (build_id + ".tar.zst")};
    const json snapshot =
        pack_snapshot(image, release.archive,
                      {.build_id = build_id, .executable = "bin/trelk-bootstrap", .target = build_id + ".tar.zst"});
    write_file(release.document, canonical_json(bootstrap_release(snapshot)));
    return release;
  }
  void publish(const Release& launcher, const Release& bootstrap) {
    for (const auto& [target, release] :
         {std::pair{launcher_release_target(), launcher}, std::pair{bootstrap_manifest_target(), bootstrap}}) {
      repo.add_target(target, release.document);
      repo.add_target(release.archive.filename().string(), release.archive);
    }
    repo.publish();
  }
  std::map<std::string, std::string> environment() const {
    return {{"HOME", (dir / "home").string()}, {"TRELK_NO_DIALOGS", "1"}, {"PATH", "/usr/bin:/bin"}};
  }
  // A copy of the installation that every run of a story starts again from.
  void keep_pristine() { copy_tree(data, dir / "pristine"); }
  void restore() { copy_tree(dir / "pristine", data); }
  static void copy_tree(const fs::path& from, const fs::path& to) {
    fs::remove_all(to);
    ASSERT_EQ(run_program("/bin/cp", {"-a", from.string(), to.string()}, {}).status, 0);
  }
  Command install_command(const Release& launcher, const Release& bootstrap,
                          const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> arguments{data.string()};
    for (const auto& [option, value] : std::map<std::string, std::string>{{"--bootstrap-release", bootstrap.document},
                                                                          {"--bootstrap-archive", bootstrap.archive},
                                                                          {"--launcher-release", launcher.document},
                                                                          {"--launcher-archive", launcher.archive},
                                                                          {"--root", repo.root_file()},
                                                                          {"--metadata-url", nginx.url() + "metadata/"},
                                                                          {"--targets-url", nginx.url() + "targets/"},
                                                                          {"--ca-bundle", pki.ca}})
      arguments.insert(arguments.end(), {option, value});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return {fs::path(TRELK_TOOLS_DIR) / "trelk-install", arguments, environment()};
  }
  Outcome install(const Release& launcher, const Release& bootstrap, const std::vector<std::string>& extra = {}) {
    return run(install_command(launcher, bootstrap, extra));
  }
  // The installed bootstrap, started from a terminal-less shell as a user's desktop would.
  Command start_command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"--cli", "--"});
    return {data / "native/bootstrap/bin/trelk-bootstrap", arguments, environment()};
  }
  Outcome start(const std::vector<std::string>& command) { return run(start_command(command)); }
  json status() { return LauncherStore(data, LaunchView{}).status(); }
  // The first line of the installed bootstrap's answer to a command that must succeed.
  json answer(const std::vector<std::string>& command) {
    const auto outcome = start(command);
    EXPECT_EQ(outcome.status, 0) << outcome.err << outcome.out;
    return json::parse(outcome.out.substr(0, outcome.out.find('\n')));
  }
  std::string running() { return answer({"self", "status"})["running"]["build_id"]; }
  json update() { return answer({"self", "update"}); }
};

}  // namespace trelk::test
