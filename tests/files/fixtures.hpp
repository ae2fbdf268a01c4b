#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

namespace trelk::test {

// A symbolic link that resolve_system_links must not follow. Tests run as root create
// root-owned links, which count as system links inside a private directory; handing the
// link to another user makes it a planted link again.
inline void plant_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_symlink(target, link);
  if (::geteuid() == 0 && ::lchown(link.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "cannot hand over " << link;
}

inline mode_t mode_bits(const std::filesystem::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

inline std::filesystem::path private_dir(const std::filesystem::path& path) {
  std::filesystem::create_directories(path);
  std::filesystem::permissions(path, std::filesystem::perms(0700));
  return path;
}

// A forked child that runs body and then waits to be killed; ok tells whether body succeeded.
// Killed and reaped on destruction.
struct Holder {
  pid_t pid = -1;
  bool ok = false;

  explicit Holder(const std::function<void()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0 || (pid = ::fork()) < 0) throw std::runtime_error("cannot start a holder");
    if (pid == 0) {
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
    ok = ::read(fds[0], &result, 1) == 1 && result == '+';
    ::close(fds[0]);
  }
  Holder(const Holder&) = delete;
  ~Holder() { kill(); }
  void kill() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

}  // namespace trelk::test
