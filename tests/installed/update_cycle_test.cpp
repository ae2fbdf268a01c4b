// The whole update cycle with the real programs: a publisher releases through the repository tool,
// nginx serves it over HTTPS, trelk-install lays out the installation, and the installed bootstrap with
// the reference launcher picks releases up, proves them and keeps or rejects them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "installed/publisher.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::Publisher;
using test::read_file;
using test::Release;

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
