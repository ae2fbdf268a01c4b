#include "bootstrap/problem_report.hpp"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "native/brand.hpp"
#include "support/run_program.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

// Stand-ins for the desktop's dialog programs on a private PATH: each records its argument
// vector (NUL-separated) and exits with the given status.
struct FakeDesktop {
  test::TempDir dir;
  test::ScopedEnv environment;

  FakeDesktop() {
    environment.set("PATH", (dir / "bin").string());
    environment.set("DISPLAY", ":77");
    environment.set("WAYLAND_DISPLAY", std::nullopt);
    environment.set("TRELK_NO_DIALOGS", std::nullopt);
  }
  void install(const std::string& name, int status = 0) {
    test::write_file(dir / "bin" / name, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" +
                                             (dir / name).string() + ".run'\nexit " + std::to_string(status) + "\n");
    fs::permissions(dir / "bin" / name, fs::perms::owner_all);
  }
  // The arguments a program was last run with, or nothing when it has not run since.
  std::optional<Argv> run_with(const std::string& name) {
    const fs::path record = dir / (name + ".run");
    if (!fs::exists(record)) return std::nullopt;
    const std::string bytes = test::read_file(record);
    fs::remove(record);
    Argv arguments;
    for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
      arguments.push_back(bytes.substr(start, end - start));
    return arguments;
  }
};

TEST(ProblemReport, SafeTextNeutralisesTerminalControls) {
  EXPECT_EQ(safe_text("tab\there\nnext line"), "tab\there\nnext line");
  EXPECT_EQ(safe_text(std::string("\x1b[31m\0\r\x7f", 8)), "?[31m???");
  // C1 controls are one character each; other multi-byte text passes.
  EXPECT_EQ(safe_text("\xc2\x9b\xc2\x80 \xc2\xa0 caf\xc3\xa9 end\xc2"), "?? \xc2\xa0 caf\xc3\xa9 end\xc2");
}

TEST(ProblemReport, FirstUsableDialogProgramRunsAloneWithCleanBoundedText) {
  FakeDesktop desktop;
  desktop.install("zenity", 1);  // its result does not matter, only that it ran
  desktop.install("kdialog");
  desktop.install("xmessage");
  EXPECT_TRUE(show_plain_error(std::string(199, 't') + "\tTT", "m"));
  EXPECT_EQ(desktop.run_with("zenity").value_or(Argv(6))[3], std::string(199, 't') + " ");
  // Control bytes other than line feeds become spaces; the message is cut to 2000 bytes.
  const std::string message =
      "a\rb\x1b"
      "c\x7f\nd" +
      std::string(5000, 'm');
  const std::string shown = "a b c \nd" + std::string(1992, 'm');
  const std::vector<std::pair<std::string, Argv>> order = {
      {"zenity", {"--error", "--no-markup", "--title", "T", "--text", shown}},
      {"kdialog", {"--title", "T", "--error", shown}},
      {"xmessage", {"-center", "T\n\n" + shown}}};
  for (const auto& [name, arguments] : order) {
    EXPECT_TRUE(show_plain_error("T", message));
    EXPECT_EQ(desktop.run_with(name), arguments);
    for (const auto& other : order) EXPECT_FALSE(desktop.run_with(other.first)) << other.first;
    fs::remove(desktop.dir / "bin" / name);
  }
  EXPECT_FALSE(show_plain_error("T", "M"));
}

TEST(ProblemReport, DialogsNeedADisplayAndMayBeTurnedOff) {
  FakeDesktop desktop;
  desktop.install("zenity");
  for (const auto& [variable, value, shown] : std::vector<std::tuple<std::string, std::optional<std::string>, bool>>{
           {"DISPLAY", ":77", true},
           {"TRELK_NO_DIALOGS", "1", false},
           {"TRELK_NO_DIALOGS", "", true},  // empty counts as unset
           {"DISPLAY", std::nullopt, false},
           {"WAYLAND_DISPLAY", "wayland-0", true},
           {"WAYLAND_DISPLAY", "", false},
           {"WAYLAND_DISPLAY", "wayland-0", true},
           // A value beyond its bound makes the whole dialog path fail quietly.
           {"DISPLAY", std::string(8193, 'x'), false}}) {
    desktop.environment.set(variable, value);
    EXPECT_EQ(show_plain_error("T", "M"), shown) << variable << "=" << value.value_or("(unset)");
    EXPECT_EQ(desktop.run_with("zenity").has_value(), shown);
  }
}

// Reports a startup problem from a child whose standard error is a pseudo-terminal or /dev/null;
// true when the child saw a terminal.
bool report_in_child(bool terminal, const std::string& code, const std::string& message, const char* brand = "Trelk") {
  int master = -1;
  const pid_t pid = terminal ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
  if (pid == 0) {
    if (!terminal) ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
    set_product_name(brand);
    startup_problem(code, message);
    ::_exit(started_from_terminal() ? 7 : 8);
  }
  EXPECT_GT(pid, 0);
  // Drain the terminal until the child is gone (read then fails with EIO).
  char buffer[256];
  while (terminal && (::read(master, buffer, sizeof buffer) > 0 || errno == EINTR)) {
  }
  if (terminal) ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 7;
}

TEST(ProblemReport, StartupProblemsSpeakTheBrandAwayFromATerminalOnly) {
  FakeDesktop desktop;
  desktop.install("zenity");
  EXPECT_TRUE(report_in_child(true, "launcher_missing", "Trelk could not start"));
  EXPECT_FALSE(desktop.run_with("zenity"));

  EXPECT_FALSE(report_in_child(false, "launcher_missing", "Line\r" + std::string(5000, 'x')));
  auto shown = desktop.run_with("zenity").value_or(Argv(6));
  EXPECT_EQ(shown[3], "Trelk");
  EXPECT_EQ(shown[5], "Trelk couldn't start.\n\nLine " + std::string(595, 'x'));
  // Damage details name files and internals; the user is only told how to repair.
  report_in_child(false, "content_mismatch", "Digest of /secret/path differs", "Acme");
  shown = desktop.run_with("zenity").value_or(Argv(6));
  EXPECT_EQ(shown[3], "Acme");
  EXPECT_EQ(shown[5],
            "Acme's files are damaged, so the game can't be started.\n\nRun the game's installer again to repair it. "
            "Your saves are kept.");
}

TEST(ProblemReport, TheInstalledBrandReachesEveryTextThroughTheRealBootstrap) {
  FakeDesktop desktop;
  desktop.install("zenity");
  const fs::path root = desktop.dir / "data";
  test::write_file(root / "native/installation.json",
                   R"({"brand":{"name":"Acme","id":"acme.games","publisher":"Acme Ltd","icon":false}})");
  test::write_file(root / ".trelk-setup-incomplete", "");
  const std::map<std::string, std::string> environment{
      {"HOME", desktop.dir.path().string()}, {"PATH", (desktop.dir / "bin").string()}, {"DISPLAY", ":77"}};
  const fs::path bootstrap = fs::path(TRELK_BIN_DIR) / "trelk-bootstrap";
  const std::string message =
      "Acme setup did not finish in " + root.string() + ". Run the Acme installer again to repair it.";

  auto outcome = test::run_program(bootstrap, {"--data-dir", root.string()}, environment);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, message + "\n");
  const Argv shown = desktop.run_with("zenity").value_or(Argv(6));
  EXPECT_EQ(shown[3], "Acme");
  EXPECT_EQ(shown[5], "Acme couldn't start.\n\n" + message);

  outcome = test::run_program(bootstrap, {"--data-dir", root.string(), "--cli", "--", "--json", "list"}, environment);
  EXPECT_EQ(json::parse(outcome.out).at("problem").at("message"), message);
  EXPECT_FALSE(desktop.run_with("zenity"));
}

bool installed(const std::string& name) {
  for (const std::string directory : {"/usr/local/bin/", "/usr/bin/", "/bin/"})
    if (::access((directory + name).c_str(), X_OK) == 0) return true;
  return false;
}

TEST(ProblemReport, RealDialogAppearsOnAVirtualDisplay) {
  if (!installed("xvfb-run") || !(installed("zenity") || installed("xmessage")) || !installed("import"))
    GTEST_SKIP() << "needs xvfb-run, zenity or xmessage, and import (imagemagick)";
  // The session has its own deadline for the window and reaps every process it started.
  test::TempDir dir;
  const std::string screenshot = (dir / "screen.ppm").string();
  const test::Outcome session =
      test::run_program(std::string(TRELK_TEST_PROGRAMS) + "/dialog_session",
                        {screenshot, "Trelk", "Trelk couldn't start.\n\nThe launcher is missing."},
                        {{"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"HOME", dir.path().string()}});
  EXPECT_EQ(session.status, 0) << "3: screen not blank before, 4: dialog not shown, 5: no window, 6: no screenshot\n"
                               << session.err;
  EXPECT_GT(fs::file_size(screenshot), 640u * 480u * 3u);
}

}  // namespace
}  // namespace trelk
