#include "files/atomic.hpp"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

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

TEST(AtomicWrite, PrivateFilesCreateNeverReplacesAndNoWriterOrReaderFollowsLinks) {
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
  EXPECT_EQ(names(state), (std::set<std::string>{"doc.json", "export"}));

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
  EXPECT_EQ(names(dir.path()), (std::set<std::string>{"linked", "state", "victim"}));
  EXPECT_EQ(test::read_file(dir / "victim"), "untouched");
  EXPECT_EQ(names(state), (std::set<std::string>{"dangling", "doc", "doc.json", "export"}));
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
  std::ofstream(volume / "filler") << std::string(1 << 20, 'f');  // writes until the volume is full
  const std::string full = "Local storage cannot save data; free space and try again";
  EXPECT_TRELK_ERROR(atomic_write(volume / "doc.json", std::string(32768, 'n')), "insufficient_space", full);
  EXPECT_TRELK_ERROR(atomic_create(volume / "export", std::string(32768, 'n')), "insufficient_space", full);
  EXPECT_EQ(read_file(volume / "doc.json", 100), "{\"v\":1}");
  EXPECT_EQ(names(volume), (std::set<std::string>{"doc.json", "filler"}));
}

}  // namespace
}  // namespace trelk
