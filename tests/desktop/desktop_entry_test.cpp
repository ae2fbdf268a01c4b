#include "desktop/desktop_entry.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/digest.hpp"
#include "desktop/desktop_fixture.hpp"
#include "support/errors.hpp"

namespace trelk {
namespace {

using test::DataRootFixture;
namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// What a desktop reads back from an Exec value: the string escapes first, then the
// quoting rules, then "%%" as a literal percent sign.
Words read_exec(const std::string& value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i)
    text += value[i] == '\\' && i + 1 < value.size() ? (value[++i] == 's' ? ' ' : value[i]) : value[i];
  Words arguments;
  bool quoted = false, open = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ' && !quoted) {
      open = false;
      continue;
    }
    if (!open) arguments.emplace_back(), open = true;
    if (text[i] == '"') {
      quoted = !quoted;
    } else {
      const bool escaped = (quoted && text[i] == '\\') || text.compare(i, 2, "%%") == 0;
      arguments.back() += text[escaped ? ++i : i];
    }
  }
  return arguments;
}

TEST(DesktopEntry, WrittenEntriesPassDesktopFileValidateAndRoundTrip) {
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
      DesktopShortcut{odd, f.temp / "data 100% $USER \\ \"x\" `y` ü", "g.2", "Odd paths"},
      DesktopShortcut{odd, f.temp / "%u %f %%", "g3", "Field codes in paths"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const DesktopShortcut& shortcut = cases[i];
    const fs::path destination = f.shortcuts / ("entry-" + std::to_string(i) + ".desktop");
    EXPECT_EQ(create_linux_desktop_entry(shortcut, destination)["path"], destination.string());
    test::expect_valid_entry(destination);
    const std::string text = test::read_file(destination);
    const auto exec = text.find("\nExec=") + 6;
    Words expected{shortcut.bootstrap.string(), "--data-dir", shortcut.data_root.string(), "--gui"};
    if (!shortcut.game_id.empty()) expected.insert(expected.end(), {"--game", shortcut.game_id});
    EXPECT_EQ(read_exec(text.substr(exec, text.find('\n', exec) - exec)), expected) << text;
  }
}

TEST(DesktopEntry, RefusesBadRequestsAndNeverOverwrites) {
  DataRootFixture f;
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
  EXPECT_TRELK_ERROR(create(f.shortcuts / "mine.desktop"), "already_exists",
                     "Desktop entry destination already exists; it was preserved");
  EXPECT_EQ(test::read_file(f.shortcuts / "mine.desktop"), "mine");
  fs::create_symlink(f.temp / "nowhere", f.shortcuts / "dangling.desktop");
  EXPECT_TRELK_ERROR(create(f.shortcuts / "dangling.desktop"), "already_exists", "");
  EXPECT_FALSE(fs::exists(f.temp / "nowhere"));
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

}  // namespace
}  // namespace trelk
