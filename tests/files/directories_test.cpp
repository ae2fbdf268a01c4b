#include "files/directories.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "files/fixtures.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::mode_bits;
using test::plant_link;
using test::TempDir;
using test::thrown;

void expect_error(const std::function<void()>& body, const char* code, const char* message) {
  auto error = thrown(body);
  EXPECT_EQ(error.code, code);
  EXPECT_STREQ(error.what(), message);
}

fs::path private_dir(const fs::path& path) {
  fs::create_directories(path);
  fs::permissions(path, fs::perms(0700));
  return path;
}

TEST(ResolveSystemLinks, FollowsOnlyLinksTheSystemOwns) {
  // On merged-/usr systems /bin is such a link; elsewhere this check is vacuous.
  EXPECT_EQ(resolve_system_links("/bin/trelk-absent"), fs::canonical("/bin").string() + "/trelk-absent");
  EXPECT_EQ(resolve_system_links("/no/such/../path"), "/no/path");
  if (::geteuid() != 0) GTEST_SKIP() << "creating root-owned links needs root";

  TempDir dir;  // root-owned and 0700: a link planted here by root is a system link
  private_dir(dir / "real" / "sub");
  fs::create_directory_symlink("real", dir / "system");
  EXPECT_EQ(resolve_system_links(dir / "system" / "sub" / "x"), dir / "real" / "sub" / "x");
  fs::create_directory_symlink(dir / "real", dir / "absolute");
  EXPECT_EQ(resolve_system_links(dir / "absolute" / "sub"), dir / "real" / "sub");

  plant_link(dir / "real", dir / "foreign");
  EXPECT_EQ(resolve_system_links(dir / "foreign" / "sub"), dir / "foreign" / "sub");

  private_dir(dir / "shared");
  fs::create_directory_symlink(dir / "real", dir / "shared" / "link");
  fs::permissions(dir / "shared", fs::perms(0770));
  EXPECT_EQ(resolve_system_links(dir / "shared" / "link" / "sub"), dir / "shared" / "link" / "sub");

  fs::create_symlink("loop-b", dir / "loop-a");
  fs::create_symlink("loop-a", dir / "loop-b");
  expect_error([&] { resolve_system_links(dir / "loop-a" / "x"); }, "unsafe_path", "Too many system links in a path");
}

TEST(PrivateDirectory, CreatesAndRestricts) {
  TempDir dir;
  private_directory(dir / "a" / "b");
  EXPECT_EQ(mode_bits(dir / "a" / "b"), 0700u);
  fs::permissions(dir / "a" / "b", fs::perms(0755));
  private_directory(dir / "a" / "b");
  EXPECT_EQ(mode_bits(dir / "a" / "b"), 0700u);

  private_dir(dir / "outside");
  fs::permissions(dir / "outside", fs::perms(0755));
  plant_link(dir / "outside", dir / "link");
  expect_error([&] { private_directory(dir / "link"); }, "unsafe_path", "Managed directory is a symbolic link");
  EXPECT_EQ(mode_bits(dir / "outside"), 0755u);
}

TEST(PrivateDirectoryNew, ReservesAFreshPrivateDirectory) {
  TempDir dir;
  private_directory_new(dir / "staging");
  EXPECT_EQ(mode_bits(dir / "staging"), 0700u);
  EXPECT_TRUE(fs::is_empty(dir / "staging"));
  expect_error([&] { private_directory_new(dir / "staging"); }, "native_install_commit",
               "Cannot reserve new private staging directory");
  test::write_file(dir / "file", "x");
  expect_error([&] { private_directory_new(dir / "file"); }, "native_install_commit",
               "Cannot reserve new private staging directory");

  expect_error([&] { private_directory_new(dir / "staging" / ".." / "escape"); }, "unsafe_path",
               "New private directory cannot traverse parents");
  EXPECT_FALSE(fs::exists(dir / "escape"));
  expect_error([] { private_directory_new("/"); }, "unsafe_path",
               "New private directory cannot be a filesystem root or exceed its absolute path bound");
  expect_error([] { private_directory_new(""); }, "unsafe_path",
               "New private directory requires a bounded path without NUL bytes");
  expect_error([] { private_directory_new("/" + std::string(4096, 'a')); }, "unsafe_path",
               "New private directory requires a bounded path without NUL bytes");

  private_dir(dir / "real");
  plant_link(dir / "real", dir / "link");
  expect_error([&] { private_directory_new(dir / "link" / "staging"); }, "unsafe_path",
               "New private directory requires ordinary existing parents");
  EXPECT_TRUE(fs::is_empty(dir / "real"));
  expect_error([&] { private_directory_new(dir / "missing" / "staging"); }, "unsafe_path",
               "New private directory requires ordinary existing parents");
  expect_error([&] { private_directory_new(dir / "file" / "staging"); }, "unsafe_path",
               "New private directory requires ordinary existing parents");

  fs::path deep = dir.path();
  for (int i = 0; i < 130; ++i) deep /= "d";
  expect_error([&] { private_directory_new(deep); }, "size_limit", "New private directory ancestry exceeds its bound");
}

TEST(CommitPrivatePathNew, PublishesWithoutReplacing) {
  TempDir dir;
  private_directory_new(dir / "staging");
  test::write_file(dir / "staging" / "payload", "tree");
  bool verified = false;
  commit_private_path_new(dir / "staging", dir / "installed", [&] { verified = true; });
  EXPECT_TRUE(verified);
  EXPECT_FALSE(fs::exists(dir / "staging"));
  EXPECT_EQ(test::read_file(dir / "installed" / "payload"), "tree");

  test::write_file(dir / "record.tmp", "record");
  fs::permissions(dir / "record.tmp", fs::perms(0600));
  commit_private_path_new(dir / "record.tmp", dir / "record", {});
  EXPECT_EQ(test::read_file(dir / "record"), "record");

  private_directory_new(dir / "next");
  auto taken = thrown([&] { commit_private_path_new(dir / "next", dir / "installed", {}); });
  EXPECT_EQ(taken.code, "already_installed");
  EXPECT_STREQ(taken.what(), "Cannot atomically install without replacing an existing destination");
  EXPECT_TRUE(fs::is_directory(dir / "next"));
  EXPECT_EQ(test::read_file(dir / "installed" / "payload"), "tree");

  test::write_file(dir / "open", "x");
  fs::permissions(dir / "open", fs::perms(0644));
  expect_error([&] { commit_private_path_new(dir / "open", dir / "published", {}); }, "native_install_commit",
               "Commit source must be private and owned by this user");
  fs::create_hard_link(dir / "record", dir / "record-alias");
  expect_error([&] { commit_private_path_new(dir / "record", dir / "published", {}); }, "native_install_commit",
               "Commit source must be private and owned by this user");
  plant_link(dir / "next", dir / "link");
  expect_error([&] { commit_private_path_new(dir / "link", dir / "published", {}); }, "native_install_commit",
               "Commit source must be private and owned by this user");
  EXPECT_FALSE(fs::exists(dir / "published"));
  EXPECT_TRUE(fs::is_directory(dir / "next"));

  plant_link(dir.path(), dir / "parent-link");
  expect_error([&] { commit_private_path_new(dir / "next", dir / "parent-link" / "published", {}); }, "unsafe_path",
               "Directory commit requires ordinary existing ancestry");
  expect_error([&] { commit_private_path_new(dir / "next", dir / "next", {}); }, "unsafe_path",
               "Directory commit requires distinct bounded paths");
  EXPECT_FALSE(fs::exists(dir / "published"));
}

TEST(CommitPrivatePathNew, SourceReplacedDuringVerificationIsRefused) {
  TempDir dir;
  private_directory_new(dir / "staging");
  auto swap = [&] {
    fs::rename(dir / "staging", dir / "verified");
    private_directory_new(dir / "staging");  // same name and mode, other inode
  };
  expect_error([&] { commit_private_path_new(dir / "staging", dir / "installed", swap); }, "native_install_commit",
               "Source identity changed during verification");
  EXPECT_FALSE(fs::exists(dir / "installed"));

  auto loosen = [&] { fs::permissions(dir / "staging", fs::perms(0755)); };
  expect_error([&] { commit_private_path_new(dir / "staging", dir / "installed", loosen); }, "native_install_commit",
               "Source identity changed during verification");
  EXPECT_FALSE(fs::exists(dir / "installed"));
}

TEST(ExchangePrivateDirectories, SwapsTwoTrees) {
  TempDir dir;
  test::write_file(dir / "current" / "version", "1");
  test::write_file(dir / "next" / "version", "2");
  fs::permissions(dir / "current", fs::perms(0700));
  fs::permissions(dir / "next", fs::perms(0700));
  int calls = 0;
  exchange_private_directories(dir / "current", dir / "next", [&] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(test::read_file(dir / "current" / "version"), "2");
  EXPECT_EQ(test::read_file(dir / "next" / "version"), "1");
  exchange_private_directories(dir / "next", dir / "current", {});
  EXPECT_EQ(test::read_file(dir / "current" / "version"), "1");

  // A tree swapped for another during verification stops the exchange.
  auto replace = [&] {
    fs::rename(dir / "next", dir / "held");
    private_dir(dir / "next");
  };
  expect_error([&] { exchange_private_directories(dir / "current", dir / "next", replace); }, "native_install_commit",
               "Directory exchange identities changed during verification");
  EXPECT_EQ(test::read_file(dir / "current" / "version"), "1");
  EXPECT_TRUE(fs::is_empty(dir / "next"));

  expect_error([&] { exchange_private_directories(dir / "current", dir / "current", {}); }, "unsafe_path",
               "Directory exchange needs distinct bounded paths");
  expect_error([&] { exchange_private_directories("/", dir / "current", {}); }, "unsafe_path",
               "Directory exchange needs distinct bounded paths");
}

TEST(ExchangePrivateDirectories, RefusesLooseModesLinksAndOtherVolumes) {
  TempDir dir;
  private_dir(dir / "a");
  private_dir(dir / "b");
  constexpr const char* not_private = "Directory exchange requires private owned roots and parents";
  fs::permissions(dir / "b", fs::perms(0750));
  expect_error([&] { exchange_private_directories(dir / "a", dir / "b", {}); }, "native_install_commit", not_private);
  fs::permissions(dir / "b", fs::perms(01700));
  expect_error([&] { exchange_private_directories(dir / "a", dir / "b", {}); }, "native_install_commit", not_private);
  fs::permissions(dir / "b", fs::perms(0700));
  plant_link(dir / "b", dir / "link");
  expect_error([&] { exchange_private_directories(dir / "a", dir / "link", {}); }, "native_install_commit",
               not_private);
  fs::permissions(dir.path(), fs::perms(0755));
  expect_error([&] { exchange_private_directories(dir / "a", dir / "b", {}); }, "native_install_commit", not_private);
  fs::permissions(dir.path(), fs::perms(0700));

  // A second private tree on another file system, when one is at hand.
  struct stat here {};
  struct stat shm {};
  ASSERT_EQ(::stat(dir.path().c_str(), &here), 0);
  if (::stat("/dev/shm", &shm) != 0 || shm.st_dev == here.st_dev) GTEST_SKIP() << "no second file system at /dev/shm";
  std::string pattern = "/dev/shm/trelk-exchange-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  fs::path other = pattern;
  private_dir(other / "c");
  test::write_file(dir / "a" / "marker", "a");
  expect_error([&] { exchange_private_directories(dir / "a", other / "c", {}); }, "native_install_commit",
               "Directory exchange requires distinct roots on one volume");
  EXPECT_EQ(test::read_file(dir / "a" / "marker"), "a");
  fs::remove_all(other);
}

TEST(NativeFiles, MoveAndRemove) {
  TempDir dir;
  test::write_file(dir / "new", "2");
  test::write_file(dir / "old", "1");
  native_files::rename_replace(dir / "new", dir / "old");
  EXPECT_EQ(test::read_file(dir / "old"), "2");
  expect_error([&] { native_files::rename_replace(dir / "new", dir / "old"); }, "file_write",
               ("Cannot move " + (dir / "new").string() + " into place").c_str());
  EXPECT_TRUE(native_files::remove_or_trash(dir / "old", {}));
  EXPECT_TRUE(native_files::remove_or_trash(dir / "old", {}));
  test::write_file(dir / "full" / "x", "x");
  EXPECT_EQ(thrown([&] { native_files::remove_or_trash(dir / "full", {}); }).code, "file_remove");
  native_files::remove_after_exit(dir / "full");
  EXPECT_FALSE(fs::exists(dir / "full"));
  EXPECT_EQ(native_files::temporary_directory({}), fs::temp_directory_path());
}

}  // namespace
}  // namespace trelk
