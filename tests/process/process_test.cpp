#include "process/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "process/arguments.hpp"
#include "process/interrupt.hpp"
#include "support/errors.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path probe_path() { return fs::path(TRELK_TEST_PROGRAMS) / "process_probe"; }

std::vector<std::string> read_lines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Lines that begin with prefix, with the prefix removed.
std::vector<std::string> lines_with(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& line : lines)
    if (line.starts_with(prefix)) found.push_back(line.substr(prefix.size()));
  return found;
}

std::vector<std::string> arguments_of(const std::vector<std::string>& texts) {
  std::vector<const char*> argv{"trelk-bootstrap"};
  for (const auto& text : texts) argv.push_back(text.c_str());
  return process_arguments(static_cast<int>(argv.size()), argv.data());
}

// This process's own command line and environment are bounded; a child is refused before it starts, an image
// before it is replaced.
TEST(ProcessStart, BadRequestsAreRefusedBeforeAnyProcessStartsOrChangesAndAnImageThatCannotRunFailsTheStart) {
  const std::vector<std::string> many(256, "x");
  EXPECT_EQ(arguments_of(many), many);
  EXPECT_TRELK_ERROR(arguments_of(std::vector<std::string>(257, "x")), "argument_limit",
                     "Too many native command arguments");
  const std::vector<std::string> one_big{std::string(131072, 'a'), ""};  // an empty argument costs nothing
  EXPECT_EQ(arguments_of(one_big), one_big);
  EXPECT_TRELK_ERROR(arguments_of({std::string(131072, 'a'), "b"}), "argument_limit",
                     "Native process text exceeds its byte bound");

  test::ScopedEnv sized("PROBE_SIZED", "12345");
  EXPECT_EQ(process_environment("PROBE_SIZED", 5), "12345");
  EXPECT_TRELK_ERROR(process_environment("PROBE_SIZED", 4), "environment_limit",
                     "Native process text exceeds its byte bound");
  EXPECT_EQ(process_environment(std::string(128, 'A'), 1), "");
  EXPECT_TRELK_ERROR(process_environment(std::string(129, 'A'), 8192), "environment_key",
                     "Native environment key is invalid");

  // Children.
  test::TempDir dir;
  const auto image = dir / "image";  // not executable
  test::write_file(image, "not a program");
  fs::create_symlink(probe_path(), dir / "linked");
  std::vector<std::string> total(8, std::string(4096, 'a'));
  total.push_back("b");
  pid_t started = 0;
  bool refuse_record = false;
  auto start = [&](const fs::path& exe, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {}, ChildControl control = {}) {
    ChildProcess(
        exe, args, dir.path(), env, ChildStreams::Console, ChildEnvironment::Inherit,
        [&](std::uint64_t pid) {
          started = static_cast<pid_t>(pid);
          if (refuse_record) throw Error("file_write", "Cannot record the child");
        },
        ChildGroup::Shared, control);
  };
  EXPECT_TRELK_ERROR(start(dir / "linked", {}), "launch_executable",
                     "The installed game executable is missing or linked");
  EXPECT_TRELK_ERROR(start(probe_path(), std::vector<std::string>(65, "x")), "argument_limit",
                     "Too many launch arguments");
  EXPECT_TRELK_ERROR(start(probe_path(), {std::string(4097, 'a')}), "argument_limit",
                     "Launch argument is invalid or too long");
  EXPECT_TRELK_ERROR(start(probe_path(), total), "argument_limit", "Launch arguments exceed the total bound");
  EXPECT_TRELK_ERROR(start(probe_path(), {}, {{"A=B", "v"}}), "argument_encoding",
                     "Process environment entry is invalid");
  EXPECT_TRELK_ERROR(start(probe_path(), {}, {{launcher_interrupt_reader_environment, "1:3"}}), "process_control",
                     "Launcher interrupt authority cannot be supplied as an environment override");
  EXPECT_TRELK_ERROR(start(probe_path(), {}, {}, ChildControl::Interrupt), "process_control",
                     "Only an isolated console launcher child receives interrupt control");
  EXPECT_EQ(started, 0);
  // Not an exit status: the child was reaped before the constructor threw, also when recording it failed.
  const auto error = test::thrown([&] { start(image, {}); });
  EXPECT_EQ(error.code, "process_start");
  EXPECT_STREQ(error.what(), "Cannot execute the installed game");
  EXPECT_EQ(error.details, (std::vector<std::string>{"verify GAME", "repair GAME"}));
  EXPECT_GT(started, 0);
  EXPECT_EQ(::waitpid(started, nullptr, WNOHANG), -1);
  refuse_record = true;
  EXPECT_TRELK_ERROR(start(probe_path(), {"hold", "default"}), "file_write", "Cannot record the child");
  EXPECT_EQ(::waitpid(started, nullptr, WNOHANG), -1);
  // Also with this process's standard streams closed, where the start channels could land on 0-2.
  const pid_t closed = ::fork();
  if (closed == 0) {
    for (int fd = 0; fd <= 2; ++fd) ::close(fd);
    ::_exit(test::fails_with([&] { ChildProcess(image, {}, dir.path(), {}); }, "process_start") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(closed, &status, 0), closed);
  EXPECT_EQ(status, 0);

  // Replacing the image: every check must fire before execve; the image is not executable, so a check that let
  // the call through would fail with the native error instead.
  fs::create_symlink(image, dir / "linked-image");
  fs::create_directory(dir / "run");
  const auto before = fs::current_path();
  EXPECT_TRELK_ERROR(exec_process(dir / "linked-image", {}, dir / "run", {}), "process_start",
                     "Replacement image or directory is unavailable");
  EXPECT_TRELK_ERROR(exec_process(image, std::vector<std::string>(65, "x"), dir / "run", {}), "argument_limit",
                     "Too many replacement arguments");
  EXPECT_TRELK_ERROR(replace_process(image, {}, dir / "run", {{launcher_interrupt_reader_environment, "1:3"}}),
                     "process_control", "Maintenance cannot inherit launcher interrupt authority");
  EXPECT_TRELK_ERROR(exec_process(image, {"a"}, dir / "run", {{"PROBE", "1"}}), "process_start",
                     "Cannot replace this process (native error 13)");
  EXPECT_EQ(fs::current_path(), before);
}

// Started as a child (inheriting or sanitized) or by replacing a running image (plain or for maintenance), a
// program sees exactly its arguments, directory and environment: overrides win, the launcher's interrupt channel
// never passes by inheritance, loader variables only where nothing sanitizes, and only the standard streams.
TEST(ProcessStart, AProgramSeesExactlyItsArgumentsDirectoryAndEnvironment) {
  test::TempDir dir;
  const auto out = dir / "out";
  fs::create_directory(dir / "run");
  std::vector<std::string> args{"--out", out.string(), "report", "", "two words"};
  // 64 arguments whose lengths add up to exactly 32768 bytes.
  while (args.size() < 63) args.push_back(std::string(512, static_cast<char>('a' + args.size() % 26)));
  std::size_t total = 0;
  for (const auto& arg : args) total += arg.size();
  args.push_back(std::string(32768 - total, 'z'));
  test::ScopedEnv environment("LD_PROBE_VARIABLE", "1");
  environment.set(launcher_interrupt_reader_environment, "1:99");
  environment.set("PROBE_OVERRIDE", "parent");
  const int stray = ::open("/dev/null", O_RDONLY);  // opened carelessly elsewhere, without close-on-exec

  for (const std::string way : {"inherit", "sanitized", "plain", "maintenance"}) {
    SCOPED_TRACE(way);
    fs::remove(out);
    const bool replaced = way == "plain" || way == "maintenance";
    const auto shown = replaced ? std::vector<std::string>{"--out", out.string(), "report"} : args;
    std::vector<std::string> command{"--out", out.string(),          "replace",
                                     way,     probe_path().string(), (dir / "run").string()};
    command.insert(command.end(), shown.begin(), shown.end());
    ChildProcess child(probe_path(), replaced ? command : args, dir.path(),
                       {{"PROBE_OVERRIDE", "child"}, {"PROBE_EMPTY", ""}}, ChildStreams::Diagnostics,
                       way == "sanitized" ? ChildEnvironment::Sanitized : ChildEnvironment::Inherit);
    EXPECT_EQ(child.wait(), 0);
    const auto lines = read_lines(out);
    EXPECT_EQ(lines_with(lines, "cwd "), std::vector<std::string>{fs::canonical(replaced ? dir / "run" : dir.path())});
    std::vector<std::string> expected{probe_path().string()};
    expected.insert(expected.end(), shown.begin(), shown.end());
    EXPECT_EQ(lines_with(lines, "arg "), expected);
    const auto env = lines_with(lines, "env ");
    EXPECT_EQ(lines_with(env, "PROBE_OVERRIDE="), std::vector<std::string>{replaced ? "replaced" : "child"});
    EXPECT_EQ(lines_with(env, "PROBE_EMPTY="), std::vector<std::string>{""});
    EXPECT_TRUE(lines_with(env, std::string(launcher_interrupt_reader_environment) + "=").empty());
    EXPECT_EQ(lines_with(env, "LD_PROBE_VARIABLE=1").size(), way == "inherit" || way == "plain" ? 1u : 0u);
    // Diagnostics joins standard output to standard error.
    EXPECT_EQ(lines_with(lines, "fd 0 "), std::vector<std::string>{"/dev/null"});
    EXPECT_EQ(lines_with(lines, "fd 1 "), lines_with(lines, "fd 2 "));
    EXPECT_EQ(lines_with(lines, "fd ").size(), 3u);
  }
  ::close(stray);
}

// Ended, or a zombie waiting for a reaper that is not ours.
bool process_ended(pid_t pid) {
  const auto stat = read_lines("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || std::string("ZX").find(stat[0][stat[0].rfind(") ") + 2]) != std::string::npos;
}

// A child that ignores SIGTERM is killed after the grace. An isolated child leads its group and takes what it
// started with it (here a grandchild that ignores SIGTERM); an ended leader's group is left alone, as ending it
// would take the whole grace and kill what the leader started for the user.
TEST(ChildProcess, TerminationEndsTheChildAndWhileItRunsItsWholeGroup) {
  test::TempDir dir;
  const struct {
    std::string leader;
    ChildGroup group;
    std::chrono::milliseconds grace;
    int status;
  } rows[] = {
      {"default", ChildGroup::Shared, 2000ms, 128 + SIGTERM},
      {"ignore", ChildGroup::Shared, 200ms, 128 + SIGKILL},
      {"ignore", ChildGroup::Isolated, 200ms, 128 + SIGKILL},
      {"default", ChildGroup::Isolated, 200ms, 128 + SIGTERM},
      {"exit", ChildGroup::Isolated, 2000ms, 0},
  };
  for (const auto& row : rows) {
    const bool isolated = row.group == ChildGroup::Isolated;
    SCOPED_TRACE(row.leader + (isolated ? " isolated" : ""));
    const auto out = dir / (row.leader + std::to_string(isolated));
    std::vector<std::string> command{"--out", out.string(), "hold", row.leader};
    if (isolated) command.push_back((dir / "grandchild").string());
    pid_t reported = 0;
    ChildProcess child(
        probe_path(), command, dir.path(), {}, ChildStreams::Diagnostics, ChildEnvironment::Inherit,
        [&](std::uint64_t pid) { reported = static_cast<pid_t>(pid); }, row.group);
    EXPECT_TRELK_ERROR(child.terminate(2001ms), "process_wait",
                       "Child termination grace must be bounded to two seconds");
    EXPECT_EQ(row.leader == "exit" ? child.wait() : 0, 0);
    EXPECT_TRUE(row.leader == "exit" || test::eventually([&] { return fs::exists(out); }, 60s));
    const pid_t grandchild = isolated ? std::stoi(read_lines(dir / "grandchild").at(0)) : 0;
    EXPECT_EQ(isolated ? ::getpgid(grandchild) : child.process_id(), reported);  // it leads the group it started
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(child.terminate(row.grace));
    EXPECT_EQ(child.poll(), row.status);
    EXPECT_EQ(child.ended_by_signal(), row.status != 0);
    if (row.leader == "exit") {
      EXPECT_LT(std::chrono::steady_clock::now() - before, 1000ms);
      std::this_thread::sleep_for(50ms);
      EXPECT_FALSE(process_ended(grandchild)) << "a program the ended child started was ended with it";
    } else if (isolated) {
      EXPECT_TRUE(test::eventually([&] { return process_ended(grandchild); }, 60s)) << "grandchild survived";
    }
    if (isolated) ::kill(grandchild, SIGKILL);
  }
}

// The launcher's end of the channel: a canonical inherited read pipe, which refuses garbage and notices the parent
// leaving (a request through it is covered by the bootstrap's Ctrl+C story); the handler goes with its owner.
TEST(InterruptChannel, ReaderIsACanonicalReadPipeAndEachEndSurvivesTheOther) {
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &before), 0);
  const struct {
    std::string value;
    int end;  // which end of a pipe is put on descriptor 900
    std::string error;
    std::string then;  // what the parent does once the reader is attached
  } cases[] = {
      {"", 0, "", ""},
      {"1:900", 0, "", "garbage"},
      {"1:900", 0, "", "leaves"},
      {"1:0900", 0, "channel handle is invalid", ""},
      {"1:900", 1, "reader must be an inherited read pipe", ""},
      {"1:901", 0, "reader must be an inherited read pipe", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value + " on end " + std::to_string(c.end) + " " + c.then);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::dup2(ends[c.end], 900), 900);
    test::ScopedEnv reader(launcher_interrupt_reader_environment, c.value);
    if (c.error.empty()) {
      ConsoleInterrupt console(true);
      EXPECT_EQ(ConsoleInterrupt::parent_reader_attached(), !c.value.empty());
      EXPECT_TRELK_ERROR(ConsoleInterrupt(false), "signal", "Console cancellation handler is already installed");
      if (c.then == "garbage") {
        ASSERT_EQ(::write(ends[1], "\x02", 1), 1);
        EXPECT_TRELK_ERROR(console.requested(), "launcher_control", "Launcher interrupt channel request is invalid");
      } else if (c.then == "leaves") {
        ::close(ends[1]);
        EXPECT_FALSE(console.requested());
        EXPECT_FALSE(ConsoleInterrupt::parent_reader_attached());
      }
    } else {
      EXPECT_TRELK_ERROR(ConsoleInterrupt(true), "launcher_control", "Launcher interrupt " + c.error);
    }
    for (const int fd : {ends[0], ends[1], 900}) ::close(fd);
  }
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  InterruptPipe pipe;
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
