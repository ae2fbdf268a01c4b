#include "snapshot/allocated_file.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

TEST(AllocatedFile, WritesExactlyItsAuthenticatedLength) {
  TempDir dir;
  const fs::path path = dir / "target.bin";
  std::optional<FileReservation> recorded;
  AllocatedFile file(path, 10, [&](const FileReservation& reservation) {
    // Ownership is recorded once the file exists and before any space is reserved.
    EXPECT_EQ(fs::file_size(path), 0u);
    recorded = reservation;
  });
  ASSERT_TRUE(recorded);
  EXPECT_EQ(recorded->inode, AllocatedFile::inspect_file(path).inode);
  file.write("01234");
  EXPECT_TRELK_ERROR(file.write("567890"), "size_limit", "Write exceeds the authenticated file length");
  EXPECT_TRELK_ERROR(file.finish(true), "length_mismatch", "File data is shorter than its authenticated length");
  file.write("56789");
  file.set_executable(true);
  file.finish(true);
  EXPECT_EQ(read_file(path), "0123456789");
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);

  // An incomplete finish cuts the preallocated tail away.
  AllocatedFile partial(dir / "partial", 1 << 20, {});
  partial.write("abc");
  partial.finish(false);
  EXPECT_EQ(read_file(dir / "partial"), "abc");

  // Another file moved over the partial file between writes.
  AllocatedFile moved(dir / "moved", 8, {});
  moved.write("1234");
  write_file(dir / "intruder", "xxxx");
  fs::rename(dir / "intruder", dir / "moved");
  EXPECT_TRELK_ERROR(moved.finish(false), "allocation_changed", "Allocated file changed before completion");
  EXPECT_EQ(read_file(dir / "moved"), "xxxx");
}

}  // namespace
}  // namespace trelk::test
