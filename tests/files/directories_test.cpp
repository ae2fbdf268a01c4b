#include "files/directories.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "files/fixtures.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::mode_bits;
using test::plant_link;
using test::private_dir;
using test::TempDir;

TEST(ResolveSystemLinks, FollowsOnlyLinksTheSystemOwns) {
  EXPECT_EQ(resolve_system_links("/no/such/../path"), "/no/path");
  if (::geteuid() != 0) GTEST_SKIP() << "creating root-owned links needs root";
  TempDir dir;  // root-owned and 0700: a link planted here by root is a system link
  private_dir(dir / "real" / "sub");
  fs::create_directory_symlink("real", dir / "system");
  EXPECT_EQ(resolve_system_links(dir / "system" / "sub" / "x"), dir / "real" / "sub" / "x");
  plant_link(dir / "real", dir / "foreign");
  EXPECT_EQ(resolve_system_links(dir / "foreign" / "sub"), dir / "foreign" / "sub");
}

TEST(PrivateDirectories, CreateCommitAndRefuseLinks) {
  TempDir dir;
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

  // An ordinary user below a folder it may traverse but not list still makes and commits its own.
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_TRUE(::chmod(dir.path().c_str(), 0711) == 0 && ::chown(shared.c_str(), 65534, 65534) == 0);
  }
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
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(ExchangePrivateDirectories, SwapsTwoTreesAtomicallyOnOneVolume) {
  TempDir dir;
  test::write_file(private_dir(dir / "current") / "version", "1");
  test::write_file(private_dir(dir / "next") / "version", "2");
  int calls = 0;
  exchange_private_directories(dir / "current", dir / "next", [&] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(test::read_file(dir / "current" / "version"), "2");
  EXPECT_EQ(test::read_file(dir / "next" / "version"), "1");
  // A tree swapped for another during verification stops the exchange.
  auto replace = [&] {
    fs::rename(dir / "next", dir / "held");
    private_dir(dir / "next");
  };
  EXPECT_TRELK_ERROR(exchange_private_directories(dir / "current", dir / "next", replace), "native_install_commit",
                     "Directory exchange identities changed during verification");
  EXPECT_EQ(test::read_file(dir / "current" / "version"), "2");
  EXPECT_TRUE(fs::is_empty(dir / "next"));
  plant_link(dir / "held", dir / "link");
  EXPECT_TRELK_ERROR(exchange_private_directories(dir / "current", dir / "link", {}), "native_install_commit",
                     "Directory exchange requires private owned roots and parents");

  // A second private tree on another file system, when one is at hand.
  struct stat here {
  }, shm{};
  if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string other = "/dev/shm/trelk-exchange-XXXXXX";
  ASSERT_NE(::mkdtemp(other.data()), nullptr);
  EXPECT_TRELK_ERROR(exchange_private_directories(dir / "current", private_dir(other + "/c"), {}),
                     "native_install_commit", "Directory exchange requires distinct roots on one volume");
  fs::remove_all(other);
}

}  // namespace
}  // namespace trelk
