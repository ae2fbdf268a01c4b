#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/error.hpp"

namespace trelk::test {

// Runs body and returns the Error it throws; fails the test when it throws nothing.
inline Error thrown(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "nothing thrown");
}

// A symbolic link that resolve_system_links must not follow. Tests run as root create
// root-owned links, which count as system links inside a private directory; handing the
// link to another user makes it a planted link again.
inline void plant_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_symlink(target, link);
  if (::geteuid() == 0) {
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
  }
}

inline mode_t mode_bits(const std::filesystem::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// A forked child that runs body and then waits to be killed; the parent learns through a
// pipe whether body succeeded ('+') or threw ('-'). Killed and reaped on destruction.
class Holder {
 public:
  explicit Holder(const std::function<void()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      char result = '+';
      try {
        body();
      } catch (...) {
        result = '-';
      }
      if (::write(fds[1], &result, 1) != 1) ::_exit(3);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    char result = 0;
    ok_ = ::read(fds[0], &result, 1) == 1 && result == '+';
    ::close(fds[0]);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() { kill(); }

  bool ok() const { return ok_; }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace trelk::test
