#include "process/interrupt.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process/child.hpp"
#include "process/probe.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

using test::expect_error;
using test::read_lines;
using test::TempDir;

// Attaches value inside a fresh probe whose descriptor fd holds kind, and
// returns what the probe reported.
std::vector<std::string> attach_in_child(const std::string& value, const std::string& kind, int fd) {
  TempDir dir;
  const auto out = dir / "out";
  ChildProcess child(test::probe_path(), {"--out", out.string(), "attach", value, kind, std::to_string(fd)}, dir.path(),
                     {});
  EXPECT_EQ(child.wait(), 0);
  return read_lines(out);
}

TEST(InterruptChannel, ReaderMustBeACanonicalInheritedReadPipe) {
  const std::string prefix = "error launcher_control ";
  const std::string handle = prefix + "Launcher interrupt channel handle is invalid";
  const std::string version = prefix + "Launcher interrupt channel version is invalid";
  const std::string not_pipe = prefix + "Launcher interrupt reader must be an inherited read pipe";
  const struct {
    std::string value;
    std::string kind;
    int fd;
    std::string outcome;
  } cases[] = {
      {"1:3", "read", 3, "attached 1"},
      {"1:10", "read", 10, "attached 1"},
      {"", "read", 3, "attached 0"},
      {"1:03", "read", 3, handle},
      {"1:+3", "read", 3, handle},
      {"1:2", "read", 3, handle},
      {"2:3", "read", 3, version},
      {"1:", "read", 3, version},
      {"1", "read", 3, version},
      {"1:2147483648", "read", 3, prefix + "Launcher interrupt descriptor is invalid"},
      {"1:3", "write", 3, not_pipe},
      {"1:3", "file", 3, not_pipe},
      {"1:11", "read", 10, not_pipe},
      {"1:" + std::string(31, '1'), "read", 3, "error environment_limit Native process text exceeds its byte bound"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value + " on " + c.kind);
    EXPECT_EQ(attach_in_child(c.value, c.kind, c.fd), std::vector<std::string>{c.outcome});
  }
}

TEST(InterruptChannel, ParentWritesOneRequestAndSurvivesAGoneReader) {
  InterruptPipe pipe;
  EXPECT_GT(pipe.reader(), 2);
  EXPECT_EQ(pipe.child_environment(), "1:" + std::to_string(pipe.reader()));
  EXPECT_EQ(::fcntl(static_cast<int>(pipe.reader()), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_TRUE(pipe.request());
  EXPECT_TRUE(pipe.request());
  const int reader = static_cast<int>(pipe.reader());
  ASSERT_EQ(::fcntl(reader, F_SETFL, O_NONBLOCK), 0);
  unsigned char bytes[8] = {};
  EXPECT_EQ(::read(reader, bytes, sizeof bytes), 1);
  EXPECT_EQ(bytes[0], 1);

  // With the read end gone the write fails; the SIGPIPE it raises must not
  // kill this process nor stay pending.
  InterruptPipe orphan;
  orphan.close_reader();
  EXPECT_FALSE(orphan.request());
  sigset_t pending;
  ASSERT_EQ(::sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(InterruptChannel, ConsoleReaderFollowsTheParent) {
  test::ScopedEnv cleared(launcher_interrupt_reader_environment, nullptr);
  {
    ConsoleInterrupt console(false);
    EXPECT_FALSE(ConsoleInterrupt::parent_reader_attached());
    EXPECT_FALSE(console.requested());
  }

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  {
    test::ScopedEnv reader(launcher_interrupt_reader_environment, ("1:" + std::to_string(ends[0])).c_str());
    ConsoleInterrupt console(true);  // adopts ends[0]
    EXPECT_TRUE(ConsoleInterrupt::parent_reader_attached());
    EXPECT_FALSE(console.requested());
    const unsigned char request = 1;
    ASSERT_EQ(::write(ends[1], &request, 1), 1);
    EXPECT_TRUE(console.requested());
    EXPECT_TRUE(console.requested());  // sticky
  }
  EXPECT_FALSE(ConsoleInterrupt::parent_reader_attached());
  ::close(ends[1]);

  ASSERT_EQ(::pipe(ends), 0);
  {
    test::ScopedEnv reader(launcher_interrupt_reader_environment, ("1:" + std::to_string(ends[0])).c_str());
    ConsoleInterrupt console(true);
    const unsigned char garbage = 2;
    ASSERT_EQ(::write(ends[1], &garbage, 1), 1);
    expect_error([&] { console.requested(); }, "launcher_control", "Launcher interrupt channel request is invalid");
  }
  ::close(ends[1]);

  ASSERT_EQ(::pipe(ends), 0);
  {
    test::ScopedEnv reader(launcher_interrupt_reader_environment, ("1:" + std::to_string(ends[0])).c_str());
    ConsoleInterrupt console(true);
    ::close(ends[1]);  // the parent went away: not a request
    EXPECT_FALSE(console.requested());
    EXPECT_FALSE(ConsoleInterrupt::parent_reader_attached());
    EXPECT_FALSE(console.requested());
  }
}

TEST(InterruptChannel, OneConsoleHandlerAtATimeAndTheOldOneComesBack) {
  test::ScopedEnv cleared(launcher_interrupt_reader_environment, nullptr);
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &before), 0);
  {
    ConsoleInterrupt console(false);
    expect_error([] { ConsoleInterrupt second(false); }, "signal", "Console cancellation handler is already installed");
    EXPECT_FALSE(console.requested());
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    EXPECT_TRUE(console.requested());
  }
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);

  ConsoleInterrupt again(false);
  EXPECT_FALSE(again.requested());
}

}  // namespace
}  // namespace trelk
