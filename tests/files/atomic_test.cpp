#include "files/atomic.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

std::vector<std::string> names(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) found.push_back(entry.path().filename().string());
  std::sort(found.begin(), found.end());
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

TEST(AtomicWrite, PrivateFilesWithoutLitterAndCreateNeverReplaces) {
  TempDir dir;
  const auto state = dir / "state" / "nested";
  const auto doc = state / "doc.json";
  atomic_write(doc, "{\"v\":1}");
  replace_private_file(doc, "second");
  EXPECT_EQ(read_file(doc, 100), "second");
  EXPECT_EQ(mode_bits(state), 0700u);
  EXPECT_EQ(mode_bits(doc) & 0077, 0u);

  atomic_create(state / "export", "first");
  EXPECT_TRELK_ERROR(atomic_create(state / "export", "second"), "file_write",
                     "Cannot create export; the destination may already exist (17)");
  EXPECT_EQ(read_file(state / "export", 100), "first");
  EXPECT_EQ(names(state), (std::vector<std::string>{"doc.json", "export"}));
  EXPECT_TRELK_ERROR(atomic_create(dir / "absent" / "entry", "x"), "unsafe_path",
                     "Export parent must be an existing plain directory");
  EXPECT_FALSE(fs::exists(dir / "absent"));
}

TEST(AtomicWrite, EveryWriterRefusesSymbolicLinks) {
  TempDir dir;
  test::write_file(dir / "victim", "untouched");
  fs::create_directories(dir / "private");
  plant_link(dir / "victim", dir / "private" / "doc");
  plant_link(dir / "created-by-attack", dir / "private" / "dangling");
  const std::vector<std::function<void(const fs::path&)>> writers{
      [](const fs::path& p) { atomic_write(p, "evil"); }, [](const fs::path& p) { atomic_create(p, "evil"); },
      [](const fs::path& p) { atomic_private_create(p, "evil"); },
      [](const fs::path& p) { replace_private_file(p, "evil"); }};
  for (const auto& writer : writers)
    for (const char* name : {"doc", "dangling"})  // a dangling link would otherwise create its target
      EXPECT_TRELK_ERROR(writer(dir / "private" / name), "unsafe_path", "Refusing to replace a symbolic link");
  EXPECT_TRUE(fs::is_symlink(dir / "private" / "doc"));
  EXPECT_FALSE(fs::exists(dir / "created-by-attack"));

  // Link parents are refused before anything is written through them.
  fs::create_directories(dir / "outside");
  plant_link(dir / "outside", dir / "state");
  EXPECT_TRELK_ERROR(atomic_write(dir / "state" / "doc", "evil"), "unsafe_path",
                     "Managed directory is a symbolic link");
  EXPECT_TRELK_ERROR(atomic_create(dir / "state" / "doc", "evil"), "unsafe_path",
                     "Export parent must be an existing plain directory");
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
  EXPECT_EQ(test::read_file(dir / "victim"), "untouched");
}

// Crash safety: writers killed with SIGKILL at random moments must leave either an old or a new
// complete document, plus nothing but transaction files.
constexpr int kills = 100;

// Version n of the document: its size varies so that a torn write cannot look complete.
std::string version(std::uint64_t n) {
  return canonical_json({{"n", n}, {"pad", std::string(100 + (n * 7919) % 20000, static_cast<char>('a' + n % 26))}});
}

// Forks a child that writes versions from first on forever, kills it after a random few
// milliseconds, then hands every name left in dir to check.
template <typename Write, typename Check>
void write_and_kill(const fs::path& dir, Write write, Check check) {
  std::mt19937 random(std::random_device{}());
  for (std::uint64_t round = 0; round < kills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        for (std::uint64_t n = round * 1000000;; ++n) write(n);  // never-seen versions each round
      } catch (...) {
        ::_exit(2);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(500, 15000)(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // Died by our signal, not on its own through a write failure.
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer exited with status " << WEXITSTATUS(status);
    for (const auto& entry : fs::directory_iterator(dir)) {
      const auto name = entry.path().filename().string();
      if (!name.ends_with(".tmp")) check(name, read_file(entry.path(), 1 << 20));
      if (::testing::Test::HasFatalFailure()) return;
      if (name != "doc.json") fs::remove(entry.path());
    }
  }
}

TEST(CrashSafety, AtomicWriteAndCreateLeaveOnlyCompleteVersions) {
  test::TempDir dir;
  const auto target = dir / "state" / "doc.json";
  atomic_write(target, version(0));
  write_and_kill(
      dir / "state", [&](std::uint64_t n) { atomic_write(target, version(n)); },
      [](const std::string& name, const std::string& text) {
        ASSERT_EQ(name, "doc.json") << "unexpected litter";
        ASSERT_EQ(text, version(parse_json(text, 1 << 20).at("n").get<std::uint64_t>()));
      });
  fs::create_directories(dir / "exports");
  write_and_kill(
      dir / "exports",
      [&](std::uint64_t n) { atomic_create(dir / "exports" / ("entry-" + std::to_string(n)), version(n)); },
      [](const std::string& name, const std::string& text) {
        ASSERT_TRUE(name.starts_with("entry-")) << "unexpected litter " << name;
        ASSERT_EQ(text, version(std::stoull(name.substr(6))));
      });
}

TEST(AtomicWrite, FullVolumeReportsInsufficientSpaceAndKeepsTheOldContent) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root; disk-full behaviour not exercised";
  TempDir dir;
  const auto volume = dir / "volume";
  fs::create_directories(volume);
  if (::mount("tmpfs", volume.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  struct Unmount {
    fs::path where;
    ~Unmount() { ::umount2(where.c_str(), MNT_DETACH); }
  } unmount{volume};

  const auto doc = volume / "state" / "doc.json";
  atomic_write(doc, "{\"v\":1}");
  {
    Descriptor filler(::open((volume / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(filler.valid());
    const std::string block(4096, 'f');
    while (::write(filler.get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
  }
  const std::string large(32768, 'n');
  const std::string full = "Local storage cannot save data; free space and try again";
  EXPECT_TRELK_ERROR(atomic_write(doc, large), "insufficient_space", full);
  EXPECT_TRELK_ERROR(atomic_create(doc.parent_path() / "export", large), "insufficient_space", full);
  EXPECT_EQ(read_file(doc, 100), "{\"v\":1}");
  EXPECT_EQ(names(doc.parent_path()), std::vector<std::string>{"doc.json"});
}

}  // namespace
}  // namespace trelk
