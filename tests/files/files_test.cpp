// The files layer against a real file system: atomic writes, private directories and locks, each refusing
// links it must not follow.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "files/fixtures.hpp"
#include "files/locks.hpp"
#include "support/errors.hpp"
#include "support/kill_points.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::mode_bits;
using test::plant_link;
using test::private_dir;
using test::TempDir;

constexpr const char* state_busy = "Another Trelk operation is using this state";

TEST(AtomicWrite, PrivateFilesCreateNeverReplacesNoWriterOrReaderFollowsLinksAndAFullVolumeKeepsTheOld) {
  TempDir dir;
  const auto state = dir / "state" / "nested";
  atomic_write(state / "doc.json", "{\"v\":1}");
  replace_private_file(state / "doc.json", "second");
  EXPECT_EQ(read_file(state / "doc.json", 6), "second");
  EXPECT_TRELK_ERROR(read_file(state / "doc.json", 5), "size_limit", "File exceeds read limit");
  // Proc files report size 0 but have content: the shape of a file that grew after fstat.
  EXPECT_TRELK_ERROR(read_file("/proc/self/status", 1 << 20), "file_read", "File changed while reading");
  EXPECT_EQ(mode_bits(state), 0700u);
  EXPECT_EQ(mode_bits(state / "doc.json") & 0077, 0u);
  atomic_create(state / "export", "first");
  EXPECT_TRELK_ERROR(atomic_create(state / "export", "second"), "file_write",
                     "Cannot create export; the destination may already exist (17)");
  EXPECT_EQ(read_file(state / "export", 100), "first");

  // A link in place of the file (a dangling one would create its target), or as the parent.
  test::write_file(dir / "victim", "untouched");
  plant_link(dir / "victim", state / "doc");
  plant_link(dir / "created-by-attack", state / "dangling");
  plant_link(state, dir / "linked");
  for (auto* writer : {&atomic_write, &atomic_create, &atomic_private_create, &replace_private_file})
    for (const char* name : {"doc", "dangling"})
      EXPECT_TRELK_ERROR(writer(state / name, "evil"), "unsafe_path", "Refusing to replace a symbolic link");
  EXPECT_TRELK_ERROR(read_file(state / "doc", 100), "unsafe_path", "Cannot open file: " + (state / "doc").string());
  EXPECT_TRELK_ERROR(atomic_write(dir / "linked" / "doc", "evil"), "unsafe_path",
                     "Managed directory is a symbolic link");
  const std::string parent = "Export parent must be an existing plain directory";
  EXPECT_TRELK_ERROR(atomic_create(dir / "linked" / "doc", "evil"), "unsafe_path", parent);
  EXPECT_TRELK_ERROR(atomic_create(dir / "absent" / "entry", "x"), "unsafe_path", parent);
  EXPECT_EQ(test::entry_names(dir.path()), (std::set<std::string>{"linked", "state", "victim"}));
  EXPECT_EQ(test::read_file(dir / "victim"), "untouched");
  EXPECT_EQ(test::entry_names(state), (std::set<std::string>{"dangling", "doc", "doc.json", "export"}));

  // A full volume reports insufficient space and keeps the old content.
  const auto volume = private_dir(dir / "volume");
  if (::geteuid() != 0 || ::mount("tmpfs", volume.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root: " << std::strerror(errno) << ")";
  const std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount2(volume.c_str(), MNT_DETACH); });
  atomic_write(volume / "doc.json", "{\"v\":1}");
  std::ofstream(volume / "filler") << std::string(1 << 20, 'f');  // writes until the volume is full
  EXPECT_TRELK_ERROR(atomic_write(volume / "doc.json", std::string(32768, 'n')), "insufficient_space",
                     "Local storage cannot save data; free space and try again");
  EXPECT_EQ(read_file(volume / "doc.json", 100), "{\"v\":1}");
  EXPECT_EQ(test::entry_names(volume), (std::set<std::string>{"doc.json", "filler"}));
}

TEST(PrivateDirectories, SystemLinksAreFollowedTreesAreCreatedCommittedAndExchangedAndOtherLinksRefused) {
  TempDir dir;
  EXPECT_EQ(resolve_system_links("/no/such/../path"), "/no/path");
  const bool root = ::geteuid() == 0;
  if (root) {  // dir is root-owned and 0700: a link root makes here is a system link
    private_dir(dir / "real" / "sub");
    fs::create_directory_symlink("real", dir / "system");
    EXPECT_EQ(resolve_system_links(dir / "system" / "sub" / "x"), dir / "real" / "sub" / "x");
    plant_link(dir / "real", dir / "foreign");
    EXPECT_EQ(resolve_system_links(dir / "foreign" / "sub"), dir / "foreign" / "sub");
  }
  fs::create_directory(dir / "outside");
  fs::permissions(dir / "outside", fs::perms(0755));
  plant_link(dir / "outside", dir / "link");
  EXPECT_TRELK_ERROR(private_directory_new(dir / "link" / "staging"), "unsafe_path",
                     "New private directory requires ordinary existing parents");
  EXPECT_EQ(mode_bits(dir / "outside"), 0755u);
  EXPECT_TRUE(fs::is_empty(dir / "outside"));

  private_directory_new(dir / "staging");
  test::write_file(dir / "staging" / "payload", "tree");
  commit_private_path_new(dir / "staging", dir / "installed", {});
  EXPECT_FALSE(fs::exists(dir / "staging"));
  private_directory_new(dir / "next");
  EXPECT_TRELK_ERROR(commit_private_path_new(dir / "next", dir / "installed", {}), "already_installed",
                     "Cannot atomically install without replacing an existing destination");
  EXPECT_EQ(test::read_file(dir / "installed" / "payload"), "tree");
  auto swap = [&] {
    fs::rename(dir / "next", dir / "verified");
    private_directory_new(dir / "next");  // same name and mode, other inode
  };
  EXPECT_TRELK_ERROR(commit_private_path_new(dir / "next", dir / "published", swap), "native_install_commit",
                     "Source identity changed during verification");
  EXPECT_FALSE(fs::exists(dir / "published"));

  // Two trees swap atomically; a tree swapped for another during verification stops the exchange.
  const fs::path one = private_dir(dir / "one"), two = private_dir(dir / "two");
  test::write_file(one / "version", "1");
  test::write_file(two / "version", "2");
  exchange_private_directories(one, two, {});
  EXPECT_EQ(test::read_file(one / "version"), "2");
  EXPECT_EQ(test::read_file(two / "version"), "1");
  auto replace = [&] {
    fs::rename(two, dir / "held");
    private_dir(two);
  };
  EXPECT_TRELK_ERROR(exchange_private_directories(one, two, replace), "native_install_commit",
                     "Directory exchange identities changed during verification");
  EXPECT_EQ(test::read_file(one / "version"), "2");
  plant_link(dir / "held", dir / "held-link");
  EXPECT_TRELK_ERROR(exchange_private_directories(one, dir / "held-link", {}), "native_install_commit",
                     "Directory exchange requires private owned roots and parents");

  // An ordinary user below a folder it may traverse but not list still makes and commits its own.
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  ASSERT_TRUE(!root || (::chmod(dir.path().c_str(), 0711) == 0 && ::chown(shared.c_str(), 65534, 65534) == 0));
  const pid_t child = ::fork();
  if (child == 0) {
    if ((root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) || ::chmod(shared.c_str(), 0311) != 0) ::_exit(3);
    try {
      private_directory_new(shared / "staging");
      commit_private_path_new(shared / "staging", shared / "committed", {});
      ::_exit(::access((shared / "committed").c_str(), F_OK) == 0 ? 0 : 5);
    } catch (...) {
      ::_exit(1);
    }
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(shared.c_str(), 0700);
  ::chmod(dir.path().c_str(), 0700);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // A second private tree on another file system, when one is at hand.
  struct stat here {
  }, shm{};
  if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string other = "/dev/shm/trelk-exchange-XXXXXX";
  ASSERT_NE(::mkdtemp(other.data()), nullptr);
  EXPECT_TRELK_ERROR(exchange_private_directories(one, private_dir(other + "/c"), {}), "native_install_commit",
                     "Directory exchange requires distinct roots on one volume");
  fs::remove_all(other);
}

// flock conflicts between open file descriptions even within one process, so one process plays every holder.
TEST(FileLock, SharedExclusiveAndRetainedHoldersConflictAndLinksAndUnprivateFilesAreRefused) {
  TempDir dir;
  const auto path = dir / "state" / "operation.lock";
  {
    std::optional<FileLock> reader_a(std::in_place, path, false, LockMode::shared);
    FileLock reader_b(path, false, LockMode::shared);
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
    reader_a.reset();
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
  }
  {
    FileLock writer(path, false, LockMode::exclusive);
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::shared), "busy", state_busy);
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
  }
  // A retained lock outlives its object (its descriptor stays open until this process ends).
  FileLock(path, false, LockMode::exclusive).retain_until_process_exit();
  EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::shared), "busy", state_busy);

  // Links and files that are not empty and private are refused.
  test::write_file(dir / "target", "keep");
  ::chmod((dir / "target").c_str(), 0600);
  plant_link(dir / "target", dir / "operation.lock");
  EXPECT_TRELK_ERROR(FileLock(dir / "operation.lock", false, LockMode::exclusive), "lock_failed",
                     "Cannot open operation lock");
  fs::create_directories(dir / "real");
  plant_link(dir / "real", dir / "linked");
  EXPECT_TRELK_ERROR(FileLock(dir / "linked" / "x.lock", false, LockMode::exclusive), "unsafe_path",
                     "Managed directory is a symbolic link");
  EXPECT_TRUE(fs::is_empty(dir / "real"));

  for (const char* name : {"operation.lock", "target"})
    EXPECT_TRELK_ERROR(NativeFileLock(dir / name, false, NativeLockSharing::none, LockMode::exclusive), "lock_failed",
                       "Native ownership requires an ordinary empty private file");
  EXPECT_EQ(test::read_file(dir / "target"), "keep");  // never truncated
}

}  // namespace
}  // namespace trelk
