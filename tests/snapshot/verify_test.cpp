#include <functional>

#include "snapshot/extract.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

// An installed tree as extraction leaves it, and the manifest that describes it.
struct InstalledTree {
  TempDir dir;
  std::vector<Declared> files = sample_files();
  SnapshotManifest manifest = SnapshotManifest::parse(inventory_document(files, "archive"));
  fs::path root = dir / "tree";
  InstalledTree() { write_tree(root, files, fs::perms(0700), fs::perms(0600)); }
};

TEST(VerifySnapshotTree, AcceptsTheExactTreeCancelsAndReportsEachKindOfDamage) {
  InstalledTree exact;
  fs::create_directories(exact.root / "data/new/empty");
  verify_snapshot_tree(exact.manifest, exact.root, {});
  EXPECT_TRUE(damaged_snapshot_files(exact.manifest, exact.root, {}, 10).paths.empty());
  std::uint64_t last = 0;  // stopped inside the large file's hashing
  auto stop = [&](std::uint64_t done, std::uint64_t) { return (last = done) <= 70000; };
  EXPECT_TRELK_ERROR(verify_snapshot_tree(exact.manifest, exact.root, stop), "cancelled",
                     "Operation cancelled at a safe boundary");
  EXPECT_LT(last, exact.manifest.expanded_length);

  // What the damage report names (none where the damage is refused outright), the damage, and the refusal.
  const std::tuple<std::string, std::function<void(InstalledTree&)>, std::string, std::string> cases[] = {
      {"data/extra.txt", [](InstalledTree& t) { write_file(t.root / "data/extra.txt", ""); }, "unexpected_file",
       "Game tree contains an unmanaged file"},
      {"empty", [](InstalledTree& t) { fs::remove(t.root / "empty"); }, "missing_file",
       "Game content is incomplete; repair is available"},
      {"data/deep/b.bin",
       [](InstalledTree& t) {
         t.files[2].content[123456] = 'c';
         write_file(t.root / t.files[2].path, t.files[2].content);
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
  for (const auto& [path, apply, code, message] : cases) {
    SCOPED_TRACE(code);
    InstalledTree tree;
    apply(tree);
    EXPECT_TRELK_ERROR(verify_snapshot_tree(tree.manifest, tree.root, {}), code, message);
    if (path.empty())
      EXPECT_TRELK_ERROR(damaged_snapshot_files(tree.manifest, tree.root, {}, 10), code, message);
    else
      EXPECT_EQ(damaged_snapshot_files(tree.manifest, tree.root, {}, 10).paths, std::vector<std::string>{path});
  }
}

}  // namespace
}  // namespace trelk::test
