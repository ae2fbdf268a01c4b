#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bootstrap/cli_grammar.hpp"
#include "core/json.hpp"
#include "support/temp_dir.hpp"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the real bootstrap with a private HOME and no desktop, capturing both streams.
Outcome run_bootstrap(const std::vector<std::string>& arguments) {
  trelk::test::TempDir dir;
  const std::string binary = std::string(TRELK_BIN_DIR) + "/trelk-bootstrap";
  const std::string out_path = (dir / "out").string();
  const std::string err_path = (dir / "err").string();
  const std::string home = "HOME=" + dir.path().string();

  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp{const_cast<char*>(home.c_str()), const_cast<char*>("TRELK_NO_DIALOGS=1"), nullptr};

  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  Outcome outcome;
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "cannot run " << binary;
    return outcome;
  }
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = trelk::test::read_file(dir / "out");
  outcome.err = trelk::test::read_file(dir / "err");
  return outcome;
}

TEST(BootstrapBinary, OptionUsageErrorsExitWithStatusTwo) {
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{"--bogus"}, "Unsupported native bootstrap option: --bogus"},
      {{"--gui", "--cli"}, "Duplicate native entry option: interface"},
      {{"--data-dir"}, "--data-dir needs a value"},
      {{"--game", "g", "--", "list"}, "--game cannot be combined with forwarded launcher arguments"},
      // Terminal control bytes from the command line never reach the terminal.
      {{"--\x1b[31m"}, "Unsupported native bootstrap option: --?[31m"},
  };
  for (const auto& c : cases) {
    Outcome outcome = run_bootstrap(c.arguments);
    EXPECT_EQ(outcome.status, 2) << c.message;
    EXPECT_EQ(outcome.err, c.message + "\n");
    EXPECT_EQ(outcome.out, "");
  }
}

TEST(BootstrapBinary, IdentifierFailureIsNotUsage) {
  Outcome outcome = run_bootstrap({"--game", "Not-An-Id"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "Game and build IDs use lower-case letters, digits, dots and hyphens\n");
}

TEST(BootstrapBinary, ForwardedCliCommandIsValidated) {
  Outcome operands = run_bootstrap({"--cli", "--", "list", "extra"});
  EXPECT_EQ(operands.status, 2);
  EXPECT_EQ(operands.err, "Wrong number of command operands; run trelk --help\n");

  Outcome data_dir = run_bootstrap({"--cli", "--", "--data-dir", "/elsewhere", "list"});
  EXPECT_EQ(data_dir.status, 2);
  EXPECT_EQ(data_dir.err, "Set the data directory on the native bootstrap, before forwarded arguments\n");

  Outcome confirm = run_bootstrap({"--cli", "--", "uninstall", "g", "--confirm-game", "h"});
  EXPECT_EQ(confirm.status, 3);
  EXPECT_EQ(confirm.err, "Specify uninstall GAME --confirm-game GAME; add --remove-saves only to delete saves\n");
}

TEST(BootstrapBinary, JsonModeReportsOnStandardOutput) {
  Outcome unknown = run_bootstrap({"--cli", "--", "no-such", "--json"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "");
  EXPECT_EQ(unknown.out,
            "{\"problem\":{\"code\":\"usage\",\"message\":\"Unknown command; run trelk --help\",\"recovery\":[]},"
            "\"schema_version\":1}\n");

  // Non-ASCII is escaped and invalid UTF-8 replaced rather than failing the report.
  Outcome escaped = run_bootstrap({"--cli", "--", "--json", "list", "--\xc3\xbc\xff"});
  EXPECT_EQ(escaped.status, 2);
  EXPECT_NE(escaped.out.find("\"Unsupported option: --\\u00fc\\ufffd\""), std::string::npos) << escaped.out;
}

TEST(BootstrapBinary, HelpRequestsPrintTheHelp) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--cli", "--", "--help"}, std::vector<std::string>{"--cli", "--", "help"},
        std::vector<std::string>{"--cli", "--", "--help", "not-a-command"}}) {
    Outcome outcome = run_bootstrap(arguments);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, trelk::cli_help());
    EXPECT_EQ(outcome.err, "");
  }
  Outcome json = run_bootstrap({"--cli", "--", "--json", "--help"});
  EXPECT_EQ(json.status, 0);
  const trelk::json expected = {{"kind", "help"}, {"schema_version", 1}, {"text", trelk::cli_help()}};
  EXPECT_EQ(json.out, expected.dump() + "\n");
  EXPECT_EQ(json.out.rfind("{\"kind\":\"help\",\"schema_version\":1,\"text\":\"Trelk ", 0), 0u);
}

}  // namespace
