#include <sys/stat.h>

#include <algorithm>

#include "snapshot/extract.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

// An installed tree as extraction leaves it, and the manifest that describes it.
struct InstalledTree {
  TempDir dir;
  std::vector<Declared> files = sample_files();
  SnapshotManifest manifest = SnapshotManifest::parse(inventory_document(files, "archive"));
  fs::path root = dir / "tree";

  InstalledTree() {
    for (const auto& file : files) {
      write_file(root / file.path, file.content);
      fs::permissions(root / file.path,
                      file.executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    }
  }
};

const std::string unmanaged = "Game tree contains an unmanaged file";

TEST(VerifySnapshotTree, AcceptsTheExactTreeAndExtraEmptyDirectories) {
  InstalledTree tree;
  verify_snapshot_tree(tree.manifest, tree.root, {});
  fs::create_directories(tree.root / "data/new/empty");
  verify_snapshot_tree(tree.manifest, tree.root, {});
  // A 0644 file that happens to carry the execute bit is still the declared content.
  fs::permissions(tree.root / "data/a.txt", fs::perms::owner_exec, fs::perm_options::add);
  verify_snapshot_tree(tree.manifest, tree.root, {});
  EXPECT_TRUE(damaged_snapshot_files(tree.manifest, tree.root, {}, 10).paths.empty());
}

TEST(VerifySnapshotTree, RefusesEachKindOfDamage) {
  {
    InstalledTree tree;
    write_file(tree.root / "data/extra.txt", "");
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), "unexpected_file", unmanaged);
  }
  {
    InstalledTree tree;
    ASSERT_EQ(::mkfifo((tree.root / "data/pipe").c_str(), 0600), 0);
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), "unexpected_file", unmanaged);
  }
  {
    InstalledTree tree;
    fs::remove(tree.root / "empty");
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), "missing_file",
                       "Game content is incomplete; repair is available");
  }
  {
    InstalledTree tree;
    write_file(tree.dir / "outside.txt", "alpha\n");
    fs::remove(tree.root / "data/a.txt");
    fs::create_symlink(tree.dir / "outside.txt", tree.root / "data/a.txt");
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), "unsafe_path",
                       "Game tree contains a symbolic link");
    EXPECT_TRELK_ERROR(damaged_snapshot_files(tree.manifest, tree.root, {}, 10), "unsafe_path",
                       "Game tree contains a symbolic link");
  }
  {
    InstalledTree tree;
    std::string content = tree.files[2].content;
    content[123456] = 'c';
    write_file(tree.root / "data/deep/b.bin", content);
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), "content_mismatch",
                       "Game content differs from the verified manifest: data/deep/b.bin");
  }
  {
    InstalledTree tree;
    write_file(tree.root / "data/a.txt", "alpha\n\n");
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), "content_mismatch",
                       "Game content differs from the verified manifest: data/a.txt");
  }
  {
    InstalledTree tree;
    fs::permissions(tree.root / "bin/tool", fs::perms::owner_exec, fs::perm_options::remove);
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), "content_mode",
                       "Game executable permission is missing");
  }
  {
    InstalledTree tree;
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.dir / "absent", {}), "unsafe_path",
                       "Game content directory is missing or linked");
    fs::create_directory_symlink(tree.root, tree.dir / "linked");
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.dir / "linked", {}), "unsafe_path",
                       "Game content directory is missing or linked");
  }
}

TEST(DamagedSnapshotFiles, CollectsEveryDifferenceUpToTheLimit) {
  InstalledTree tree;
  write_file(tree.root / "stray.txt", "x");                       // unmanaged
  fs::remove(tree.root / "empty");                                // missing
  write_file(tree.root / "data/a.txt", "alphA\n");                // same size, other digest
  write_file(tree.root / "data/deep/b.bin", "short");             // wrong size
  fs::permissions(tree.root / "bin/tool", fs::perms::owner_exec,  // execute bit lost
                  fs::perm_options::remove);

  auto all = damaged_snapshot_files(tree.manifest, tree.root, {}, 10);
  std::sort(all.paths.begin(), all.paths.end());
  EXPECT_EQ(all.paths, (std::vector<std::string>{"bin/tool", "data/a.txt", "data/deep/b.bin", "empty", "stray.txt"}));
  EXPECT_EQ(all.omitted, 0u);

  const auto limited = damaged_snapshot_files(tree.manifest, tree.root, {}, 2);
  EXPECT_EQ(limited.paths.size(), 2u);
  EXPECT_EQ(limited.omitted, 3u);
}

TEST(VerifySnapshotTree, ProgressCoversTheTreeAndCancels) {
  InstalledTree tree;
  std::uint64_t last = 0;
  verify_snapshot_tree(tree.manifest, tree.root, [&](std::uint64_t done, std::uint64_t total) {
    EXPECT_GE(done, last);
    EXPECT_EQ(total, tree.manifest.expanded_length);
    last = done;
    return true;
  });
  EXPECT_EQ(last, tree.manifest.expanded_length);

  // Inside a large file's hashing as well as between files.
  for (std::uint64_t stop_after : {std::uint64_t{0}, std::uint64_t{70000}}) {
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root,
                                            [&](std::uint64_t done, std::uint64_t) { return done <= stop_after; }),
                       "cancelled", "Operation cancelled at a safe boundary");
    EXPECT_TRELK_ERROR(
        damaged_snapshot_files(
            tree.manifest, tree.root, [&](std::uint64_t done, std::uint64_t) { return done <= stop_after; }, 5),
        "cancelled", "Operation cancelled at a safe boundary");
  }
}

}  // namespace
}  // namespace trelk::test
