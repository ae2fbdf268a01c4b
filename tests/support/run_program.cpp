#include "support/run_program.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace trelk::test {

Started::Started(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment) {
  const std::string out = (directory_ / "out").string(), err = (directory_ / "err").string();
  std::vector<std::string> texts{program.string()};  // the arguments, then the environment
  texts.insert(texts.end(), arguments.begin(), arguments.end());
  for (const auto& [name, value] : environment) texts.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (std::size_t i = 0; i < texts.size(); ++i) (i <= arguments.size() ? argv : envp).push_back(texts[i].data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int null_in = open("/dev/null", O_RDONLY);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null_in < 0 || out_fd < 0 || err_fd < 0 || dup2(null_in, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
      _exit(126);
    // The test runner may have SIGINT ignored or blocked; the program gets the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

Started::~Started() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

Outcome Started::wait() {
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) throw std::runtime_error("waitpid failed");
  pid_ = -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(directory_ / "out"),
          read_file(directory_ / "err")};
}

Outcome run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const std::map<std::string, std::string>& environment) {
  return Started(program, arguments, environment).wait();
}

}  // namespace trelk::test
