#include <sys/wait.h>

#include <cstdlib>

#include "snapshot/extract.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

int run_shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SnapshotInterop, GnuTarAndZstdArchivesExtract) {
  if (run_shell("tar --version >/dev/null 2>&1 && zstd --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "GNU tar or zstd is not installed";
  TempDir dir;
  // A name too long for a plain ustar header exercises the GNU long-name and pax forms.
  auto files = sample_files();
  files.push_back({"share/" + std::string(150, 'n') + "/" + std::string(120, 'f') + ".txt", "long name\n", false});
  std::string list;
  for (const auto& file : files) {
    write_file(dir / "source" / file.path, file.content);
    fs::permissions(dir / "source" / file.path, file.executable ? fs::perms(0755) : fs::perms(0644));
    list += " '" + file.path + "'";
  }
  // Files are named one by one so that the archives hold no directory members.
  const std::pair<std::string, std::string> producers[] = {
      {"gnu.tar.zst", "tar --format=gnu --zstd -C source -cf gnu.tar.zst" + list},
      {"posix.tar.zst", "tar --format=posix -C source -cf - " + list + " | zstd -q -19 -o posix.tar.zst"},
      {"long.tar.zst", "tar --format=gnu -C source -cf - " + list + " | zstd -q --long=26 -o long.tar.zst"},
  };
  for (const auto& [name, command] : producers) {
    SCOPED_TRACE(name);
    ASSERT_EQ(run_shell("cd '" + dir.path().string() + "' && " + command), 0);
    const auto manifest = SnapshotManifest::parse(inventory_document(files, read_file(dir / name)));
    extract_snapshot(manifest, dir / name, dir / ("staging-" + name), {}, nullptr);
    for (const auto& file : files) EXPECT_EQ(read_file(dir / ("staging-" + name) / file.path), file.content);
  }
}

}  // namespace
}  // namespace trelk::test
