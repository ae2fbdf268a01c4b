#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
