#include "files/locks.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "files/fixtures.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::Holder;
using test::mode_bits;
using test::plant_link;
using test::TempDir;
using test::thrown;

void expect_busy(const std::function<void()>& attempt, const char* message) {
  auto error = thrown(attempt);
  EXPECT_EQ(error.code, "busy");
  EXPECT_STREQ(error.what(), message);
  EXPECT_TRUE(error.details.empty());
}

constexpr const char* state_busy = "Another Trelk operation is using this state";
constexpr const char* owner_busy = "Another worker owns this native installation";

fs::path empty_private_file(const fs::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  ::close(fd);
  ::chmod(path.c_str(), 0600);
  return path;
}

// Forks, runs before_exec in the child, then execs a shell that reports on standard output
// and stays alive. Returns once that report arrives: the new image is then fully in place,
// with every close-on-exec descriptor of the old one released.
pid_t start_sleeper(const std::function<void()>& before_exec = {}) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
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

bool running(pid_t child) { return ::waitpid(child, nullptr, WNOHANG) == 0; }

void stop(pid_t child) {
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
}

TEST(FileLock, ExcludesWithinAndAcrossProcesses) {
  TempDir dir;
  auto path = dir / "state" / "operation.lock";
  {
    FileLock first(path, false, LockMode::exclusive);
    EXPECT_EQ(mode_bits(dir / "state"), 0700u);
    EXPECT_TRUE(first.matches_path(path));
    EXPECT_FALSE(first.matches_path(dir / "state"));
    expect_busy([&] { FileLock second(path, false, LockMode::exclusive); }, state_busy);
    expect_busy([&] { FileLock second(path, false, LockMode::shared); }, state_busy);
    FileLock moved(std::move(first));
    EXPECT_FALSE(first.matches_path(path));
    EXPECT_TRUE(moved.matches_path(path));
    expect_busy([&] { FileLock second(path, false, LockMode::exclusive); }, state_busy);
  }
  FileLock again(path, false, LockMode::exclusive);
}

TEST(FileLock, SharedHoldersCoexistAndDieWithTheirProcess) {
  TempDir dir;
  auto path = dir / "operation.lock";
  auto hold = [&](LockMode mode) { return [&, mode] { FileLock(path, false, mode).retain_until_process_exit(); }; };
  {
    Holder reader_a(hold(LockMode::shared));
    Holder reader_b(hold(LockMode::shared));
    ASSERT_TRUE(reader_a.ok());
    ASSERT_TRUE(reader_b.ok());
    { FileLock mine(path, false, LockMode::shared); }
    expect_busy([&] { FileLock writer(path, false, LockMode::exclusive); }, state_busy);
    reader_a.kill();
    expect_busy([&] { FileLock writer(path, false, LockMode::exclusive); }, state_busy);
    reader_b.kill();
    FileLock writer(path, false, LockMode::exclusive);
  }
  Holder writer(hold(LockMode::exclusive));
  ASSERT_TRUE(writer.ok());
  expect_busy([&] { FileLock reader(path, false, LockMode::shared); }, state_busy);
  Holder second_writer(hold(LockMode::exclusive));
  EXPECT_FALSE(second_writer.ok());
  writer.kill();
  FileLock reader(path, false, LockMode::shared);
}

TEST(FileLock, WaitingLockIsGrantedWhenTheHolderDies) {
  TempDir dir;
  auto path = dir / "operation.lock";
  Holder holder([&] { FileLock(path, false, LockMode::exclusive).retain_until_process_exit(); });
  ASSERT_TRUE(holder.ok());
  pid_t killer = ::fork();
  if (killer == 0) {
    ::usleep(100000);
    holder.kill();  // a sibling can signal the holder; the parent reaps it later
    ::_exit(0);
  }
  FileLock waited(path, true, LockMode::exclusive);  // blocks until the holder is gone
  EXPECT_TRUE(waited.matches_path(path));
  ::waitpid(killer, nullptr, 0);
}

TEST(FileLock, IsNotInheritedAcrossExec) {
  TempDir dir;
  auto path = dir / "operation.lock";
  pid_t sleeper = -1;
  {
    FileLock lock(path, false, LockMode::exclusive);
    sleeper = start_sleeper();
    ASSERT_GT(sleeper, 0);
  }
  // The exec'ed child still runs; had it inherited the descriptor it would still hold the lock.
  ASSERT_TRUE(running(sleeper));
  { FileLock after(path, false, LockMode::exclusive); }
  stop(sleeper);

  // A lock retained until process exit still ends when the process replaces its image.
  pid_t retained = start_sleeper([&] { FileLock(path, false, LockMode::exclusive).retain_until_process_exit(); });
  ASSERT_GT(retained, 0);
  ASSERT_TRUE(running(retained));
  { FileLock after(path, false, LockMode::exclusive); }
  stop(retained);
}

TEST(FileLock, RefusesLinksAndLinkedParents) {
  TempDir dir;
  test::write_file(dir / "target", "keep");
  plant_link(dir / "target", dir / "operation.lock");
  auto linked = thrown([&] { FileLock lock(dir / "operation.lock", false, LockMode::exclusive); });
  EXPECT_EQ(linked.code, "lock_failed");
  EXPECT_STREQ(linked.what(), "Cannot open operation lock");
  EXPECT_EQ(test::read_file(dir / "target"), "keep");

  fs::create_directories(dir / "real");
  plant_link(dir / "real", dir / "state");
  auto parent = thrown([&] { FileLock lock(dir / "state" / "x.lock", false, LockMode::exclusive); });
  EXPECT_STREQ(parent.what(), "Managed directory is a symbolic link");
  EXPECT_TRUE(fs::is_empty(dir / "real"));
}

TEST(NativeFileLock, SharedOwnersExcludeAnExclusiveOne) {
  TempDir dir;
  auto path = dir / ".native-bootstrap.lock";
  {
    NativeFileLock created(path, true, NativeLockSharing::none, LockMode::exclusive);
    EXPECT_TRUE(created.matches_path(path));
    EXPECT_EQ(mode_bits(path) & 0077, 0u);
    expect_busy([&] { NativeFileLock other(path, false, NativeLockSharing::none, LockMode::shared); }, owner_busy);
  }
  Holder bootstrap([&] {
    auto* held = new NativeFileLock(path, false, NativeLockSharing::none, LockMode::shared);
    static_cast<void>(held);
  });
  ASSERT_TRUE(bootstrap.ok());
  { NativeFileLock also(path, false, NativeLockSharing::shared, LockMode::shared); }
  expect_busy([&] { NativeFileLock update(path, false, NativeLockSharing::none, LockMode::exclusive); }, owner_busy);
  bootstrap.kill();
  NativeFileLock update(path, false, NativeLockSharing::none, LockMode::exclusive);
  EXPECT_FALSE(update.matches_path(dir / "other"));
  EXPECT_FALSE(update.matches_path(""));
  NativeFileLock moved(std::move(update));
  EXPECT_TRUE(moved.matches_path(path));
  EXPECT_FALSE(update.matches_path(path));
}

TEST(NativeFileLock, RequiresAnOrdinaryEmptyPrivateFile) {
  TempDir dir;
  auto expect_refused = [](const fs::path& path, const char* message) {
    auto error = thrown([&] { NativeFileLock lock(path, false, NativeLockSharing::none, LockMode::exclusive); });
    EXPECT_EQ(error.code, "lock_failed") << path;
    EXPECT_STREQ(error.what(), message) << path;
  };
  constexpr const char* not_private = "Native ownership requires an ordinary empty private file";

  test::write_file(dir / "content.lock", "x");
  ::chmod((dir / "content.lock").c_str(), 0600);
  expect_refused(dir / "content.lock", not_private);
  EXPECT_EQ(test::read_file(dir / "content.lock"), "x");  // never truncated

  empty_private_file(dir / "open.lock");
  ::chmod((dir / "open.lock").c_str(), 0644);
  expect_refused(dir / "open.lock", not_private);

  empty_private_file(dir / "linked.lock");
  fs::create_hard_link(dir / "linked.lock", dir / "second-name");
  expect_refused(dir / "linked.lock", not_private);

  empty_private_file(dir / "valid.lock");
  plant_link(dir / "valid.lock", dir / "symlink.lock");
  expect_refused(dir / "symlink.lock", not_private);
  expect_refused(dir / "missing.lock", not_private);
  fs::create_directories(dir / "dir.lock");
  expect_refused(dir / "dir.lock", not_private);

  if (::geteuid() == 0) {
    empty_private_file(dir / "foreign.lock");
    ASSERT_EQ(::chown((dir / "foreign.lock").c_str(), 65534, 65534), 0);
    expect_refused(dir / "foreign.lock", not_private);
  }

  fs::create_directories(dir / "real");
  empty_private_file(dir / "real" / "x.lock");
  plant_link(dir / "real", dir / "via");
  expect_refused(dir / "via" / "x.lock", "Native ownership requires ordinary existing parents");
  expect_refused(dir / "absent" / "x.lock", "Native ownership requires ordinary existing parents");

  // Unknown sharing is refused before the disk is touched, even with create.
  auto sharing = thrown(
      [&] { NativeFileLock lock(dir / "new.lock", true, static_cast<NativeLockSharing>(2), LockMode::exclusive); });
  EXPECT_EQ(sharing.code, "lock_failed");
  EXPECT_STREQ(sharing.what(), "Native ownership requires a bounded lock path and known sharing");
  EXPECT_FALSE(fs::exists(dir / "new.lock"));
  expect_refused("", "Native ownership requires a bounded lock path and known sharing");
  auto mode =
      thrown([&] { NativeFileLock lock(dir / "new.lock", true, NativeLockSharing::none, static_cast<LockMode>(3)); });
  EXPECT_STREQ(mode.what(), "Native ownership requires a bounded lock path and known sharing");
}

TEST(OrdinaryParent, WalksWithoutFollowingPlantedLinks) {
  TempDir dir;
  fs::create_directories(dir / "a" / "b");
  EXPECT_TRUE(ordinary_parent(dir / "a" / "b" / "file"));
  EXPECT_TRUE(ordinary_parent("/file"));
  EXPECT_FALSE(ordinary_parent(dir / "a" / "missing" / "file"));
  test::write_file(dir / "plain", "x");
  EXPECT_FALSE(ordinary_parent(dir / "plain" / "file"));
  plant_link(dir / "a", dir / "link");
  EXPECT_FALSE(ordinary_parent(dir / "link" / "b" / "file"));
}

}  // namespace
}  // namespace trelk
