#include <sys/stat.h>
#include <unistd.h>

#include "snapshot/allocated_file.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

TEST(AllocatedFile, ReservesRecordsAndWritesExactlyItsLength) {
  TempDir dir;
  const fs::path path = dir / "target.bin";
  std::optional<FileReservation> recorded;
  AllocatedFile file(path, 10, [&](const FileReservation& reservation) {
    // Ownership is recorded once the file exists and before any space is reserved.
    EXPECT_EQ(fs::file_size(path), 0u);
    recorded = reservation;
  });
  ASSERT_TRUE(recorded);
  EXPECT_EQ(recorded->path, path);
  EXPECT_EQ(recorded->length, 10u);
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(recorded->inode, static_cast<std::uint64_t>(st.st_ino));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Without preallocation support the volume still reports what it really allocated.
  if (file.reservation().preallocated) {
    EXPECT_GE(file.allocated_bytes(), 10u);
  }

  file.write("01234");
  EXPECT_TRELK_ERROR(file.write("567890"), "size_limit", "Write exceeds the authenticated file length");
  EXPECT_EQ(file.written(), 5u);
  EXPECT_TRELK_ERROR(file.finish(true), "length_mismatch", "File data is shorter than its authenticated length");
  file.write("56789");
  file.set_executable(true);
  file.finish(true);
  EXPECT_EQ(read_file(path), "0123456789");
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  EXPECT_TRELK_ERROR(AllocatedFile(path, 1, {}), "unsafe_path",
                     "Cannot exclusively create or reopen a prepared allocation");
}

TEST(AllocatedFile, ZeroLengthAndPartialFinish) {
  TempDir dir;
  AllocatedFile empty(dir / "empty", 0, {});
  EXPECT_FALSE(empty.reservation().preallocated);
  empty.finish(true);
  EXPECT_EQ(fs::file_size(dir / "empty"), 0u);

  // An incomplete finish cuts the preallocated tail away.
  AllocatedFile partial(dir / "partial", 1 << 20, {});
  partial.write("abc");
  partial.finish(false);
  EXPECT_EQ(read_file(dir / "partial"), "abc");
}

TEST(AllocatedFile, RefusesChangedFiles) {
  TempDir dir;
  EXPECT_TRELK_ERROR(AllocatedFile(dir / "missing/file", 1, {}), "unsafe_path",
                     "Allocation requires an ordinary parent directory");
  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "linked");
  EXPECT_TRELK_ERROR(AllocatedFile(dir / "linked/file", 1, {}), "unsafe_path",
                     "Allocation requires an ordinary parent directory");

  // Another file moved over the partial file between writes.
  AllocatedFile file(dir / "partial", 8, {});
  file.write("1234");
  write_file(dir / "intruder", "xxxx");
  fs::rename(dir / "intruder", dir / "partial");
  EXPECT_TRELK_ERROR(file.set_executable(false), "allocation_changed",
                     "Allocated file changed before setting executable permissions");
  EXPECT_TRELK_ERROR(file.finish(false), "allocation_changed", "Allocated file changed before completion");
  EXPECT_EQ(read_file(dir / "partial"), "xxxx");

  // A hard link to a prepared file makes reopening it fail.
  AllocatedFile prepared(dir / "prepared", 4, {});
  const FileReservation reservation = prepared.retain_reservation();
  ASSERT_EQ(::link(reservation.path.c_str(), (dir / "second-name").c_str()), 0);
  EXPECT_TRELK_ERROR(AllocatedFile{reservation}, "unsafe_path", "Allocation requires an ordinary single-link file");
  EXPECT_TRELK_ERROR(AllocatedFile::verify_identity(reservation), "allocation_changed",
                     "Owned partial file identity or bounds changed");
}

TEST(AllocatedFile, ResumesPreservesAndDiscardsThroughItsReservation) {
  TempDir dir;
  FileReservation reservation;
  {
    AllocatedFile file(dir / "download", 6, {});
    file.write("abc");
    reservation = parse_reservation(reservation_document(file.reservation()));
    file.preserve();
  }
  AllocatedFile::verify_identity(reservation);
  EXPECT_EQ(AllocatedFile::inspect_file(dir / "download").inode, reservation.inode);

  AllocatedFile resumed(reservation, 3);
  std::string prefix;
  resumed.read_prefix(3, [&](std::string_view bytes) { prefix.append(bytes); }, {});
  EXPECT_EQ(prefix, "abc");
  EXPECT_TRELK_ERROR(resumed.read_prefix(
                         3, [](std::string_view) {}, [](std::uint64_t, std::uint64_t) { return false; }),
                     "cancelled", "Partial verification cancelled");
  resumed.reserve_remaining();
  resumed.write("def");
  resumed.finish(true);
  EXPECT_EQ(read_file(dir / "download"), "abcdef");

  AllocatedFile doomed(dir / "doomed", 4, {});
  doomed.write("zz");
  doomed.discard();
  EXPECT_FALSE(fs::exists(dir / "doomed"));

  EXPECT_TRELK_ERROR(parse_reservation(json{{"path", "relative"}}), "invalid_reservation",
                     "File reservation record is malformed");
  fs::create_symlink(dir / "download", dir / "link");
  EXPECT_TRELK_ERROR(AllocatedFile::inspect_file(dir / "link"), "file_read", "Cannot inspect cache file identity");
}

}  // namespace
}  // namespace trelk::test
