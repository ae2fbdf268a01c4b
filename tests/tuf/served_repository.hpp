// A publisher's repository served by nginx over HTTPS on loopback, and clients of it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "repository.hpp"
#include "sign.hpp"
#include "support/errors.hpp"
#include "support/https_servers.hpp"
#include "support/temp_dir.hpp"
#include "transport/https_transport.hpp"
#include "tuf/client.hpp"

namespace trelk::test {

namespace fs = std::filesystem;

struct Served {
  TempDir dir;
  TestPki pki{dir / "pki"};
  Repository repo;
  NginxServer nginx;
  fs::path state = dir / "client";
  TufLimits limits = default_tuf_limits;
  TufTime now = system_tuf_time();

  explicit Served(const RepositorySetup& setup = {})
      : repo(Repository::create(dir / "repo", setup)), nginx(pki, dir / "repo/published") {
    TufClient::initialize(state, read_file(repo.root_file()));
  }
  fs::path metadata_file(const std::string& name) const { return repo.metadata_dir() / name; }
  // Publishes a target of the given bytes.
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
  std::string download(const std::string& path) {
    with_client([&](TufClient& client) { client.download(path, dir / "out" / path, {}, {}, {}); });
    return read_file(dir / "out" / path);
  }
  // What an attacker with the role's keys can sign: the published document, changed.
  void forge(const std::string& role, const std::function<void(json&)>& change, const std::string& file = "") {
    json body = repo.document(role).at("signed");
    change(body);
    const auto keys = repo.role_keys(role);
    write_file(metadata_file(file.empty() ? role + ".json" : file), canonical_json(signed_document(body, keys)));
  }
  std::string error_code(const std::function<void(TufClient&)>& use) {
    return thrown([&] { with_client(use); }).code;
  }
};

}  // namespace trelk::test
