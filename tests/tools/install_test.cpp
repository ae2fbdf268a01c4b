// The installer killed at any of its mutating calls: the same command run again completes what it started.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bootstrap/contract.hpp"
#include "support/installation.hpp"
#include "support/served_repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

TEST(CrashConsistency, TheSameInstallCommandCompletesWhatAKilledOneStartedAndNothingElse) {
  test::ServedRepository publisher;
  const test::Release launcher{test::Installation::release(), test::Installation::archive()};
  const test::Release bootstrap = publisher.bootstrap("bootstrap-1.0");
  const auto install = [&] { return publisher.install(launcher, bootstrap); };
  // A directory holding anything this installer did not make is never taken over.
  test::write_file(publisher.data / "notes.txt", "mine");
  EXPECT_NE(install().err.find("(not_empty)"), std::string::npos);
  EXPECT_EQ(test::read_file(publisher.data / "notes.txt"), "mine");

  test::run_crash_test({.prepare =
                            [&] {
                              fs::remove_all(publisher.dir / "home");
                              return publisher.install_command(launcher, bootstrap);
                            },
                        .reference = [](const test::Outcome& outcome) { ASSERT_EQ(outcome.status, 0) << outcome.err; },
                        .check =
                            [&] {
                              const bool complete = fs::exists(publisher.data / "native/installation.json") &&
                                                    !fs::exists(publisher.data / native_setup_marker);
                              const auto again = install();
                              EXPECT_EQ(again.status, complete ? 1 : 0) << again.err;
                              EXPECT_TRUE(test::launcher_answered(publisher.start({"self", "status"})));
                            },
                        .sample = 10});
}

}  // namespace
}  // namespace trelk
