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

bool have_tools() { return run_shell("tar --version >/dev/null 2>&1 && zstd --version >/dev/null 2>&1") == 0; }

// A tree on disk with the modes the manifest declares, including a name too long for a plain
// ustar header so that the GNU long-name and pax forms are exercised.
std::vector<Declared> interop_files() {
  auto files = sample_files();
  files.push_back({"share/" + std::string(150, 'n') + "/" + std::string(120, 'f') + ".txt", "long name\n", false});
  return files;
}

void write_tree(const fs::path& root, const std::vector<Declared>& files) {
  for (const auto& file : files) {
    write_file(root / file.path, file.content);
    fs::permissions(root / file.path, file.executable ? fs::perms(0755) : fs::perms(0644), fs::perm_options::replace);
  }
}

TEST(SnapshotInterop, GnuTarAndZstdArchivesExtract) {
  if (!have_tools()) GTEST_SKIP() << "GNU tar or zstd is not installed";
  TempDir dir;
  const auto files = interop_files();
  write_tree(dir / "source", files);
  std::string list;
  for (const auto& file : files) list += " '" + file.path + "'";

  // Files are named one by one so that the archive holds no directory members.
  const std::vector<std::pair<std::string, std::string>> producers = {
      {"gnu format, tar --zstd", "tar --format=gnu --zstd -C source -cf gnu.tar.zst" + list},
      {"posix format piped to zstd", "tar --format=posix -C source -cf - " + list + " | zstd -q -19 -o posix.tar.zst"},
      {"gnu format, zstd with the full 64 MiB window",
       "tar --format=gnu -C source -cf - " + list + " | zstd -q --long=26 -o long.tar.zst"},
  };
  int index = 0;
  for (const auto& [name, command] : producers) {
    SCOPED_TRACE(name);
    ASSERT_EQ(run_shell("cd '" + dir.path().string() + "' && " + command), 0);
    const fs::path archive = dir / (std::vector<std::string>{"gnu", "posix", "long"}[index] + ".tar.zst");
    const auto manifest = SnapshotManifest::parse(inventory_document(files, read_file(archive)));
    const fs::path staging = dir / ("staging-" + std::to_string(index++));
    extract_snapshot(manifest, archive, staging, {}, nullptr);
    for (const auto& file : files) EXPECT_EQ(read_file(staging / file.path), file.content) << file.path;
    verify_snapshot_tree(manifest, staging, {});
  }
}

TEST(SnapshotInterop, GnuTarOfAWholeDirectoryIsRefusedForItsDirectoryMembers) {
  if (!have_tools()) GTEST_SKIP() << "GNU tar or zstd is not installed";
  TempDir dir;
  const auto files = sample_files();
  write_tree(dir / "source", files);
  ASSERT_EQ(run_shell("cd '" + dir.path().string() + "' && tar --zstd -C source -cf all.tar.zst bin data empty"), 0);
  const auto manifest = SnapshotManifest::parse(inventory_document(files, read_file(dir / "all.tar.zst")));
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "all.tar.zst", dir / "staging", {}, nullptr), "archive_type",
                     "Only ordinary files are accepted in snapshots");
}

TEST(SnapshotInterop, PackerArchivesReadBackWithGnuTar) {
  if (!have_tools()) GTEST_SKIP() << "GNU tar or zstd is not installed";
  TempDir dir;
  const auto files = interop_files();
  write_tree(dir / "source", files);
  PackOptions options;
  options.build_id = "interop-1";
  options.executable = "bin/tool";
  const json document = pack_snapshot(dir / "source", dir / "packed.tar.zst", options);
  ASSERT_EQ(run_shell("mkdir '" + (dir / "out").string() + "' && zstd -dc '" + (dir / "packed.tar.zst").string() +
                      "' | tar -x -C '" + (dir / "out").string() + "'"),
            0);
  for (const auto& file : files) EXPECT_EQ(read_file(dir / "out" / file.path), file.content) << file.path;
  EXPECT_EQ(fs::status(dir / "out/bin/tool").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  EXPECT_EQ(document.at("files").size(), files.size());
}

}  // namespace
}  // namespace trelk::test
