// The whole update cycle with the real programs: a publisher releases through the repository tool,
// nginx serves it over HTTPS, trelk-install lays out the installation under a brand, and the installed
// bootstrap with the reference launcher picks releases up, proves them and keeps or rejects them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/installation.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::Release;

TEST(UpdateCycle, ReleasesArePickedUpProvenAndKeptOrRejected) {
  test::ServedRepository publisher(test::ServedRepository::two_key_root());
  const Release launcher_10 = publisher.launcher("launcher-1.0", "normal");
  const Release bootstrap_10 = publisher.bootstrap("bootstrap-1.0");
  publisher.publish(launcher_10, bootstrap_10);
  const fs::path shortcut = publisher.dir / "home/acme.desktop";
  const std::vector<std::string> brand{"--brand-name",      "Acme Games", "--brand-id",      "acme",
                                       "--brand-publisher", "Acme Ltd",   "--desktop-entry", shortcut.string()};
  const auto installed = publisher.install(launcher_10, bootstrap_10, brand);
  ASSERT_EQ(installed.status, 0) << installed.err;
  const json result = parse_json(installed.out, 1 << 16);
  EXPECT_EQ(result.at("data_dir"), publisher.data.string());
  EXPECT_EQ(result.at("bootstrap"), "bootstrap-1.0");
  EXPECT_EQ(result.at("launcher").at("build_id"), "launcher-1.0");
  const fs::path entry = publisher.data / installed_bootstrap_entry;
  EXPECT_FALSE(fs::exists(publisher.data / native_setup_marker));
  EXPECT_EQ(read_file(publisher.data / "native/bootstrap.json"), read_file(bootstrap_10.document));
  EXPECT_EQ(installed_data_root(entry), publisher.data);
  EXPECT_EQ(
      parse_json(read_file(publisher.data / "native/installation.json"), 1 << 16),
      json::parse(
          R"({"schema_version":1,"brand":{"name":"Acme Games","id":"acme","publisher":"Acme Ltd","icon":false}})"));
  // The entry the installed bootstrap wrote starts it under the brand's name.
  const std::string desktop = read_file(shortcut);
  EXPECT_NE(desktop.find("Name=Acme\\sGames\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find(entry.string()), std::string::npos) << desktop;
  // A second install into the installation changes nothing.
  const auto before = test::tree(publisher.data);
  const auto again = publisher.install(launcher_10, bootstrap_10);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already holds"), std::string::npos) << again.err;
  EXPECT_EQ(test::tree(publisher.data), before);

  // First start confirms the seeded candidate; nothing newer is published yet.
  EXPECT_EQ(publisher.running(), "launcher-1.0");
  EXPECT_EQ(publisher.status()["active"]["build_id"], "launcher-1.0");
  json update = publisher.update();
  EXPECT_EQ(update["launcher"]["status"], "current");
  EXPECT_EQ(update["bootstrap"]["status"], "current");

  // 1.1 of both: staged by one update, applied and proven by the next start.
  const Release bootstrap_11 = publisher.bootstrap("bootstrap-1.1");
  publisher.publish(publisher.launcher("launcher-1.1", "normal"), bootstrap_11);
  update = publisher.update();
  // With no delta published, the whole archive is what arrives.
  EXPECT_EQ(update["launcher"], (json{{"staged", true},
                                      {"status", "staged"},
                                      {"build_id", "launcher-1.1"},
                                      {"path", "full"},
                                      {"downloaded_bytes", fs::file_size(publisher.dir / "launcher-1.1.tar.zst")},
                                      {"fallback", nullptr}}));
  EXPECT_EQ(update["bootstrap"], (json{{"staged", true}, {"status", "staged"}, {"build_id", "bootstrap-1.1"}}));
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
  // A run killed after the store recorded 1.2 left its finished archive and a patch to it: the next update,
  // which stages nothing, removes them and its own release document.
  const fs::path downloads = publisher.data / "launcher/downloads";
  const json archive = json::parse(read_file(publisher.dir / "launcher-1.2.json"))["archive"];
  const fs::path left = downloads / fs::path(archive["target"].get<std::string>()).filename();
  fs::copy_file(publisher.dir / "launcher-1.2.tar.zst", left);
  fs::copy_file(left, fs::path(left) += ".from-0123456789abcdef.patch");
  update = publisher.update();
  EXPECT_EQ(update["launcher"]["status"], "rejected");
  EXPECT_EQ(update["bootstrap"]["status"], "current");
  EXPECT_EQ(std::distance(fs::directory_iterator(downloads), fs::directory_iterator()), 0);
}

}  // namespace
}  // namespace trelk
