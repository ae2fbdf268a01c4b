#include <gtest/gtest.h>
#include <wordexp.h>

#include <thread>

#include "core/digest.hpp"
#include "desktop/desktop_entry.hpp"
#include "desktop/desktop_fixture.hpp"
#include "desktop/shortcut_ledger.hpp"
#include "support/errors.hpp"
#include "support/run_program.hpp"

namespace trelk {
namespace {

using test::DataRootFixture;
namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// What a desktop reads back from an Exec value: the string escapes first, then the shell's quoting rules (as
// wordexp reads them, refusing command substitution and unset variables), then "%%" as a literal percent sign.
Words read_exec(const std::string& value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i)
    text += value[i] == '\\' && i + 1 < value.size() ? (value[++i] == 's' ? ' ' : value[i]) : value[i];
  wordexp_t words;
  if (::wordexp(text.c_str(), &words, WRDE_NOCMD | WRDE_UNDEF) != 0) return {"unreadable: " + text};
  Words arguments(words.we_wordv, words.we_wordv + words.we_wordc);
  ::wordfree(&words);
  for (auto& word : arguments)
    for (auto at = word.find("%%"); at != std::string::npos; at = word.find("%%", at + 1)) word.erase(at, 1);
  return arguments;
}

TEST(DesktopEntry, WrittenEntriesPassDesktopFileValidateAndRoundTripAndBadRequestsAreRefused) {
  DataRootFixture f;
  EXPECT_EQ(linux_desktop_entry(f.shortcut("Trelk")),
            "[Desktop Entry]\nVersion=1.0\nType=Application\nName=Trelk\nExec=\"" + f.bootstrap.string() +
                "\" \"--data-dir\" \"" + f.data_root.string() +
                "\" \"--gui\"\nTerminal=false\nStartupNotify=false\nCategories=Utility;\nX-Trelk-Shortcut-ABI=1\n"
                "X-Trelk-Game=\n");

  const fs::path odd =
      test::make_executable(f.temp / "Program Files $HOME \"q\" `cmd` back\\slash ünï/trelk-bootstrap");
  const std::vector<DesktopShortcut> cases{
      f.shortcut("Jeu d'été ★ 游戏", "jeu"),
      f.shortcut("Say \"hi\" $HOME `x` back\\slash 100% ;semi"),
      DesktopShortcut{odd, f.temp / "data 100% %% %u $USER \\ \"x\" `y` ü", "g.2", "Odd paths"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const DesktopShortcut& shortcut = cases[i];
    const fs::path destination = f.shortcuts / ("entry-" + std::to_string(i) + ".desktop");
    EXPECT_EQ(create_linux_desktop_entry(shortcut, destination)["path"], destination.string());
    // desktop-file-validate fails on any error (hints are fine).
    const auto validated = test::run_program("/usr/bin/desktop-file-validate", {destination.string()}, {});
    EXPECT_EQ(validated.status, 0) << validated.out << validated.err;
    const std::string text = test::read_file(destination);
    const auto exec = text.find("\nExec=") + 6;
    Words expected{shortcut.bootstrap.string(), "--data-dir", shortcut.data_root.string(), "--gui"};
    if (!shortcut.game_id.empty()) expected.insert(expected.end(), {"--game", shortcut.game_id});
    EXPECT_EQ(read_exec(text.substr(exec, text.find('\n', exec) - exec)), expected) << text;
  }

  const std::string control = "Shortcut text must be bounded and contain no control characters";
  for (const std::string& name : {std::string("two\nlines"), std::string(513, 'n')})
    EXPECT_TRELK_ERROR(linux_desktop_entry(f.shortcut(name)), "shortcut_text", control);
  EXPECT_NO_THROW(linux_desktop_entry(f.shortcut(std::string(512, 'n'))));
  EXPECT_TRELK_ERROR(linux_desktop_entry(f.shortcut("bad \xC3\x28")), "shortcut_text",
                     "Shortcut text must be valid UTF-8");
  auto refused = [&](const fs::path& bootstrap, const fs::path& root, const std::string& code,
                     const std::string& message) {
    EXPECT_TRELK_ERROR(linux_desktop_entry(DesktopShortcut{bootstrap, root, "", "x"}), code, message);
  };
  refused(f.bootstrap, f.temp / "a/../data", "shortcut_path", "Shortcut paths must be absolute and normalized");
  refused(test::make_executable(f.temp / "launcher/versions/1/trelk-bootstrap"), f.data_root, "shortcut_bootstrap",
          "Shortcuts require a stable bootstrap outside versioned or staged launchers");
  refused(test::make_executable(f.temp / "a%b/trelk-bootstrap"), f.data_root, "shortcut_path",
          "Desktop bootstrap paths cannot contain a percent sign; choose a stable location without it");
  fs::create_directory_symlink(f.temp / "opt", f.temp / "linked");
  refused(f.temp / "linked/bin/trelk-bootstrap", f.data_root, "unsafe_path", "Shortcut path contains a symbolic link");

  auto create = [&](const fs::path& destination) { create_linux_desktop_entry(f.shortcut("x"), destination); };
  test::write_file(f.shortcuts / "mine.desktop", "mine");
  fs::create_symlink(f.temp / "nowhere", f.shortcuts / "dangling.desktop");
  for (const char* taken : {"mine.desktop", "dangling.desktop"})
    EXPECT_TRELK_ERROR(create(f.shortcuts / taken), "already_exists",
                       "Desktop entry destination already exists; it was preserved");
  EXPECT_TRUE(test::read_file(f.shortcuts / "mine.desktop") == "mine" && !fs::exists(f.temp / "nowhere"));
  EXPECT_TRELK_ERROR(create(f.data_root / "x.desktop"), "shortcut_path",
                     "Desktop entries must be outside application data and managed launcher payloads");
  EXPECT_TRELK_ERROR(create(f.temp / "nope/x.desktop"), "shortcut_path",
                     "Custom shortcut destinations require an existing parent directory");
  EXPECT_FALSE(fs::exists(f.temp / "nope"));
  // Menu entries go below HOME unless XDG_DATA_HOME is absolute, one per data root and game.
  EXPECT_EQ(linux_menu_directory("/home/u", "relative"), fs::path("/home/u/.local/share/applications"));
  EXPECT_TRELK_ERROR(linux_menu_directory("relative", ""), "user_path",
                     "Application menu needs an absolute HOME or XDG_DATA_HOME");
  EXPECT_EQ(linux_menu_entry(f.data_root, "g"),
            f.temp / ("xdg/applications/trelk-" + digest(f.data_root.string(), "sha256") + "-game-g.desktop"));
}

using Paths = std::vector<fs::path>;

// Removing entries the user edited is left to the uninstall story; here an entry replaced by a link is no longer ours.
TEST(ShortcutLedger, RestoresLostEntriesNeverTouchesOnesNoLongerOursAndPreservesUnknownOrFullLedgers) {
  DataRootFixture f;
  const fs::path kept = f.shortcuts / "kept.desktop", lost = f.shortcuts / "lost.desktop",
                 linked = f.shortcuts / "linked.desktop", hidden = f.shortcuts / "menu/hidden.desktop";
  fs::create_directories(f.shortcuts / "menu");
  for (const fs::path& path : {kept, lost, linked, hidden}) create_owned_native_shortcut(f.shortcut("Name"), path);
  // Asked again for an entry still as written, the recorded one is reported, not the request.
  EXPECT_EQ(create_owned_native_shortcut(f.shortcut("Other", "other"), kept),
            (json{{"schema_version", 1}, {"created", false}, {"path", kept.string()}, {"game_id", ""}}));
  fs::rename(linked, f.temp / "target.desktop");
  fs::create_symlink(f.temp / "target.desktop", linked);
  fs::remove(lost);
  // An entry whose folder became a file is lost, not an error; a restore that cannot re-create it takes back
  // what it made and leaves the ledger as it was.
  fs::remove_all(f.shortcuts / "menu");
  test::write_file(f.shortcuts / "menu", "now a file");
  const fs::path ledger = f.data_root / "native/shortcuts.json";
  const std::string recorded = test::read_file(ledger);
  const fs::path moved = test::make_executable(f.temp / "new place/bin/trelk-bootstrap");
  EXPECT_THROW(restore_owned_native_shortcuts(f.data_root, moved), Error);
  EXPECT_TRUE(!fs::exists(lost) && test::read_file(ledger) == recorded);
  fs::remove(f.shortcuts / "menu");
  fs::create_directory(f.shortcuts / "menu");
  EXPECT_EQ(restore_owned_native_shortcuts(f.data_root, moved), (Paths{lost, hidden}));
  EXPECT_EQ(test::read_file(lost), linux_desktop_entry(DesktopShortcut{moved, f.data_root, "", "Name"}));
  fs::remove_all(f.shortcuts / "menu");
  test::write_file(f.shortcuts / "menu", "now a file");

  const ShortcutRemoval removal = remove_owned_native_shortcuts(f.data_root);
  EXPECT_EQ(std::pair(removal.removed, removal.preserved), std::pair(Paths{kept, lost}, Paths{linked}));
  EXPECT_TRUE(test::read_file(f.shortcuts / "menu") == "now a file" && fs::is_regular_file(f.temp / "target.desktop"));
  EXPECT_TRUE(owned_native_shortcuts(f.data_root).empty());

  // Unknown or full ledgers are preserved.
  for (const std::string text : {R"({"entries":[],"kind":"trelk-shortcuts","schema_version":2})", "not json"}) {
    test::write_file(ledger, text);
    EXPECT_TRELK_ERROR(create_owned_native_shortcut(f.shortcut("x"), f.shortcuts / "x.desktop"), "shortcut_ledger", "");
    EXPECT_TRUE(test::read_file(ledger) == text && !fs::exists(f.shortcuts / "x.desktop"));
  }

  std::vector<OwnedShortcut> rows;
  for (int i = 0; i < 128; ++i)
    rows.push_back({f.shortcuts / ("row-" + std::to_string(i) + ".desktop"), "", "Row", std::string(64, '0')});
  desktop::write_ledger(f.data_root, rows);
  EXPECT_TRELK_ERROR(create_owned_native_shortcut(f.shortcut("New"), f.shortcuts / "new.desktop"), "size_limit",
                     "Too many recorded shortcuts");
  // A recorded destination is re-created in place of its row.
  EXPECT_EQ(create_owned_native_shortcut(f.shortcut("Row five", "five"), rows[5].path)["created"], true);
  EXPECT_EQ(owned_native_shortcuts(f.data_root).at(5).game, "five");
}

// Creators in several threads, each with its own lock descriptor, as several processes would be.
TEST(ShortcutLedger, ConcurrentCreatorsKeepEveryRow) {
  DataRootFixture f;
  std::vector<std::thread> creators;
  for (int p = 0; p < 4; ++p)
    creators.emplace_back([&f, p] {
      for (int i = 0; i < 6; ++i) {
        const std::string id{'p', static_cast<char>('a' + p), static_cast<char>('a' + i)};
        create_owned_native_shortcut(f.shortcut(id, id), f.shortcuts / (id + ".desktop"));
      }
    });
  for (auto& creator : creators) creator.join();
  const auto rows = owned_native_shortcuts(f.data_root);
  EXPECT_EQ(rows.size(), 24u);
  for (const auto& row : rows) EXPECT_TRUE(desktop::unchanged(row)) << row.path;
}

}  // namespace
}  // namespace trelk
