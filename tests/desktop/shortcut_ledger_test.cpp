#include "desktop/shortcut_ledger.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/digest.hpp"
#include "core/paths.hpp"
#include "desktop/desktop_fixture.hpp"

namespace trelk {
namespace {

using test::DesktopFixture;
using test::thrown;
namespace fs = std::filesystem;

json ledger_document(const fs::path& root) { return json::parse(test::read_file(root / "native/shortcuts.json")); }

TEST(ShortcutLedger, RecreatingIsIdempotent) {
  DesktopFixture f;
  const fs::path destination = f.shortcuts / "game.desktop";
  const json first = create_owned_native_shortcut(f.shortcut("My Game", "my-game"), destination);
  EXPECT_EQ(first,
            (json{{"schema_version", 1}, {"created", true}, {"path", destination.string()}, {"game_id", "my-game"}}));
  test::expect_valid_entry(destination);
  const std::string bytes = test::read_file(destination);

  const std::string ledger = test::read_file(f.data_root / "native/shortcuts.json");
  EXPECT_EQ(ledger, canonical_json(ledger_document(f.data_root)));  // compact, sorted, no trailing newline
  EXPECT_EQ(ledger_document(f.data_root), (json{{"schema_version", 1},
                                                {"kind", "trelk-shortcuts"},
                                                {"entries",
                                                 {{{"game", "my-game"},
                                                   {"name", "My Game"},
                                                   {"path", destination.string()},
                                                   {"sha256", digest(bytes, "sha256")}}}}}));

  const json second = create_owned_native_shortcut(f.shortcut("Another name", "other"), destination);
  EXPECT_EQ(second["created"], false);
  EXPECT_EQ(second["game_id"], "my-game");  // the recorded entry, not the request
  EXPECT_EQ(test::read_file(destination), bytes);
  EXPECT_EQ(test::read_file(f.data_root / "native/shortcuts.json"), ledger);

  const auto rows = owned_native_shortcuts(f.data_root);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].path, destination);
  EXPECT_EQ(rows[0].name, "My Game");
  EXPECT_TRUE(desktop::unchanged(rows[0]));
}

TEST(ShortcutLedger, UserEditedEntriesAreNeverTouched) {
  DesktopFixture f;
  const fs::path edited = f.shortcuts / "edited.desktop";
  const fs::path kept = f.shortcuts / "kept.desktop";
  create_owned_native_shortcut(f.shortcut("Edited"), edited);
  create_owned_native_shortcut(f.shortcut("Kept", "g"), kept);
  const std::string users = test::read_file(edited) + "Comment=mine\n";
  test::write_file(edited, users);

  const Error again = thrown([&] { create_owned_native_shortcut(f.shortcut("Edited"), edited); });
  EXPECT_EQ(again.code, "already_exists");
  EXPECT_EQ(test::read_file(edited), users);

  // A recorded entry replaced by a link is not ours either; its target stays.
  const fs::path linked = f.shortcuts / "linked.desktop";
  create_owned_native_shortcut(f.shortcut("Linked"), linked);
  const fs::path target = f.temp / "target.desktop";
  fs::rename(linked, target);
  fs::create_symlink(target, linked);

  const ShortcutRemoval removal = remove_owned_native_shortcuts(f.data_root);
  EXPECT_EQ(removal.removed, std::vector<fs::path>{kept});
  EXPECT_EQ(removal.preserved, (std::vector<fs::path>{edited, linked}));
  EXPECT_EQ(test::read_file(edited), users);
  EXPECT_FALSE(fs::exists(kept));
  EXPECT_TRUE(fs::is_regular_file(target));
  EXPECT_TRUE(owned_native_shortcuts(f.data_root).empty());
  EXPECT_EQ(ledger_document(f.data_root)["entries"], json::array());
}

TEST(ShortcutLedger, RestoresLostEntriesWithTheCurrentBootstrap) {
  DesktopFixture f;
  const fs::path lost = f.shortcuts / "lost.desktop";
  const fs::path edited = f.shortcuts / "edited.desktop";
  create_owned_native_shortcut(f.shortcut("Lost Game", "lost"), lost);
  create_owned_native_shortcut(f.shortcut("Edited"), edited);
  test::write_file(edited, "[Desktop Entry]\nType=Application\nName=Mine\nExec=true\n");
  fs::remove(lost);

  const fs::path moved = test::make_executable(f.temp / "new place/bin/trelk-bootstrap");
  EXPECT_EQ(restore_owned_native_shortcuts(f.data_root, moved), std::vector<fs::path>{lost});
  const std::string restored = test::read_file(lost);
  EXPECT_EQ(restored, linux_desktop_entry(DesktopShortcut{moved, f.data_root, "lost", "Lost Game"}));
  test::expect_valid_entry(lost);
  EXPECT_EQ(test::read_file(edited), "[Desktop Entry]\nType=Application\nName=Mine\nExec=true\n");

  const auto rows = owned_native_shortcuts(f.data_root);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].sha256, digest(restored, "sha256"));
  EXPECT_TRUE(desktop::unchanged(rows[0]));
  EXPECT_FALSE(desktop::unchanged(rows[1]));

  // Nothing is missing any more: a second restore changes nothing.
  EXPECT_TRUE(restore_owned_native_shortcuts(f.data_root, f.bootstrap).empty());
  EXPECT_EQ(test::read_file(lost), restored);
  // And the restored entry is recognised as ours on removal.
  const auto removal = remove_owned_native_shortcuts(f.data_root);
  EXPECT_EQ(removal.removed, std::vector<fs::path>{lost});
  EXPECT_EQ(removal.preserved, std::vector<fs::path>{edited});
}

TEST(ShortcutLedger, RowLimit) {
  DesktopFixture f;
  std::vector<OwnedShortcut> rows;
  for (int i = 0; i < 128; ++i) {
    rows.push_back({f.shortcuts / ("row-" + std::to_string(i) + ".desktop"), "", "Row", std::string(64, '0')});
  }
  desktop::write_ledger(f.data_root, rows);
  const Error full = thrown([&] { create_owned_native_shortcut(f.shortcut("New"), f.shortcuts / "new.desktop"); });
  EXPECT_EQ(full.code, "size_limit");
  EXPECT_EQ(std::string(full.what()), "Too many recorded shortcuts");
  EXPECT_FALSE(fs::exists(f.shortcuts / "new.desktop"));

  // A recorded destination is re-created in place of its row.
  const json again = create_owned_native_shortcut(f.shortcut("Row five", "five"), rows[5].path);
  EXPECT_EQ(again["created"], true);
  const auto stored = owned_native_shortcuts(f.data_root);
  ASSERT_EQ(stored.size(), 128u);
  EXPECT_EQ(stored[5].name, "Row five");
  EXPECT_EQ(stored[5].game, "five");
  EXPECT_TRUE(desktop::unchanged(stored[5]));
}

TEST(ShortcutLedger, RefusesUnknownOrMalformedLedgers) {
  DesktopFixture f;
  const fs::path ledger = f.data_root / "native/shortcuts.json";
  auto expect = [&](const std::string& text, const std::string& message) {
    test::write_file(ledger, text);
    const Error error = thrown([&] { owned_native_shortcuts(f.data_root); });
    EXPECT_EQ(error.code, "shortcut_ledger") << text;
    EXPECT_EQ(std::string(error.what()), message) << text;
    // The ledger is preserved, never rewritten.
    const Error create = thrown([&] { create_owned_native_shortcut(f.shortcut("x"), f.shortcuts / "x.desktop"); });
    EXPECT_EQ(create.code, "shortcut_ledger");
    EXPECT_EQ(test::read_file(ledger), text);
    EXPECT_FALSE(fs::exists(f.shortcuts / "x.desktop"));
  };
  const std::string unsupported = "Unsupported shortcut list " + ledger.string();
  const std::string malformed = "Shortcut list is malformed: " + ledger.string();
  expect(R"({"entries":[],"kind":"other","schema_version":1})", unsupported);
  expect(R"({"entries":[],"kind":"trelk-shortcuts","schema_version":"1"})", unsupported);
  expect(R"({"entries":[],"kind":"trelk-shortcuts","schema_version":2})", unsupported);
  expect(R"({"kind":"trelk-shortcuts","schema_version":1})", unsupported);
  expect("[]", unsupported);
  json many{{"kind", "trelk-shortcuts"}, {"schema_version", 1}, {"entries", json::array()}};
  for (int i = 0; i < 129; ++i) {
    many["entries"].push_back({{"game", ""}, {"name", "n"}, {"path", "/x/" + std::to_string(i)}, {"sha256", ""}});
  }
  expect(many.dump(), unsupported);
  expect("not json", malformed);
  expect(R"({"entries":[{"game":"","name":"n","path":"/x"}],"kind":"trelk-shortcuts","schema_version":1})", malformed);
  expect(R"({"entries":[{"game":1,"name":"n","path":"/x","sha256":""}],"kind":"trelk-shortcuts","schema_version":1})",
         malformed);
  expect(R"({"entries":[7],"kind":"trelk-shortcuts","schema_version":1})", malformed);

  test::write_file(ledger, R"({"entries":[{"game":"","name":"n","path":"rel/x.desktop","sha256":""}],)"
                           R"("kind":"trelk-shortcuts","schema_version":1})");
  EXPECT_EQ(std::string(thrown([&] { owned_native_shortcuts(f.data_root); }).what()),
            "Shortcut paths must be absolute and normalized");
}

TEST(ShortcutLedger, RefusalsBeforeTheLedgerIsTouched) {
  DesktopFixture f;
  const Error inside = thrown([&] { create_owned_native_shortcut(f.shortcut("x"), f.data_root / "x.desktop"); });
  EXPECT_EQ(inside.code, "shortcut_path");
  EXPECT_EQ(std::string(inside.what()), "Shortcuts must be outside the data folder");
  EXPECT_FALSE(fs::exists(f.data_root / "native"));

  const ShortcutRemoval nothing = remove_owned_native_shortcuts(f.data_root);
  EXPECT_TRUE(nothing.removed.empty());
  EXPECT_TRUE(nothing.preserved.empty());
  EXPECT_FALSE(fs::exists(f.data_root / "native"));

  test::write_file(f.data_root / ".trelk-setup-incomplete", "");
  const Error incomplete = thrown([&] { create_owned_native_shortcut(f.shortcut("x"), f.shortcuts / "x.desktop"); });
  EXPECT_EQ(incomplete.code, "native_install_incomplete");
  EXPECT_FALSE(fs::exists(f.shortcuts / "x.desktop"));
  EXPECT_FALSE(fs::exists(f.data_root / "native"));
}

TEST(ShortcutLedger, ConcurrentCreatorsInSeveralProcessesKeepEveryRow) {
  DesktopFixture f;
  constexpr int kProcesses = 4;
  constexpr int kEach = 6;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        for (int i = 0; i < kEach; ++i) {
          const std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
          create_owned_native_shortcut(f.shortcut("Game " + id, id), f.shortcuts / (id + ".desktop"));
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto rows = owned_native_shortcuts(f.data_root);
  EXPECT_EQ(rows.size(), static_cast<std::size_t>(kProcesses * kEach));
  for (const auto& row : rows) EXPECT_TRUE(desktop::unchanged(row)) << row.path;
}

}  // namespace
}  // namespace trelk
