#include "files/atomic.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files/descriptor.hpp"
#include "files/fixtures.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::mode_bits;
using test::plant_link;
using test::TempDir;
using test::thrown;

// Everything in dir except the given names; catches leftover transaction files.
std::vector<std::string> litter(const fs::path& dir, const std::vector<std::string>& expected) {
  std::vector<std::string> extra;
  for (const auto& entry : fs::directory_iterator(dir)) {
    auto name = entry.path().filename().string();
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) extra.push_back(name);
  }
  return extra;
}

TEST(ReadFile, BoundsAndTail) {
  TempDir dir;
  auto file = dir / "doc";
  test::write_file(file, "0123456789");
  EXPECT_EQ(read_file(file, 10), "0123456789");
  auto over = thrown([&] { read_file(file, 9); });
  EXPECT_EQ(over.code, "size_limit");
  EXPECT_STREQ(over.what(), "File exceeds read limit");

  std::uint64_t size = 0;
  EXPECT_EQ(read_file_tail(file, 4, &size), "6789");
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(read_file_tail(file, 100, &size), "0123456789");
  EXPECT_EQ(read_file_tail(file, 0, nullptr), "");

  test::write_file(dir / "empty", "");
  EXPECT_EQ(read_file(dir / "empty", 0), "");
  EXPECT_EQ(read_file_tail(dir / "empty", 0, &size), "");
  EXPECT_EQ(size, 0u);

  std::string big(3 * 65536 + 17, 'x');
  big[65536] = 'y';
  test::write_file(dir / "big", big);
  EXPECT_EQ(read_file(dir / "big", big.size()), big);
}

TEST(ReadFile, RefusesWhatIsNotAnOrdinaryFile) {
  TempDir dir;
  test::write_file(dir / "real", "secret");
  plant_link(dir / "real", dir / "link");
  auto linked = thrown([&] { read_file(dir / "link", 100); });
  EXPECT_EQ(linked.code, "unsafe_path");
  EXPECT_EQ(std::string(linked.what()), "Cannot open file: " + (dir / "link").string());

  auto directory = thrown([&] { read_file(dir.path(), 100); });
  EXPECT_EQ(directory.code, "unsafe_path");
  EXPECT_EQ(std::string(directory.what()), "Expected an ordinary file: " + dir.path().string());

  // A FIFO without a writer would block a plain open; it must be refused at once instead.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  auto fifo = thrown([&] { read_file(dir / "fifo", 100); });
  EXPECT_EQ(fifo.code, "unsafe_path");
  EXPECT_EQ(std::string(fifo.what()), "Expected an ordinary file: " + (dir / "fifo").string());

  EXPECT_EQ(thrown([&] { read_file(dir / "missing", 100); }).code, "file_read");
}

TEST(ReadFile, DetectsContentBeyondTheStatSize) {
  // Proc files report size 0 but have content: exactly the shape of a file that grew after fstat.
  auto grown = thrown([] { read_file("/proc/self/status", 1 << 20); });
  EXPECT_EQ(grown.code, "file_read");
  EXPECT_STREQ(grown.what(), "File changed while reading");
}

TEST(AtomicWrite, WritesPrivateFilesWithoutLitter) {
  TempDir dir;
  auto state = dir / "state" / "nested";
  auto doc = state / "doc.json";
  atomic_write(doc, "{\"v\":1}");
  EXPECT_EQ(read_file(doc, 100), "{\"v\":1}");
  EXPECT_EQ(mode_bits(state), 0700u);
  EXPECT_EQ(mode_bits(doc) & 0077, 0u);
  atomic_write(doc, "");
  EXPECT_EQ(read_file(doc, 100), "");
  replace_private_file(doc, "second");
  EXPECT_EQ(read_file(doc, 100), "second");
  atomic_private_create(state / "new", "fresh");
  EXPECT_EQ(read_file(state / "new", 100), "fresh");
  EXPECT_TRUE(litter(state, {"doc.json", "new"}).empty());

  // An existing state directory with loose permissions is tightened.
  fs::create_directories(dir / "loose");
  fs::permissions(dir / "loose", fs::perms(0755));
  atomic_write(dir / "loose" / "doc", "x");
  EXPECT_EQ(mode_bits(dir / "loose"), 0700u);
}

TEST(AtomicCreate, NeverReplacesAndNeedsAPlainParent) {
  TempDir dir;
  auto exported = dir / "entry.desktop";
  atomic_create(exported, "first");
  auto again = thrown([&] { atomic_create(exported, "second"); });
  EXPECT_EQ(again.code, "file_write");
  EXPECT_STREQ(again.what(), "Cannot create export; the destination may already exist (17)");
  EXPECT_EQ(read_file(exported, 100), "first");
  EXPECT_TRUE(litter(dir.path(), {"entry.desktop"}).empty());
  EXPECT_EQ(thrown([&] { atomic_private_create(exported, "third"); }).code, "file_write");
  EXPECT_EQ(read_file(exported, 100), "first");

  auto missing = thrown([&] { atomic_create(dir / "absent" / "entry", "x"); });
  EXPECT_EQ(missing.code, "unsafe_path");
  EXPECT_STREQ(missing.what(), "Export parent must be an existing plain directory");
  EXPECT_FALSE(fs::exists(dir / "absent"));

  fs::create_directories(dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", dir / "linked");
  auto linked = thrown([&] { atomic_create(dir / "linked" / "entry", "x"); });
  EXPECT_STREQ(linked.what(), "Export parent must be an existing plain directory");
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

TEST(AtomicWrite, EveryVariantRefusesSymbolicLinks) {
  TempDir dir;
  test::write_file(dir / "victim", "untouched");
  fs::create_directories(dir / "private");
  plant_link(dir / "victim", dir / "private" / "doc");
  const std::vector<std::function<void()>> writers{
      [&] { atomic_write(dir / "private" / "doc", "evil"); },
      [&] { atomic_create(dir / "private" / "doc", "evil"); },
      [&] { atomic_private_create(dir / "private" / "doc", "evil"); },
      [&] { replace_private_file(dir / "private" / "doc", "evil"); },
  };
  for (const auto& writer : writers) {
    auto error = thrown(writer);
    EXPECT_EQ(error.code, "unsafe_path");
    EXPECT_STREQ(error.what(), "Refusing to replace a symbolic link");
    EXPECT_TRUE(fs::is_symlink(dir / "private" / "doc"));
  }
  // A dangling link is refused as well: it would otherwise create its target.
  plant_link(dir / "created-by-attack", dir / "private" / "dangling");
  EXPECT_STREQ(thrown([&] { atomic_write(dir / "private" / "dangling", "evil"); }).what(),
               "Refusing to replace a symbolic link");
  EXPECT_FALSE(fs::exists(dir / "created-by-attack"));

  // A private state directory that is a link is refused before anything is written through it.
  fs::create_directories(dir / "outside");
  plant_link(dir / "outside", dir / "state");
  auto parent = thrown([&] { atomic_write(dir / "state" / "doc", "evil"); });
  EXPECT_EQ(parent.code, "unsafe_path");
  EXPECT_STREQ(parent.what(), "Managed directory is a symbolic link");
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
  EXPECT_EQ(test::read_file(dir / "victim"), "untouched");
}

TEST(SyncFile, ProvesAnOrdinarySingleLinkFile) {
  TempDir dir;
  test::write_file(dir / "doc", "data");
  sync_file(dir / "doc");
  sync_directory(dir.path());

  auto bad_path = thrown([] { sync_file(""); });
  EXPECT_EQ(bad_path.code, "file_sync");
  EXPECT_STREQ(bad_path.what(), "File synchronization requires a bounded path without NUL bytes");
  EXPECT_STREQ(thrown([] { sync_file(std::string(4097, 'a')); }).what(),
               "File synchronization requires a bounded path without NUL bytes");

  fs::create_hard_link(dir / "doc", dir / "second");
  EXPECT_STREQ(thrown([&] { sync_file(dir / "doc"); }).what(), "Synchronization requires an ordinary single-link file");
  plant_link(dir / "doc", dir / "link");
  EXPECT_STREQ(thrown([&] { sync_file(dir / "link"); }).what(),
               "Synchronization requires an ordinary single-link file");
  EXPECT_STREQ(thrown([&] { sync_file(dir.path()); }).what(), "Synchronization requires an ordinary single-link file");
  EXPECT_STREQ(thrown([&] { sync_directory(dir / "missing"); }).what(), "Cannot open directory for synchronization");
}

TEST(TransactionFailure, TranslatesErrorNumbers) {
  for (int number : {ENOSPC, EDQUOT}) {
    auto full = thrown([&] { transaction_failure(number, "ignored"); });
    EXPECT_EQ(full.code, "insufficient_space");
    EXPECT_STREQ(full.what(), "Local storage cannot save data; free space and try again");
    EXPECT_TRUE(full.details.empty());
  }
  auto denied = thrown([] { transaction_failure(EACCES, "Cannot commit transaction file"); });
  EXPECT_EQ(denied.code, "file_write");
  EXPECT_STREQ(denied.what(), "Cannot commit transaction file (13)");
}

TEST(PosixFiles, ReserveAndSync) {
  TempDir dir;
  Descriptor fd(::open((dir / "blob").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid());
  EXPECT_EQ(posix_files::reserve(fd.get(), -1), EFBIG);
  EXPECT_EQ(posix_files::reserve(fd.get(), 0), 0);
  EXPECT_EQ(fs::file_size(dir / "blob"), 0u);
  EXPECT_EQ(posix_files::reserve(fd.get(), 12345), 0);
  EXPECT_EQ(fs::file_size(dir / "blob"), 12345u);
  EXPECT_EQ(posix_files::sync(fd.get()), 0);
  EXPECT_EQ(posix_files::reserve(-1, 10), EBADF);
  EXPECT_EQ(posix_files::sync(-1), -1);
}

// A tmpfs of a few pages mounted for the duration of a test.
class SmallVolume {
 public:
  explicit SmallVolume(const fs::path& where) : where_(where) {
    fs::create_directories(where);
    mounted_ = ::mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") == 0;
    error_ = errno;
  }
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;
  ~SmallVolume() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string why() const { return std::strerror(error_); }

 private:
  fs::path where_;
  bool mounted_ = false;
  int error_ = 0;
};

TEST(AtomicWrite, FullVolumeReportsInsufficientSpaceAndKeepsTheOldContent) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root; disk-full behaviour not exercised";
  TempDir dir;
  SmallVolume volume(dir / "volume");
  if (!volume.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << volume.why() << ")";
  auto doc = dir / "volume" / "state" / "doc.json";
  atomic_write(doc, "{\"v\":1}");
  {
    // Fill every remaining block.
    Descriptor filler(::open((dir / "volume" / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(filler.valid());
    std::string block(4096, 'f');
    while (::write(filler.get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
  }
  std::string large(32768, 'n');
  for (const auto& writer : std::vector<std::function<void()>>{
           [&] { atomic_write(doc, large); },
           [&] { replace_private_file(doc, large); },
           [&] { atomic_create(doc.parent_path() / "export", large); },
       }) {
    auto full = thrown(writer);
    EXPECT_EQ(full.code, "insufficient_space");
    EXPECT_STREQ(full.what(), "Local storage cannot save data; free space and try again");
    EXPECT_EQ(read_file(doc, 100), "{\"v\":1}");
    EXPECT_TRUE(litter(doc.parent_path(), {"doc.json"}).empty());
  }
}

}  // namespace
}  // namespace trelk
