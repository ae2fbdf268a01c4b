#include "files/atomic.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "files/descriptor.hpp"
#include "files/fixtures.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::mode_bits;
using test::plant_link;
using test::TempDir;

std::set<std::string> names(const fs::path& dir) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) found.insert(entry.path().filename().string());
  return found;
}

TEST(ReadFile, BoundedAndOnlyOrdinaryFiles) {
  TempDir dir;
  test::write_file(dir / "doc", "0123456789");
  EXPECT_EQ(read_file(dir / "doc", 10), "0123456789");
  EXPECT_TRELK_ERROR(read_file(dir / "doc", 9), "size_limit", "File exceeds read limit");
  plant_link(dir / "doc", dir / "link");
  EXPECT_TRELK_ERROR(read_file(dir / "link", 100), "unsafe_path", "Cannot open file: " + (dir / "link").string());
  // Proc files report size 0 but have content: the shape of a file that grew after fstat.
  EXPECT_TRELK_ERROR(read_file("/proc/self/status", 1 << 20), "file_read", "File changed while reading");
}

TEST(AtomicWrite, PrivateFilesCreateNeverReplacesAndNoWriterFollowsLinks) {
  TempDir dir;
  const auto state = dir / "state" / "nested";
  atomic_write(state / "doc.json", "{\"v\":1}");
  replace_private_file(state / "doc.json", "second");
  EXPECT_EQ(read_file(state / "doc.json", 100), "second");
  EXPECT_EQ(mode_bits(state), 0700u);
  EXPECT_EQ(mode_bits(state / "doc.json") & 0077, 0u);
  atomic_create(state / "export", "first");
  EXPECT_TRELK_ERROR(atomic_create(state / "export", "second"), "file_write",
                     "Cannot create export; the destination may already exist (17)");
  EXPECT_EQ(read_file(state / "export", 100), "first");
  EXPECT_EQ(names(state), (std::set<std::string>{"doc.json", "export"}));

  // A link in place of the file (a dangling one would create its target), or as the parent.
  test::write_file(dir / "victim", "untouched");
  plant_link(dir / "victim", state / "doc");
  plant_link(dir / "created-by-attack", state / "dangling");
  plant_link(state, dir / "linked");
  for (auto* writer : {&atomic_write, &atomic_create, &atomic_private_create, &replace_private_file})
    for (const char* name : {"doc", "dangling"})
      EXPECT_TRELK_ERROR(writer(state / name, "evil"), "unsafe_path", "Refusing to replace a symbolic link");
  EXPECT_TRELK_ERROR(atomic_write(dir / "linked" / "doc", "evil"), "unsafe_path",
                     "Managed directory is a symbolic link");
  const std::string parent = "Export parent must be an existing plain directory";
  EXPECT_TRELK_ERROR(atomic_create(dir / "linked" / "doc", "evil"), "unsafe_path", parent);
  EXPECT_TRELK_ERROR(atomic_create(dir / "absent" / "entry", "x"), "unsafe_path", parent);
  EXPECT_EQ(names(dir.path()), (std::set<std::string>{"linked", "state", "victim"}));
  EXPECT_EQ(test::read_file(dir / "victim"), "untouched");
  EXPECT_EQ(names(state), (std::set<std::string>{"dangling", "doc", "doc.json", "export"}));
}

// Version n of the document: its size varies so that a torn write cannot look complete.
std::string version(std::uint64_t n) {
  return canonical_json({{"n", n}, {"pad", std::string(100 + (n * 7919) % 20000, static_cast<char>('a' + n % 26))}});
}

// A child writes never-seen versions until it is killed at a random moment, 100 times; each time every file but
// the transaction's own temporary files must be a whole version with a name the writer publishes.
template <typename Write>
void write_and_kill(const fs::path& dir, Write write, const std::string& published) {
  std::mt19937 random(std::random_device{}());
  for (std::uint64_t round = 0; round < 100; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        for (std::uint64_t n = round * 1000000;; ++n) write(n);
      } catch (...) {
        ::_exit(2);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(500, 15000)(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the writer failed on its own";
    for (const auto& name : names(dir)) {
      if (name.ends_with(".tmp")) continue;
      ASSERT_TRUE(name.starts_with(published)) << "round " << round << " left " << name;
      const auto text = read_file(dir / name, 1 << 20);
      ASSERT_EQ(text, version(parse_json(text, 1 << 20).at("n").get<std::uint64_t>())) << "round " << round;
    }
    for (const auto& name : names(dir))
      if (name != "doc.json") fs::remove(dir / name);
  }
}

TEST(CrashSafety, AtomicWriteAndCreateLeaveOnlyCompleteVersions) {
  TempDir dir;
  atomic_write(dir / "state" / "doc.json", version(0));
  write_and_kill(
      dir / "state", [&](std::uint64_t n) { atomic_write(dir / "state" / "doc.json", version(n)); }, "doc.json");
  fs::create_directories(dir / "exports");
  write_and_kill(
      dir / "exports",
      [&](std::uint64_t n) { atomic_create(dir / "exports" / ("entry-" + std::to_string(n)), version(n)); }, "entry-");
}

TEST(AtomicWrite, FullVolumeReportsInsufficientSpaceAndKeepsTheOldContent) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root; disk-full behaviour not exercised";
  TempDir dir;
  const auto volume = test::private_dir(dir / "volume");
  if (::mount("tmpfs", volume.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  struct Unmount {
    fs::path where;
    ~Unmount() { ::umount2(where.c_str(), MNT_DETACH); }
  } unmount{volume};
  atomic_write(volume / "doc.json", "{\"v\":1}");
  Descriptor filler(::open((volume / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  const std::string block(4096, 'f');
  while (::write(filler.get(), block.data(), block.size()) > 0) {
  }
  ASSERT_EQ(errno, ENOSPC);
  const std::string full = "Local storage cannot save data; free space and try again";
  EXPECT_TRELK_ERROR(atomic_write(volume / "doc.json", std::string(32768, 'n')), "insufficient_space", full);
  EXPECT_TRELK_ERROR(atomic_create(volume / "export", std::string(32768, 'n')), "insufficient_space", full);
  EXPECT_EQ(read_file(volume / "doc.json", 100), "{\"v\":1}");
  EXPECT_EQ(names(volume), (std::set<std::string>{"doc.json", "filler"}));
}

}  // namespace
}  // namespace trelk
