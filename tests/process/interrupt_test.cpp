#include "process/interrupt.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/errors.hpp"
#include "support/scoped_env.hpp"

namespace trelk {
namespace {

TEST(InterruptChannel, ReaderMustBeACanonicalInheritedReadPipe) {
  const std::string prefix = "Launcher interrupt ";
  const struct {
    std::string value;
    int end;  // which end of a pipe is put on descriptor 900
    std::string error;
  } cases[] = {
      {"", 0, ""},
      {"1:0900", 0, "channel handle is invalid"},
      {"1:900", 1, "reader must be an inherited read pipe"},
      {"1:901", 0, "reader must be an inherited read pipe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value + " on end " + std::to_string(c.end));
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::dup2(ends[c.end], 900), 900);
    test::ScopedEnv reader(launcher_interrupt_reader_environment, c.value);
    if (c.error.empty()) {
      ConsoleInterrupt console(true);
      EXPECT_FALSE(ConsoleInterrupt::parent_reader_attached());
    } else {
      EXPECT_TRELK_ERROR(ConsoleInterrupt(true), "launcher_control", prefix + c.error);
    }
    for (const int fd : {ends[0], ends[1], 900}) ::close(fd);
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
