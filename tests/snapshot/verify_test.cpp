#include <functional>

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
      fs::permissions(root / file.path, file.executable ? fs::perms(0700) : fs::perms(0600));
    }
  }
};

TEST(VerifySnapshotTree, AcceptsTheExactTreeAndCancels) {
  InstalledTree tree;
  fs::create_directories(tree.root / "data/new/empty");
  verify_snapshot_tree(tree.manifest, tree.root, {});
  EXPECT_TRUE(damaged_snapshot_files(tree.manifest, tree.root, {}, 10).paths.empty());
  // Inside the large file's hashing.
  std::uint64_t last = 0;
  auto stop = [&](std::uint64_t done, std::uint64_t) { return (last = done) <= 70000; };
  EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, stop), "cancelled",
                     "Operation cancelled at a safe boundary");
  EXPECT_LT(last, tree.manifest.expanded_length);
}

TEST(VerifySnapshotTree, ReportsEachKindOfDamage) {
  struct Damage {
    std::string path;
    std::function<void(InstalledTree&)> apply;
    std::string code, message;
  };
  const Damage cases[] = {
      {"data/extra.txt", [](InstalledTree& t) { write_file(t.root / "data/extra.txt", ""); }, "unexpected_file",
       "Game tree contains an unmanaged file"},
      {"empty", [](InstalledTree& t) { fs::remove(t.root / "empty"); }, "missing_file",
       "Game content is incomplete; repair is available"},
      {"data/deep/b.bin",
       [](InstalledTree& t) {
         t.files[2].content[123456] = 'c';
         write_file(t.root / "data/deep/b.bin", t.files[2].content);
       },
       "content_mismatch", "Game content differs from the verified manifest: data/deep/b.bin"},
      {"bin/tool", [](InstalledTree& t) { fs::permissions(t.root / "bin/tool", fs::perms(0600)); }, "content_mode",
       "Game executable permission is missing"},
      {"",  // a link is never followed, not even to identical content
       [](InstalledTree& t) {
         write_file(t.dir / "outside.txt", "alpha\n");
         fs::remove(t.root / "data/a.txt");
         fs::create_symlink(t.dir / "outside.txt", t.root / "data/a.txt");
       },
       "unsafe_path", "Game tree contains a symbolic link"},
  };
  for (const auto& damage : cases) {
    SCOPED_TRACE(damage.code);
    InstalledTree tree;
    damage.apply(tree);
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), damage.code, damage.message);
    if (damage.path.empty())
      EXPECT_TRELK_ERROR(damaged_snapshot_files(tree.manifest, tree.root, {}, 10), damage.code, damage.message);
    else
      EXPECT_EQ(damaged_snapshot_files(tree.manifest, tree.root, {}, 10).paths, std::vector<std::string>{damage.path});
  }
}

}  // namespace
}  // namespace trelk::test
