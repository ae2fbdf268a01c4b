#include "files/locks.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "files/fixtures.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::Holder;
using test::plant_link;
using test::TempDir;

constexpr const char* state_busy = "Another Trelk operation is using this state";

// Forks, runs before_exec in the child, then execs a shell that reports on standard output
// and stays alive. Returns once that report arrives: the new image is then in place, with
// every close-on-exec descriptor of the old one released.
pid_t start_sleeper(const std::function<void()>& before_exec) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    try {
      if (before_exec) before_exec();
    } catch (...) {
      ::_exit(3);
    }
    if (::dup2(fds[1], STDOUT_FILENO) < 0) ::_exit(4);
    ::execl("/bin/sh", "sh", "-c", "echo ready; exec sleep 30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  char byte = 0;
  while (::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
  }
  ::close(fds[0]);
  return child;
}

TEST(FileLock, SharedAndExclusiveHoldersAcrossProcesses) {
  TempDir dir;
  const auto path = dir / "state" / "operation.lock";
  auto hold = [&](LockMode mode) { return [&, mode] { FileLock(path, false, mode).retain_until_process_exit(); }; };
  {
    Holder reader_a(hold(LockMode::shared));
    Holder reader_b(hold(LockMode::shared));
    ASSERT_TRUE(reader_a.ok && reader_b.ok);
    { FileLock mine(path, false, LockMode::shared); }
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
    reader_a.kill();
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
    reader_b.kill();  // the lock dies with its last holder
    FileLock writer(path, false, LockMode::exclusive);
  }
  Holder writer(hold(LockMode::exclusive));
  ASSERT_TRUE(writer.ok);
  EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::shared), "busy", state_busy);
  EXPECT_FALSE(Holder(hold(LockMode::exclusive)).ok);
  // A waiting lock is granted once the holder dies; a sibling signals it, the holder's owner reaps it.
  pid_t killer = ::fork();
  if (killer == 0) {
    ::usleep(100000);
    ::kill(writer.pid, SIGKILL);
    ::_exit(0);
  }
  FileLock reader(path, true, LockMode::shared);
  ::waitpid(killer, nullptr, 0);
}

TEST(FileLock, IsNotInheritedAcrossExec) {
  TempDir dir;
  const auto path = dir / "operation.lock";
  for (bool retained : {false, true}) {
    SCOPED_TRACE(retained ? "retained until exit in the child" : "held by the parent during fork");
    pid_t sleeper = -1;
    if (retained) {
      sleeper = start_sleeper([&] { FileLock(path, false, LockMode::exclusive).retain_until_process_exit(); });
    } else {
      FileLock lock(path, false, LockMode::exclusive);
      sleeper = start_sleeper({});
    }
    ASSERT_GT(sleeper, 0);
    // The exec'ed image still runs; had it kept the descriptor it would still hold the lock.
    EXPECT_EQ(::waitpid(sleeper, nullptr, WNOHANG), 0);
    EXPECT_NO_THROW(FileLock(path, false, LockMode::exclusive));
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
  }
}

TEST(Locks, RefuseLinksAndFilesThatAreNotEmptyAndPrivate) {
  TempDir dir;
  test::write_file(dir / "target", "keep");
  ::chmod((dir / "target").c_str(), 0600);
  plant_link(dir / "target", dir / "operation.lock");
  EXPECT_TRELK_ERROR(FileLock(dir / "operation.lock", false, LockMode::exclusive), "lock_failed",
                     "Cannot open operation lock");
  fs::create_directories(dir / "real");
  plant_link(dir / "real", dir / "state");
  EXPECT_TRELK_ERROR(FileLock(dir / "state" / "x.lock", false, LockMode::exclusive), "unsafe_path",
                     "Managed directory is a symbolic link");
  EXPECT_TRUE(fs::is_empty(dir / "real"));

  auto native = [](const fs::path& path) { NativeFileLock(path, false, NativeLockSharing::none, LockMode::exclusive); };
  const char* not_private = "Native ownership requires an ordinary empty private file";
  EXPECT_TRELK_ERROR(native(dir / "operation.lock"), "lock_failed", not_private);
  EXPECT_TRELK_ERROR(native(dir / "target"), "lock_failed", not_private);
  EXPECT_EQ(test::read_file(dir / "target"), "keep");  // never truncated
}

}  // namespace
}  // namespace trelk
