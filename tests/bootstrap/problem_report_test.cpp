#include "bootstrap/problem_report.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/json.hpp"
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
    std::istringstream bytes(test::read_file(record));
    fs::remove(record);
    Argv arguments;
    for (std::string argument; std::getline(bytes, argument, '\0');) arguments.push_back(argument);
    return arguments;
  }
};

// Terminal text keeps tabs, line feeds and multi-byte text and shows other controls as "?". The first dialog
// program found runs alone, with clean bounded text, on a display unless turned off; the built bootstrap reports
// a problem on standard error, and away from a terminal also in a dialog in the installation's words: damage
// details name files and internals, so the user is only told how to repair.
TEST(ProblemReport, DialogsShowCleanBoundedTextAndStartupProblemsSpeakTheBrandAwayFromATerminalOnly) {
  // C1 controls are one character each.
  EXPECT_EQ(safe_text(std::string("tab\there\n\x1b[31m\0\r\x7f\xc2\x9b\xc2\x80 \xc2\xa0 caf\xc3\xa9 end\xc2", 35)),
            "tab\there\n?[31m????? \xc2\xa0 caf\xc3\xa9 end\xc2");
  FakeDesktop desktop;
  desktop.install("zenity", 1);  // its result does not matter, only that it ran
  desktop.install("kdialog");
  desktop.install("xmessage");
  // Control bytes other than line feeds become spaces; the title is cut to 200 bytes, the message to 2000.
  const std::string raw_title = std::string(199, 't') + "\tTT", clean_title = std::string(199, 't') + " ";
  const std::string raw = "a\rb\x1b[\x7f\nd" + std::string(5000, 'm'), clean = "a b [ \nd" + std::string(1992, 'm');
  const std::vector<std::pair<std::string, Argv>> order = {
      {"zenity", {"--error", "--no-markup", "--title", clean_title, "--text", clean}},
      {"kdialog", {"--title", clean_title, "--error", clean}},
      {"xmessage", {"-center", clean_title + "\n\n" + clean}}};
  for (const auto& [name, arguments] : order) {
    EXPECT_TRUE(show_plain_error(raw_title, raw));
    EXPECT_EQ(desktop.run_with(name), arguments);
    for (const auto& other : order) EXPECT_FALSE(desktop.run_with(other.first)) << other.first;
    fs::remove(desktop.dir / "bin" / name);
  }
  EXPECT_FALSE(show_plain_error("T", "M"));

  // Dialogs need a display and may be turned off.
  desktop.install("zenity");
  for (const auto& [variable, value, appears] : std::vector<std::tuple<std::string, std::optional<std::string>, bool>>{
           {"TRELK_NO_DIALOGS", "1", false},
           {"TRELK_NO_DIALOGS", "", true},  // empty counts as unset
           {"DISPLAY", std::nullopt, false},
           {"WAYLAND_DISPLAY", "wayland-0", true},
           // A value beyond its bound makes the whole dialog path fail quietly.
           {"DISPLAY", std::string(8193, 'x'), false},
           {"DISPLAY", ":77", true}}) {
    desktop.environment.set(variable, value);
    EXPECT_EQ(show_plain_error("T", "M"), appears) << variable << "=" << value.value_or("(unset)");
    EXPECT_EQ(desktop.run_with("zenity").has_value(), appears);
  }

  const fs::path root = desktop.dir / "data";
  test::write_file(root / "native/installation.json",
                   R"({"brand":{"name":"Acme","id":"acme.games","publisher":"Acme Ltd","icon":false}})");
  test::write_file(root / ".trelk-setup-incomplete", "");
  const std::map<std::string, std::string> environment{
      {"HOME", desktop.dir.path().string()}, {"PATH", (desktop.dir / "bin").string()}, {"DISPLAY", ":77"}};
  const std::string bootstrap = TRELK_BIN_DIR "/trelk-bootstrap";
  const std::string message =
      "Acme setup did not finish in " + root.string() + ". Run the Acme installer again to repair it.";
  auto shown = [&](const Argv& arguments, int status, const std::string& title) {
    EXPECT_EQ(test::run_program(bootstrap, arguments, environment).status, status);
    const Argv dialog = desktop.run_with("zenity").value_or(Argv(6));
    EXPECT_EQ(dialog[3], title);
    return dialog[5];
  };
  EXPECT_EQ(shown({"--data-dir", root.string()}, 1, "Acme"), "Acme couldn't start.\n\n" + message);
  auto outcome =
      test::run_program(bootstrap, {"--data-dir", root.string(), "--cli", "--", "--json", "list"}, environment);
  EXPECT_EQ(json::parse(outcome.out).at("problem").at("message"), message);
  outcome = test::run_program("/usr/bin/script", {"-qec", bootstrap + " --data-dir " + root.string(), "/dev/null"},
                              environment);
  EXPECT_EQ(outcome.out, message + "\r\n");  // the terminal's line ending
  EXPECT_FALSE(desktop.run_with("zenity"));
  // Before the installation is known, the built-in name; the message is cut, with control bytes as spaces.
  EXPECT_EQ(shown({"--x\r" + std::string(5000, 'y')}, 2, "Trelk"),
            "Trelk couldn't start.\n\nUnsupported native bootstrap option: --x " + std::string(559, 'y'));
  const std::string damaged =
      "'s files are damaged, so the game can't be started.\n\nRun the game's installer again to repair it. "
      "Your saves are kept.";
  fs::remove(root / ".trelk-setup-incomplete");
  EXPECT_EQ(shown({"--data-dir", root.string()}, 1, "Acme"), "Acme" + damaged);
  test::write_file(root / ".trelk-setup-incomplete", "");
  // Other damage is reported the same way; here from this process, its standard error away from any terminal.
  const int saved = ::dup(STDERR_FILENO);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null, STDERR_FILENO);
  ::close(null);
  startup_problem("content_mismatch", "Digest of /secret/path differs");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  EXPECT_EQ(desktop.run_with("zenity").value_or(Argv(6))[5], "Trelk" + damaged);

  // On a virtual display the real dialog program shows a window under the brand's name until it is closed.
  const std::string xmessage = ::access("/usr/bin/zenity", X_OK) == 0 ? "" : "xmessage";
  if (::access("/usr/bin/xvfb-run", X_OK) != 0 || ::access("/usr/bin/xwininfo", X_OK) != 0 ||
      (!xmessage.empty() && ::access("/usr/bin/xmessage", X_OK) != 0))
    GTEST_SKIP() << "needs xvfb-run, xwininfo, and zenity or xmessage";
  const std::string session =
      "\"$0\" --data-dir \"$1\" & for i in $(seq 600); do xwininfo -name " + (xmessage.empty() ? "Acme" : xmessage) +
      " 2>&1 | grep -q IsViewable && { pkill -P $!; wait $!; exit $?; }; sleep 0.2; done; exit 5";
  outcome = test::run_program("/usr/bin/xvfb-run",
                              {"-a", "-s", "-screen 0 640x480x24", "/bin/sh", "-c", session, bootstrap, root},
                              {{"PATH", "/usr/bin:/bin"}, {"HOME", desktop.dir.path().string()}});
  EXPECT_EQ(outcome.status, 1) << "5: no window\n" << outcome.err;
}

}  // namespace
}  // namespace trelk
