#include <cstdlib>

#include "snapshot/extract.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

TEST(SnapshotInterop, GnuTarAndZstdArchivesExtract) {
  if (std::system("tar --version >/dev/null 2>&1 && zstd --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "GNU tar or zstd is not installed";
  TempDir dir;
  // A name too long for a plain ustar header exercises the GNU long-name and pax forms.
  auto files = sample_files();
  files.push_back({"share/" + std::string(150, 'n') + "/" + std::string(120, 'f') + ".txt", "long name\n", false});
  write_tree(dir / "source", files);
  std::string list;  // files named one by one, so that the archives hold no directory members
  for (const auto& file : files) list += " '" + file.path + "'";
  const std::pair<std::string, std::string> producers[] = {
      {"gnu.tar.zst", "tar --format=gnu --zstd -C source -cf gnu.tar.zst" + list},
      {"posix.tar.zst", "tar --format=posix -C source -cf - " + list + " | zstd -q -19 -o posix.tar.zst"},
      {"long.tar.zst", "tar --format=gnu -C source -cf - " + list + " | zstd -q --long=26 -o long.tar.zst"},
  };
  for (const auto& [name, command] : producers) {
    SCOPED_TRACE(name);
    ASSERT_EQ(std::system(("cd '" + dir.path().string() + "' && " + command).c_str()), 0);
    const auto manifest = SnapshotManifest::parse(inventory_document(files, read_file(dir / name)));
    extract_snapshot(manifest, dir / name, dir / ("staging-" + name), {}, nullptr);
    for (const auto& file : files) EXPECT_EQ(read_file(dir / ("staging-" + name) / file.path), file.content);
  }
}

}  // namespace
}  // namespace trelk::test
