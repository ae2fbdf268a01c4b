#include "desktop/shortcut_ledger.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "desktop/desktop_fixture.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

using test::DataRootFixture;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

// Removing entries the user edited is left to the uninstall story; here an entry replaced by a link is no longer ours.
TEST(ShortcutLedger, RestoresLostEntriesAndNeverTouchesOnesNoLongerOurs) {
  DataRootFixture f;
  const fs::path kept = f.shortcuts / "kept.desktop", lost = f.shortcuts / "lost.desktop",
                 linked = f.shortcuts / "linked.desktop", hidden = f.shortcuts / "menu/hidden.desktop";
  fs::create_directories(f.shortcuts / "menu");
  for (const fs::path& path : {kept, lost, linked, hidden}) create_owned_native_shortcut(f.shortcut("Name"), path);
  // Asked again for an entry still as written, the recorded one is reported, not the request.
  const std::string kept_bytes = test::read_file(kept);
  EXPECT_EQ(create_owned_native_shortcut(f.shortcut("Other", "other"), kept),
            (json{{"schema_version", 1}, {"created", false}, {"path", kept.string()}, {"game_id", ""}}));
  EXPECT_EQ(test::read_file(kept), kept_bytes);
  fs::rename(linked, f.temp / "target.desktop");
  fs::create_symlink(f.temp / "target.desktop", linked);
  fs::remove(lost);
  // An entry whose folder became a file is lost, not an error; a restore that cannot re-create it takes back
  // what it made and leaves the ledger as it was.
  fs::remove_all(f.shortcuts / "menu");
  test::write_file(f.shortcuts / "menu", "now a file");
  const std::string ledger = test::read_file(f.data_root / "native/shortcuts.json");
  const fs::path moved = test::make_executable(f.temp / "new place/bin/trelk-bootstrap");
  EXPECT_THROW(restore_owned_native_shortcuts(f.data_root, moved), Error);
  EXPECT_FALSE(fs::exists(lost));
  EXPECT_EQ(test::read_file(f.data_root / "native/shortcuts.json"), ledger);
  fs::remove(f.shortcuts / "menu");
  fs::create_directory(f.shortcuts / "menu");
  EXPECT_EQ(restore_owned_native_shortcuts(f.data_root, moved), (Paths{lost, hidden}));
  EXPECT_EQ(test::read_file(lost), linux_desktop_entry(DesktopShortcut{moved, f.data_root, "", "Name"}));
  EXPECT_TRUE(restore_owned_native_shortcuts(f.data_root, f.bootstrap).empty());
  fs::remove_all(f.shortcuts / "menu");
  test::write_file(f.shortcuts / "menu", "now a file");

  const ShortcutRemoval removal = remove_owned_native_shortcuts(f.data_root);
  EXPECT_EQ(removal.removed, (Paths{kept, lost}));
  EXPECT_EQ(removal.preserved, (Paths{linked}));
  EXPECT_EQ(test::read_file(f.shortcuts / "menu"), "now a file");
  EXPECT_TRUE(fs::is_regular_file(f.temp / "target.desktop"));
  EXPECT_TRUE(owned_native_shortcuts(f.data_root).empty());
}

TEST(ShortcutLedger, UnknownOrFullLedgersArePreserved) {
  DataRootFixture f;
  const fs::path ledger = f.data_root / "native/shortcuts.json";
  for (const std::string text : {R"({"entries":[],"kind":"trelk-shortcuts","schema_version":2})", "not json"}) {
    test::write_file(ledger, text);
    EXPECT_TRELK_ERROR(create_owned_native_shortcut(f.shortcut("x"), f.shortcuts / "x.desktop"), "shortcut_ledger", "");
    EXPECT_EQ(test::read_file(ledger), text);
    EXPECT_FALSE(fs::exists(f.shortcuts / "x.desktop"));
  }

  std::vector<OwnedShortcut> rows;
  for (int i = 0; i < 128; ++i)
    rows.push_back({f.shortcuts / ("row-" + std::to_string(i) + ".desktop"), "", "Row", std::string(64, '0')});
  desktop::write_ledger(f.data_root, rows);
  EXPECT_TRELK_ERROR(create_owned_native_shortcut(f.shortcut("New"), f.shortcuts / "new.desktop"), "size_limit",
                     "Too many recorded shortcuts");
  EXPECT_FALSE(fs::exists(f.shortcuts / "new.desktop"));
  // A recorded destination is re-created in place of its row.
  EXPECT_EQ(create_owned_native_shortcut(f.shortcut("Row five", "five"), rows[5].path)["created"], true);
  EXPECT_EQ(owned_native_shortcuts(f.data_root).at(5).game, "five");
}

TEST(ShortcutLedger, ConcurrentCreatorsInSeveralProcessesKeepEveryRow) {
  DataRootFixture f;
  std::vector<pid_t> children(4);
  for (int p = 0; p < 4; ++p) {
    if ((children[p] = fork()) != 0) continue;
    try {
      for (int i = 0; i < 6; ++i) {
        const std::string id = "p" + std::to_string(p * 10 + i);
        create_owned_native_shortcut(f.shortcut(id, id), f.shortcuts / (id + ".desktop"));
      }
      _exit(0);
    } catch (...) {
      _exit(1);
    }
  }
  for (const pid_t pid : children) {
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
  }
  const auto rows = owned_native_shortcuts(f.data_root);
  EXPECT_EQ(rows.size(), 24u);
  for (const auto& row : rows) EXPECT_TRUE(desktop::unchanged(row)) << row.path;
}

}  // namespace
}  // namespace trelk
