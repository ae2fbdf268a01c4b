#include "process/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include <gtest/gtest.h>

#include "process/interrupt.hpp"
#include "process/probe.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

using namespace std::chrono_literals;
using test::expect_error;
using test::lines_with;
using test::probe_path;
using test::read_lines;
using test::TempDir;

// Ends a child a test left running, so no probe outlives a failed assertion.
struct Reaper {
  ChildProcess& child;
  ~Reaper() {
    if (!child.poll()) {
      ::kill(static_cast<pid_t>(child.process_id()), SIGKILL);
      child.wait();
    }
  }
};

std::set<int> descriptor_numbers(const std::vector<std::string>& lines) {
  std::set<int> numbers;
  for (const auto& line : lines_with(lines, "fd ")) numbers.insert(std::stoi(line));
  return numbers;
}

std::string descriptor_target(const std::vector<std::string>& lines, int fd) {
  for (const auto& line : lines_with(lines, "fd " + std::to_string(fd) + " ")) return line;
  return {};
}

TEST(ChildProcess, RefusesBadRequestsBeforeAnyProcessExists) {
  TempDir dir;
  std::filesystem::create_symlink(probe_path(), dir / "linked");
  std::filesystem::create_directory(dir / "real");
  std::filesystem::create_directory_symlink(dir / "real", dir / "linked-dir");
  bool started = false;
  auto start = [&](const std::filesystem::path& exe, const std::vector<std::string>& args,
                   const std::filesystem::path& cwd, const std::map<std::string, std::string>& env,
                   ChildGroup group = ChildGroup::Shared, ChildControl control = ChildControl::None,
                   std::vector<std::int64_t> handles = {}) {
    return [&, exe, args, cwd, env, group, control, handles] {
      ChildProcess child(
          exe, args, cwd, env, ChildStreams::Console, ChildEnvironment::Inherit, [&](std::uint64_t) { started = true; },
          group, control, handles);
    };
  };
  const auto probe = probe_path();
  const auto cwd = dir.path();

  expect_error(start(probe, {}, cwd, {}, ChildGroup::Shared, ChildControl::None, std::vector<std::int64_t>(9, 5)),
               "launch_handles", "Too many private native child handles");
  expect_error(start(probe, {}, cwd, {}, ChildGroup::Shared, ChildControl::None, {5}), "launch_handles",
               "Native handle inheritance is Windows-only");
  for (const auto& exe : {dir / "linked", std::filesystem::path("process_probe"), dir / "missing"}) {
    expect_error(start(exe, {}, cwd, {}), "launch_executable", "The installed game executable is missing or linked");
  }
  for (const auto& bad_cwd : {dir / "linked-dir", std::filesystem::path("real")}) {
    expect_error(start(probe, {}, bad_cwd, {}), "launch_directory", "Game working directory is missing or linked");
  }
  expect_error(start(probe, std::vector<std::string>(65, "x"), cwd, {}), "argument_limit", "Too many launch arguments");
  expect_error(start(probe, {std::string(4097, 'a')}, cwd, {}), "argument_limit",
               "Launch argument is invalid or too long");
  expect_error(start(probe, {std::string("a\0b", 3)}, cwd, {}), "argument_limit",
               "Launch argument is invalid or too long");
  std::vector<std::string> total(8, std::string(4096, 'a'));
  total.push_back("b");
  expect_error(start(probe, total, cwd, {}), "argument_limit", "Launch arguments exceed the total bound");
  for (const auto& env : std::vector<std::map<std::string, std::string>>{
           {{"", "v"}}, {{"A=B", "v"}}, {{std::string("A\0B", 3), "v"}}, {{"A", std::string("v\0w", 3)}}}) {
    expect_error(start(probe, {}, cwd, env), "argument_encoding", "Process environment entry is invalid");
  }
  expect_error(start(probe, {}, cwd, {{launcher_interrupt_reader_environment, "1:3"}}), "process_control",
               "Launcher interrupt authority cannot be supplied as an environment override");
  expect_error(start(probe, {}, cwd, {}, ChildGroup::Shared, ChildControl::Interrupt), "process_control",
               "Only an isolated console launcher child receives interrupt control");
  EXPECT_FALSE(started);
}

TEST(ChildProcess, PassesArgumentsAtTheirBoundsAndTheChosenEnvironment) {
  TempDir dir;
  const auto out = dir / "out";
  std::vector<std::string> args{"--out", out.string(), "report", "", "two words"};
  // 64 arguments whose lengths add up to exactly 32768 bytes.
  while (args.size() < 63) args.push_back(std::string(512, static_cast<char>('a' + args.size() % 26)));
  std::size_t total = 0;
  for (const auto& arg : args) total += arg.size();
  args.push_back(std::string(32768 - total, 'z'));
  test::ScopedEnv linker("LD_PROBE_VARIABLE", "1");
  test::ScopedEnv dyld("DYLD_PROBE_VARIABLE", "1");
  test::ScopedEnv reader(launcher_interrupt_reader_environment, "1:99");
  test::ScopedEnv overridden("PROBE_OVERRIDE", "parent");

  for (const auto inheritance : {ChildEnvironment::Inherit, ChildEnvironment::Sanitized}) {
    std::filesystem::remove(out);
    std::uint64_t reported = 0;
    ChildProcess child(probe_path(), args, dir.path(), {{"PROBE_OVERRIDE", "child"}, {"PROBE_EMPTY", ""}},
                       ChildStreams::Diagnostics, inheritance, [&](std::uint64_t pid) { reported = pid; });
    EXPECT_EQ(reported, static_cast<std::uint64_t>(child.process_id()));
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(child.ended_by_signal());
    EXPECT_FALSE(child.notification_handle());

    const auto lines = read_lines(out);
    EXPECT_EQ(lines_with(lines, "cwd "), std::vector<std::string>{std::filesystem::canonical(dir.path()).string()});
    std::vector<std::string> expected{probe_path().string()};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(lines_with(lines, "arg "), expected);

    const auto env = lines_with(lines, "env ");
    auto count = [&](const std::string& prefix) {
      return std::count_if(env.begin(), env.end(), [&](const std::string& e) { return e.starts_with(prefix); });
    };
    EXPECT_EQ(count("PROBE_OVERRIDE="), 1);
    EXPECT_TRUE(test::has_line(env, "PROBE_OVERRIDE=child"));
    EXPECT_TRUE(test::has_line(env, "PROBE_EMPTY="));
    EXPECT_EQ(count(std::string(launcher_interrupt_reader_environment) + "="), 0);
    if (inheritance == ChildEnvironment::Inherit) {
      EXPECT_TRUE(test::has_line(env, "LD_PROBE_VARIABLE=1"));
      EXPECT_TRUE(test::has_line(env, "DYLD_PROBE_VARIABLE=1"));
    } else {
      EXPECT_EQ(count("LD_") + count("DYLD_"), 0);
    }
    EXPECT_EQ(descriptor_target(lines, 0), "/dev/null");
  }
}

TEST(ChildProcess, ExecFailureIsAStartFailureNotAnExitStatus) {
  TempDir dir;
  std::filesystem::copy_file(probe_path(), dir / "not-executable");
  std::filesystem::permissions(dir / "not-executable", std::filesystem::perms::owner_read);
  test::write_file(dir / "missing-interpreter", "#!/nonexistent/interpreter\n");
  std::filesystem::permissions(dir / "missing-interpreter", std::filesystem::perms::owner_all);

  for (const auto& exe : {dir / "not-executable", dir / "missing-interpreter"}) {
    pid_t started = 0;
    try {
      ChildProcess child(exe, {}, dir.path(), {}, ChildStreams::Diagnostics, ChildEnvironment::Inherit,
                         [&](std::uint64_t pid) { started = static_cast<pid_t>(pid); });
      Reaper reaper{child};
      ADD_FAILURE() << "started " << exe;
    } catch (const Error& error) {
      EXPECT_EQ(error.code, "process_start");
      EXPECT_STREQ(error.what(), "Cannot execute the installed game");
      EXPECT_EQ(error.details, (std::vector<std::string>{"verify GAME", "repair GAME"}));
    }
    // The failed child was reaped before the constructor threw.
    ASSERT_GT(started, 0);
    int status = 0;
    EXPECT_EQ(::waitpid(started, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST(ChildProcess, ACallbackFailureLeavesNothingRunning) {
  TempDir dir;
  pid_t started = 0;
  EXPECT_THROW(
      ChildProcess(probe_path(), {"sleep"}, dir.path(), {}, ChildStreams::Diagnostics, ChildEnvironment::Inherit,
                   [&](std::uint64_t pid) {
                     started = static_cast<pid_t>(pid);
                     throw Error("file_write", "Cannot record the child");
                   }),
      Error);
  ASSERT_GT(started, 0);
  int status = 0;
  EXPECT_EQ(::waitpid(started, &status, WNOHANG), -1);
}

TEST(ChildProcess, ReportsExitCodesAndSignals) {
  TempDir dir;
  ChildProcess exits(probe_path(), {"exit", "7"}, dir.path(), {});
  EXPECT_EQ(exits.wait(), 7);
  EXPECT_EQ(exits.poll(), 7);
  EXPECT_FALSE(exits.ended_by_signal());
  EXPECT_FALSE(exits.request_interrupt());
  expect_error([&] { exits.wait([] { return false; }); }, "process_control",
               "Interruptible waiting needs this owned child's private channel");

  const auto out = dir / "out";
  ChildProcess killed(probe_path(), {"--out", out.string(), "sleep"}, dir.path(), {});
  Reaper reaper{killed};
  ASSERT_TRUE(test::wait_for_line(out, "ready"));
  EXPECT_FALSE(killed.poll());
  ASSERT_EQ(::kill(static_cast<pid_t>(killed.process_id()), SIGKILL), 0);
  EXPECT_EQ(killed.wait(), 128 + SIGKILL);
  EXPECT_TRUE(killed.ended_by_signal());
}

TEST(ChildProcess, TerminateKillsAChildThatIgnoresSigterm) {
  TempDir dir;
  const auto out = dir / "out";
  ChildProcess stubborn(probe_path(), {"--out", out.string(), "ignore-term"}, dir.path(), {});
  Reaper reaper{stubborn};
  expect_error([&] { stubborn.terminate(2001ms); }, "process_wait",
               "Child termination grace must be bounded to two seconds");
  ASSERT_TRUE(test::wait_for_line(out, "ready"));
  EXPECT_TRUE(stubborn.terminate(200ms));
  EXPECT_EQ(stubborn.poll(), 128 + SIGKILL);
  EXPECT_TRUE(stubborn.ended_by_signal());
  EXPECT_TRUE(stubborn.terminate(2000ms));

  const auto polite_out = dir / "polite";
  ChildProcess polite(probe_path(), {"--out", polite_out.string(), "sleep"}, dir.path(), {});
  Reaper polite_reaper{polite};
  ASSERT_TRUE(test::wait_for_line(polite_out, "ready"));
  EXPECT_TRUE(polite.terminate(2000ms));
  EXPECT_EQ(polite.poll(), 128 + SIGTERM);
}

// Gone, or a zombie waiting for a reaper that is not ours.
bool process_ended(pid_t pid) {
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < end) {
    const auto stat = read_lines("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return true;
    const auto state = stat[0].find(") ");
    if (state != std::string::npos && (stat[0][state + 2] == 'Z' || stat[0][state + 2] == 'X')) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(ChildProcess, TerminatingAnIsolatedChildEndsItsWholeGroup) {
  for (const std::string leader : {"ignore", "default"}) {
    SCOPED_TRACE(leader);
    TempDir dir;
    const auto out = dir / "out";
    const auto pid_file = dir / "grandchild";
    ChildProcess child(probe_path(), {"--out", out.string(), "group", pid_file.string(), leader}, dir.path(), {},
                       ChildStreams::Diagnostics, ChildEnvironment::Inherit, {}, ChildGroup::Isolated);
    Reaper reaper{child};
    ASSERT_TRUE(test::wait_for_line(out, "ready"));
    const pid_t grandchild = std::stoi(read_lines(pid_file).at(0));
    EXPECT_EQ(::getpgid(grandchild), child.process_id());
    EXPECT_NE(::getpgid(0), child.process_id());

    EXPECT_TRUE(child.terminate(200ms));
    EXPECT_TRUE(child.ended_by_signal());
    if (!process_ended(grandchild)) {
      ADD_FAILURE() << "grandchild " << grandchild << " survived";
      ::kill(grandchild, SIGKILL);
    }
  }
}

TEST(ChildProcess, CtrlCReachesTheChildThroughItsChannel) {
  test::ScopedEnv reader(launcher_interrupt_reader_environment, nullptr);
  ConsoleInterrupt console(false);
  TempDir dir;
  const auto out = dir / "out";
  ChildProcess child(probe_path(), {"--out", out.string(), "interrupt"}, dir.path(), {}, ChildStreams::Console,
                     ChildEnvironment::Inherit, {}, ChildGroup::Isolated, ChildControl::Interrupt);
  Reaper reaper{child};
  ASSERT_TRUE(test::wait_for_line(out, "attached 1"));
  EXPECT_FALSE(console.requested());
  EXPECT_FALSE(child.poll());

  ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
  EXPECT_TRUE(console.requested());
  EXPECT_EQ(child.wait([&] { return console.requested(); }), 128 + SIGINT);
  EXPECT_TRUE(child.ended_by_signal());
  EXPECT_TRUE(test::has_line(read_lines(out), "requested"));
  EXPECT_FALSE(child.request_interrupt());
}

TEST(ChildProcess, DestroyingTheOwnerDetachesTheChild) {
  TempDir dir;
  const auto out = dir / "out";
  pid_t pid = 0;
  {
    ChildProcess child(probe_path(), {"--out", out.string(), "interrupt"}, dir.path(), {}, ChildStreams::Console,
                       ChildEnvironment::Inherit, {}, ChildGroup::Isolated, ChildControl::Interrupt);
    pid = static_cast<pid_t>(child.process_id());
    if (!test::wait_for_line(out, "attached 1")) {
      ::kill(pid, SIGKILL);
      child.wait();
      FAIL() << "child never attached";
    }
  }
  // The owner never kills; the child sees the channel close and leaves by itself.
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_TRUE(test::has_line(read_lines(out), "detached"));
}

TEST(ChildProcess, OnlyTheExpectedDescriptorsReachTheChild) {
  TempDir dir;
  // Descriptors opened carelessly elsewhere in the process must not leak either.
  const int stray = ::open("/dev/null", O_RDONLY);
  int stray_pipe[2];
  ASSERT_GE(stray, 0);
  ASSERT_EQ(::pipe(stray_pipe), 0);

  const auto plain_out = dir / "plain";
  ChildProcess plain(probe_path(), {"--out", plain_out.string(), "report"}, dir.path(), {});
  EXPECT_EQ(plain.wait(), 0);
  EXPECT_EQ(descriptor_numbers(read_lines(plain_out)), (std::set<int>{0, 1, 2}));

  const auto controlled_out = dir / "controlled";
  ChildProcess controlled(probe_path(), {"--out", controlled_out.string(), "report"}, dir.path(), {},
                          ChildStreams::Console, ChildEnvironment::Inherit, {}, ChildGroup::Isolated,
                          ChildControl::Interrupt);
  EXPECT_EQ(controlled.wait(), 0);
  const auto lines = read_lines(controlled_out);
  const auto reader = lines_with(lines, std::string("env ") + launcher_interrupt_reader_environment + "=1:");
  ASSERT_EQ(reader.size(), 1u);
  const int reader_fd = std::stoi(reader[0]);
  EXPECT_GT(reader_fd, 2);
  EXPECT_EQ(descriptor_numbers(lines), (std::set<int>{0, 1, 2, reader_fd}));
  EXPECT_TRUE(descriptor_target(lines, reader_fd).starts_with("pipe:"));

  ::close(stray);
  ::close(stray_pipe[0]);
  ::close(stray_pipe[1]);
}

TEST(ChildProcess, DiagnosticsJoinStandardOutputToStandardError) {
  TempDir dir;
  test::write_file(dir / "stdout", "");
  test::write_file(dir / "stderr", "");
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = ::dup(STDOUT_FILENO);
  const int saved_err = ::dup(STDERR_FILENO);
  const int new_out = ::open((dir / "stdout").c_str(), O_WRONLY | O_CLOEXEC);
  const int new_err = ::open((dir / "stderr").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_TRUE(saved_out >= 0 && saved_err >= 0 && new_out >= 0 && new_err >= 0);
  ::dup2(new_out, STDOUT_FILENO);
  ::dup2(new_err, STDERR_FILENO);
  int diagnostics_status = -1;
  int console_status = -1;
  try {
    ChildProcess diagnostics(probe_path(), {"--out", (dir / "diagnostics").string(), "report"}, dir.path(), {},
                             ChildStreams::Diagnostics);
    diagnostics_status = diagnostics.wait();
    ChildProcess console(probe_path(), {"--out", (dir / "console").string(), "report"}, dir.path(), {},
                         ChildStreams::Console);
    console_status = console.wait();
  } catch (...) {
  }
  ::dup2(saved_out, STDOUT_FILENO);
  ::dup2(saved_err, STDERR_FILENO);
  for (const int fd : {saved_out, saved_err, new_out, new_err}) ::close(fd);

  EXPECT_EQ(diagnostics_status, 0);
  EXPECT_EQ(console_status, 0);
  const auto out_path = std::filesystem::canonical(dir / "stdout").string();
  const auto err_path = std::filesystem::canonical(dir / "stderr").string();
  const auto diagnostics = read_lines(dir / "diagnostics");
  EXPECT_EQ(descriptor_target(diagnostics, 1), err_path);
  EXPECT_EQ(descriptor_target(diagnostics, 2), err_path);
  const auto console = read_lines(dir / "console");
  EXPECT_EQ(descriptor_target(console, 1), out_path);
  EXPECT_EQ(descriptor_target(console, 2), err_path);
}

}  // namespace
}  // namespace trelk
