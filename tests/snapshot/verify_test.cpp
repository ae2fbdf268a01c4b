#include <functional>

#include "snapshot/extract.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

// An installed tree and the manifest that describes it.
struct InstalledTree {
  TempDir dir;
  SnapshotManifest manifest = SnapshotManifest::parse(inventory_document(sample_files(), "archive"));
  fs::path root = dir / "tree";
  InstalledTree() { write_payload_tree(root, sample_files()); }
};

TEST(VerifySnapshotTree, CancelsAndReportsEachKindOfDamage) {
  // A lone file is checked by the calling thread, which reports inside it and stops there.
  TempDir one;
  const std::vector<PayloadFile> big{{"big", std::string(200000, 'b'), true}};
  write_payload_tree(one.path(), big);
  std::uint64_t last = 0;
  auto stop = [&](std::uint64_t done, std::uint64_t) { return (last = done) <= 70000; };
  EXPECT_TRELK_ERROR(verify_snapshot_tree(SnapshotManifest::parse(inventory_document(big, "a")), one.path(), stop),
                     "cancelled", "Operation cancelled at a safe boundary");
  EXPECT_LT(last, 200000u);

  // What the damage report names (none where the damage is refused outright), the damage, and the refusal.
  const std::tuple<std::string, std::function<void(InstalledTree&)>, std::string, std::string> cases[] = {
      {"data/extra.txt", [](InstalledTree& t) { write_file(t.root / "data/extra.txt", ""); }, "unexpected_file",
       "Game tree contains an unmanaged file"},
      {"empty", [](InstalledTree& t) { fs::remove(t.root / "empty"); }, "missing_file",
       "Game content is incomplete; repair is available"},
      {"data/deep/b.bin", [](auto& t) { write_file(t.root / "data/deep/b.bin", std::string(199999, 'b') + "c"); },
       "content_mismatch", "Game content differs from the verified manifest: data/deep/b.bin"},
      {"bin/tool", [](InstalledTree& t) { fs::permissions(t.root / "bin/tool", fs::perms(0600)); }, "content_mode",
       "Game executable permission is missing"},
      {"",  // a link is never followed, not even to identical content
       [](InstalledTree& t) {
         fs::rename(t.root / "data/a.txt", t.dir / "outside.txt");
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
