#include "snapshot/allocated_file.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

TEST(AllocatedFile, WritesExactlyItsAuthenticatedLength) {
  TempDir dir;
  std::optional<FileReservation> recorded;
  AllocatedFile file(dir / "target.bin", 10, [&](const FileReservation& reservation) {
    // Ownership is recorded once the file exists and before any space is reserved.
    EXPECT_EQ(fs::file_size(dir / "target.bin"), 0u);
    recorded = reservation;
  });
  EXPECT_EQ(recorded.value().inode, AllocatedFile::inspect_file(dir / "target.bin").inode);
  file.write("01234");
  EXPECT_TRELK_ERROR(file.write("567890"), "size_limit", "Write exceeds the authenticated file length");
  EXPECT_TRELK_ERROR(file.finish(true), "length_mismatch", "File data is shorter than its authenticated length");
  file.write("56789");
  file.set_executable(true);
  file.finish(true);
  EXPECT_EQ(read_file(dir / "target.bin"), "0123456789");
  EXPECT_EQ(fs::status(dir / "target.bin").permissions(), fs::perms::owner_all);

  // An incomplete finish cuts the preallocated tail away; a file moved over the partial one is refused.
  AllocatedFile partial(dir / "partial", 1 << 20, {});
  partial.write("abc");
  write_file(dir / "intruder", "xxxx");
  fs::rename(dir / "intruder", dir / "partial");
  EXPECT_TRELK_ERROR(partial.finish(false), "allocation_changed", "Allocated file changed before completion");
  EXPECT_EQ(read_file(dir / "partial"), "xxxx");
  AllocatedFile cut(dir / "cut", 1 << 20, {});
  cut.write("abc");
  cut.finish(false);
  EXPECT_EQ(read_file(dir / "cut"), "abc");
}

}  // namespace
}  // namespace trelk::test
