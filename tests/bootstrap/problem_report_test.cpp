#include "bootstrap/problem_report.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "native/brand.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace trelk {
namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

// Sets environment variables for one test and restores the old values after it.
class Environment {
 public:
  ~Environment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.contains(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// Standard error away from any terminal the test runner may have, so that the
// dialog path is taken; restored afterwards.
class StderrAway {
 public:
  StderrAway() : saved_(::dup(STDERR_FILENO)) {
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~StderrAway() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

struct BrandReset {
  ~BrandReset() { set_product_name("Trelk"); }
};

// Stand-ins for the desktop's dialog programs: each records its argument vector
// (NUL-separated) and exits with the given status.
class FakeDesktop {
 public:
  FakeDesktop() {
    fs::create_directories(bin());
    fs::create_directories(records());
    environment_.set("PATH", bin().string());
    environment_.set("DISPLAY", ":77");
    environment_.set("WAYLAND_DISPLAY", std::nullopt);
    environment_.set("TRELK_NO_DIALOGS", std::nullopt);
  }

  fs::path bin() const { return dir_ / "bin"; }
  fs::path records() const { return dir_ / "records"; }
  Environment& environment() { return environment_; }

  void install(const std::string& name, int status = 0, const fs::path& directory = {}) {
    const fs::path target = (directory.empty() ? bin() : directory) / name;
    test::write_file(target, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" +
                                 (records() / name).string() + "'\nexit " + std::to_string(status) + "\n");
    fs::permissions(target, fs::perms::owner_all);
  }

  // The arguments a program was run with, or nothing when it never ran.
  std::optional<Argv> run_with(const std::string& name) const {
    if (!fs::exists(records() / name)) return std::nullopt;
    const std::string bytes = test::read_file(records() / name);
    Argv arguments;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
      arguments.push_back(bytes.substr(start, end - start));
    }
    return arguments;
  }

  void forget() {
    fs::remove_all(records());
    fs::create_directories(records());
  }

 private:
  test::TempDir dir_;
  Environment environment_;
};

TEST(ProblemReport, SafeTextNeutralisesTerminalControls) {
  EXPECT_EQ(safe_text("plain text, tab\there\nnext line"), "plain text, tab\there\nnext line");
  EXPECT_EQ(safe_text("\x1b[31mred\x1b[0m"), "?[31mred?[0m");
  EXPECT_EQ(safe_text(std::string("a\0b\rc\x7f", 6)), "a?b?c?");
  EXPECT_EQ(safe_text("\xc2\x9b"
                      "2J"),
            "?2J");                                // C1 CSI is one character, one "?"
  EXPECT_EQ(safe_text("\xc2\x80\xc2\x9f"), "??");  // both ends of the C1 range
  EXPECT_EQ(safe_text("no\xc2\xa0"
                      "break"),
            "no\xc2\xa0"
            "break");  // U+00A0 is text
  EXPECT_EQ(safe_text("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae");
  EXPECT_EQ(safe_text("end\xc2"), "end\xc2");  // a truncated sequence is not a control character
  EXPECT_EQ(safe_text(""), "");
}

TEST(ProblemReport, FirstInstalledDialogProgramRunsAlone) {
  FakeDesktop desktop;
  desktop.install("zenity", 1);  // its result does not matter, only that it ran
  desktop.install("kdialog");
  desktop.install("xmessage");

  EXPECT_TRUE(show_plain_error("Title", "Line one\nline two"));
  EXPECT_EQ(desktop.run_with("zenity"),
            (Argv{"--error", "--no-markup", "--title", "Title", "--text", "Line one\nline two"}));
  EXPECT_FALSE(desktop.run_with("kdialog"));
  EXPECT_FALSE(desktop.run_with("xmessage"));

  desktop.forget();
  fs::remove(desktop.bin() / "zenity");
  EXPECT_TRUE(show_plain_error("Title", "Message"));
  EXPECT_EQ(desktop.run_with("kdialog"), (Argv{"--title", "Title", "--error", "Message"}));
  EXPECT_FALSE(desktop.run_with("xmessage"));

  desktop.forget();
  fs::remove(desktop.bin() / "kdialog");
  EXPECT_TRUE(show_plain_error("Title", "Message"));
  EXPECT_EQ(desktop.run_with("xmessage"), (Argv{"-center", "Title\n\nMessage"}));

  fs::remove(desktop.bin() / "xmessage");
  EXPECT_FALSE(show_plain_error("Title", "Message"));
}

TEST(ProblemReport, OnlyAbsoluteSearchPathEntriesAndExecutableFilesCount) {
  FakeDesktop desktop;
  test::TempDir work;
  const fs::path relative = work / "bin";
  const fs::path not_executable = work / "plain";
  const fs::path directory = work / "dir";
  const fs::path later = work / "later";
  for (const fs::path& d : {relative, not_executable, directory / "zenity", later}) fs::create_directories(d);
  desktop.install("zenity", 0, relative);
  desktop.install("zenity", 0, not_executable);
  fs::permissions(not_executable / "zenity", fs::perms::owner_read | fs::perms::owner_write);
  desktop.install("kdialog", 0, later);

  const fs::path saved = fs::current_path();
  fs::current_path(work.path());
  desktop.environment().set(
      "PATH", "::bin:./bin:" + not_executable.string() + ":" + directory.string() + ":" + later.string() + ":");
  const bool shown = show_plain_error("T", "M");
  fs::current_path(saved);

  EXPECT_TRUE(shown);
  EXPECT_FALSE(desktop.run_with("zenity"));
  EXPECT_EQ(desktop.run_with("kdialog"), (Argv{"--title", "T", "--error", "M"}));
}

TEST(ProblemReport, DialogTextIsCutAndControlBytesBecomeSpaces) {
  FakeDesktop desktop;
  desktop.install("zenity");
  desktop.install("xmessage");

  const std::string title = std::string(199, 't') + "\tTT";
  const std::string message =
      "a\rb\x1b"
      "c\x7f\nd" +
      std::string(5000, 'm');
  EXPECT_TRUE(show_plain_error(title, message));
  std::optional<Argv> zenity = desktop.run_with("zenity");
  ASSERT_TRUE(zenity);
  ASSERT_EQ(zenity->size(), 6u);
  EXPECT_EQ((*zenity)[3], std::string(199, 't') + " ");
  EXPECT_EQ((*zenity)[5].size(), 2000u);
  EXPECT_EQ((*zenity)[5].substr(0, 8), "a b c \nd");

  desktop.forget();
  fs::remove(desktop.bin() / "zenity");
  EXPECT_TRUE(show_plain_error(std::string(300, 't'), std::string(3000, 'm')));
  EXPECT_EQ(desktop.run_with("xmessage"), (Argv{"-center", std::string(200, 't') + "\n\n" + std::string(2000, 'm')}));
}

TEST(ProblemReport, DialogsNeedADisplayAndMayBeTurnedOff) {
  FakeDesktop desktop;
  desktop.install("zenity");
  Environment& environment = desktop.environment();
  auto shown = [&] {
    desktop.forget();
    bool result = show_plain_error("T", "M");
    EXPECT_EQ(result, desktop.run_with("zenity").has_value());
    return result;
  };

  EXPECT_TRUE(shown());
  environment.set("TRELK_NO_DIALOGS", "1");
  EXPECT_FALSE(shown());
  environment.set("TRELK_NO_DIALOGS", "");  // empty counts as unset
  EXPECT_TRUE(shown());

  environment.set("DISPLAY", std::nullopt);
  environment.set("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_TRUE(shown());
  environment.set("WAYLAND_DISPLAY", "");
  EXPECT_FALSE(shown());
  environment.set("DISPLAY", "");
  EXPECT_FALSE(shown());

  // Values beyond their bound make the whole dialog path fail quietly.
  environment.set("DISPLAY", std::string(8193, 'x'));
  environment.set("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_FALSE(shown());
  environment.set("DISPLAY", ":1");
  environment.set("PATH", desktop.bin().string() + ":/" + std::string(8192, 'p'));
  EXPECT_FALSE(shown());
  environment.set("PATH", desktop.bin().string());
  environment.set("TRELK_NO_DIALOGS", std::string(8193, '1'));
  EXPECT_FALSE(shown());
}

TEST(ProblemReport, StartupProblemSpeaksTheBrandAndHidesDamageDetails) {
  FakeDesktop desktop;
  desktop.install("zenity");
  BrandReset reset;
  StderrAway away;

  const std::string message = "Line\r" + std::string(5000, 'x');
  startup_problem("launcher_missing", message);
  std::optional<Argv> shown = desktop.run_with("zenity");
  ASSERT_TRUE(shown);
  EXPECT_EQ((*shown)[3], "Trelk");
  EXPECT_EQ((*shown)[5], "Trelk couldn't start.\n\nLine " + std::string(595, 'x'));

  set_product_name("Acme");
  for (const char* code : {"process_start", "launcher_damaged", "content_mismatch"}) {
    desktop.forget();
    startup_problem(code, "Digest of /secret/path differs");
    shown = desktop.run_with("zenity");
    ASSERT_TRUE(shown) << code;
    EXPECT_EQ((*shown)[3], "Acme");
    EXPECT_EQ((*shown)[5],
              "Acme's files are damaged, so the game can't be started.\n\nRun the game's installer again to repair "
              "it. Your saves are kept.");
  }

  // No dialog program at all: nothing escapes.
  desktop.forget();
  fs::remove(desktop.bin() / "zenity");
  EXPECT_NO_THROW(startup_problem("usage", "x"));
}

// Runs startup_problem in a child whose standard error is the given terminal
// or, without one, /dev/null; returns whether the child saw a terminal.
bool report_in_child(bool terminal) {
  int master = -1;
  pid_t pid = terminal ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
  if (pid == 0) {
    if (!terminal) {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);
    }
    bool seen = started_from_terminal();
    startup_problem("launcher_missing", "Trelk could not start");
    ::_exit(seen ? 7 : 8);
  }
  EXPECT_GT(pid, 0);
  if (terminal) {
    // Drain the terminal until the child is gone (read then fails with EIO).
    char buffer[256];
    while (::read(master, buffer, sizeof buffer) > 0 || errno == EINTR) {
    }
    ::close(master);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  return WEXITSTATUS(status) == 7;
}

TEST(ProblemReport, TerminalOnStandardErrorSuppressesTheDialog) {
  FakeDesktop desktop;
  desktop.install("zenity");

  EXPECT_TRUE(report_in_child(true));
  EXPECT_FALSE(desktop.run_with("zenity"));

  EXPECT_FALSE(report_in_child(false));
  EXPECT_TRUE(desktop.run_with("zenity"));
}

fs::path installed(const std::string& name) {
  for (const char* directory : {"/usr/local/bin", "/usr/bin", "/bin"}) {
    fs::path candidate = fs::path(directory) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

TEST(ProblemReport, RealDialogAppearsOnAVirtualDisplay) {
  const fs::path xvfb_run = installed("xvfb-run");
  const bool dialog_program = !installed("zenity").empty() || !installed("xmessage").empty();
  if (xvfb_run.empty() || !dialog_program || installed("import").empty()) {
    GTEST_SKIP() << "needs xvfb-run, zenity or xmessage, and import (imagemagick)";
  }
  test::TempDir dir;
  Environment environment;
  environment.set("TRELK_NO_DIALOGS", std::nullopt);
  environment.set("WAYLAND_DISPLAY", std::nullopt);
  const std::string screenshot = (dir / "screen.ppm").string();
  const std::string program = std::string(TRELK_TEST_PROGRAMS) + "/dialog_session";
  std::vector<std::string> arguments = {
      "xvfb-run", "-a",       "-s",    "-screen 0 640x480x24 -br",
      program,    screenshot, "Trelk", "Trelk couldn't start.\n\nThe launcher is missing."};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // Orphans of the session (the X server outlives xvfb-run briefly) become ours to reap.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, xvfb_run.c_str(), nullptr, &attributes, argv.data(), environ), 0);
  posix_spawnattr_destroy(&attributes);

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
  bool ended = false;
  while (!(ended = ::waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Whatever is left of the session (the X server outlives xvfb-run briefly) is reaped, and killed if it lingers.
  for (int round = 0; round < 200 && ::kill(-pid, 0) == 0; ++round) {
    while (::waitpid(-pid, nullptr, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (::kill(-pid, 0) == 0) {
    ::kill(-pid, SIGKILL);
    while (::waitpid(-pid, nullptr, 0) > 0) {
    }
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);

  ASSERT_TRUE(ended) << "the dialog session did not finish";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "3: screen not blank before, 4: dialog not shown, 5: no window, 6: no screenshot";
  EXPECT_GT(fs::file_size(screenshot), 640u * 480u * 3u);
}

}  // namespace
}  // namespace trelk
