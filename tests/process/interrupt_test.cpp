#include "process/interrupt.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process/child.hpp"
#include "process/probe.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

TEST(InterruptChannel, ReaderMustBeACanonicalInheritedReadPipe) {
  const std::string prefix = "error launcher_control Launcher interrupt ";
  const struct {
    std::string value;
    std::string kind;  // which end of a pipe the probe puts on fd
    int fd;
    std::string outcome;
  } cases[] = {
      {"1:10", "read", 10, "attached 1"},
      {"", "read", 3, "attached 0"},
      {"1:03", "read", 3, prefix + "channel handle is invalid"},
      {"1:3", "write", 3, prefix + "reader must be an inherited read pipe"},
      {"1:11", "read", 10, prefix + "reader must be an inherited read pipe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value + " on " + c.kind);
    test::TempDir dir;
    ChildProcess child(test::probe_path(),
                       {"--out", (dir / "out").string(), "attach", c.value, c.kind, std::to_string(c.fd)}, dir.path(),
                       {});
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(test::read_lines(dir / "out"), std::vector<std::string>{c.outcome});
  }
}

// A request through the channel is covered by the Ctrl+C child test.
TEST(InterruptChannel, ReaderRefusesGarbageAndNoticesTheParentLeavingAndTheParentSurvivesAGoneReader) {
  for (const bool garbage : {true, false}) {
    SCOPED_TRACE(garbage ? "garbage" : "write end closed");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    test::ScopedEnv reader(launcher_interrupt_reader_environment, "1:" + std::to_string(ends[0]));
    ConsoleInterrupt console(true);  // adopts ends[0]
    EXPECT_TRUE(ConsoleInterrupt::parent_reader_attached());
    const unsigned char byte = 2;
    if (garbage) {
      ASSERT_EQ(::write(ends[1], &byte, 1), 1);
      EXPECT_TRELK_ERROR(console.requested(), "launcher_control", "Launcher interrupt channel request is invalid");
    }
    ::close(ends[1]);
    if (!garbage) {
      EXPECT_FALSE(console.requested());
      EXPECT_FALSE(ConsoleInterrupt::parent_reader_attached());
    }
  }
  InterruptPipe pipe;
  EXPECT_EQ(pipe.child_environment(), "1:" + std::to_string(pipe.reader()));
  EXPECT_EQ(::fcntl(static_cast<int>(pipe.reader()), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  // With the read end gone the write fails; the SIGPIPE it raises must not kill this process nor stay pending.
  pipe.close_reader();
  EXPECT_FALSE(pipe.request());
  sigset_t pending;
  ASSERT_EQ(::sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace
}  // namespace trelk
