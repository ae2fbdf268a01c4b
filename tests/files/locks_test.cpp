#include "files/locks.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "files/fixtures.hpp"
#include "support/errors.hpp"
#include "support/run_program.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::plant_link;
using test::TempDir;

constexpr const char* state_busy = "Another Trelk operation is using this state";

// A forked child that takes a lock and keeps it until killed; ok tells whether it got the lock.
struct Holder {
  pid_t pid = -1;
  bool ok = false;

  Holder(const fs::path& path, LockMode mode) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0 || (pid = ::fork()) < 0) throw std::runtime_error("cannot start a holder");
    if (pid == 0) {
      char result = '+';
      try {
        FileLock(path, false, mode).retain_until_process_exit();
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
  ~Holder() { kill(); }
  void kill() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

TEST(FileLock, SharedAndExclusiveHoldersAcrossProcessesAndNeverAcrossExec) {
  TempDir dir;
  const auto path = dir / "state" / "operation.lock";
  {
    Holder reader_a(path, LockMode::shared), reader_b(path, LockMode::shared);
    ASSERT_TRUE(reader_a.ok && reader_b.ok);
    { FileLock mine(path, false, LockMode::shared); }
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
    reader_a.kill();
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
    reader_b.kill();  // the lock dies with its last holder
    FileLock writer(path, false, LockMode::exclusive);
  }
  {
    Holder writer(path, LockMode::exclusive);
    ASSERT_TRUE(writer.ok);
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::shared), "busy", state_busy);
    EXPECT_FALSE(Holder(path, LockMode::exclusive).ok);
    // A waiting lock is granted once the holder dies; a sibling signals it, the holder's owner reaps it.
    const pid_t killer = ::fork();
    if (killer == 0) {
      ::usleep(100000);
      ::kill(writer.pid, SIGKILL);
      ::_exit(0);
    }
    FileLock reader(path, true, LockMode::shared);
    ::waitpid(killer, nullptr, 0);
  }

  // A program started while the lock is held and still running once it has exec'ed holds nothing.
  std::optional<test::Started> sleeper;
  {
    FileLock lock(path, false, LockMode::exclusive);
    sleeper.emplace("/bin/sh",
                    std::vector<std::string>{"-c", "touch '" + (dir / "ready").string() + "'; exec sleep 30"},
                    std::map<std::string, std::string>{});
    ASSERT_TRUE(test::eventually([&] { return fs::exists(dir / "ready"); }));
  }
  EXPECT_NO_THROW(FileLock(path, false, LockMode::exclusive));
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
