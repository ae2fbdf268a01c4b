#include "desktop/desktop_entry.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/digest.hpp"
#include "core/paths.hpp"
#include "desktop/desktop_fixture.hpp"

namespace trelk {
namespace {

using test::DesktopFixture;
using test::ScopedEnv;
using test::thrown;
namespace fs = std::filesystem;

// What a desktop reads back from an Exec value: the string-level escapes
// first, then the quoting rules, then "%%" as a literal percent sign.
std::vector<std::string> read_exec(const std::string& value) {
  std::string unescaped;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      unescaped += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
    } else {
      unescaped += value[i];
    }
  }
  std::vector<std::string> arguments;
  std::string current;
  bool quoted = false;
  bool any = false;
  for (std::size_t i = 0; i < unescaped.size(); ++i) {
    const char c = unescaped[i];
    if (quoted && c == '\\' && i + 1 < unescaped.size()) {
      current += unescaped[++i];
    } else if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == '%' && i + 1 < unescaped.size() && unescaped[i + 1] == '%') {
      current += '%';
      ++i;
    } else if (c == ' ' && !quoted) {
      if (any || !current.empty()) arguments.push_back(current);
      current.clear();
      any = false;
    } else {
      current += c;
    }
  }
  if (any || !current.empty()) arguments.push_back(current);
  return arguments;
}

std::string line_value(const std::string& text, const std::string& key) {
  const auto start = text.find("\n" + key + "=");
  if (start == std::string::npos) return "<missing>";
  const auto value = start + key.size() + 2;
  return text.substr(value, text.find('\n', value) - value);
}

TEST(DesktopEntry, ExactTextOfLauncherAndGameShortcuts) {
  DesktopFixture f;
  const std::string bootstrap = f.bootstrap.string();
  const std::string root = f.data_root.string();
  EXPECT_EQ(linux_desktop_entry(f.shortcut("Trelk")),
            "[Desktop Entry]\nVersion=1.0\nType=Application\nName=Trelk\nExec=\"" + bootstrap + "\" \"--data-dir\" \"" +
                root +
                "\" \"--gui\"\nTerminal=false\nStartupNotify=false\nCategories=Utility;\nX-Trelk-Shortcut-ABI=1\n"
                "X-Trelk-Game=\n");

  const std::string game = linux_desktop_entry(f.shortcut("Star Field", "star-field"));
  EXPECT_EQ(line_value(game, "Name"), "Star\\sField");
  EXPECT_EQ(line_value(game, "Categories"), "Game;");
  EXPECT_EQ(line_value(game, "X-Trelk-Game"), "star-field");
  EXPECT_EQ(read_exec(line_value(game, "Exec")),
            (std::vector<std::string>{bootstrap, "--data-dir", root, "--gui", "--game", "star-field"}));
  EXPECT_EQ(game.back(), '\n');
}

TEST(DesktopEntry, EscapesEveryReservedCharacter) {
  EXPECT_EQ(desktop::string_value("a b\\c", true), "a\\sb\\\\c");
  EXPECT_EQ(desktop::string_value("a b\\c", false), "a b\\\\c");
  // A dollar sign gets a backslash, which the string escape then doubles.
  EXPECT_EQ(desktop::exec_argument("/x y/$HOME"), "\"/x y/\\\\$HOME\"");
  EXPECT_EQ(desktop::exec_argument("50%"), "\"50%%\"");
  EXPECT_EQ(desktop::exec_argument("a\"b`c\\d"), "\"a\\\\\"b\\\\`c\\\\\\\\d\"");

  DesktopFixture f;
  const fs::path bootstrap = test::make_executable(f.temp / "odd $dir \"q\" `t` back\\slash é/trelk-bootstrap");
  const fs::path root = f.temp / "data 100% $USER \\ \"x\" ü";
  const std::string text = linux_desktop_entry(DesktopShortcut{bootstrap, root, "g1", "Name"});
  EXPECT_EQ(read_exec(line_value(text, "Exec")),
            (std::vector<std::string>{bootstrap.string(), "--data-dir", root.string(), "--gui", "--game", "g1"}));
  EXPECT_NE(line_value(text, "Exec").find("100%%"), std::string::npos);
}

TEST(DesktopEntry, WrittenEntriesPassDesktopFileValidate) {
  if (test::run_command("command -v desktop-file-validate").status != 0)
    GTEST_SKIP() << "desktop-file-validate missing";
  DesktopFixture f;
  const fs::path odd_bootstrap =
      test::make_executable(f.temp / "Program Files $HOME \"quoted\" `cmd` back\\slash ünï/trelk-bootstrap");
  const std::vector<DesktopShortcut> cases{
      f.shortcut("Trelk"),
      f.shortcut("My Game", "my-game"),
      f.shortcut("Jeu d'été ★ 游戏", "jeu"),
      f.shortcut("Say \"hi\" $HOME `x` back\\slash 100% ;semi"),
      DesktopShortcut{odd_bootstrap, f.data_root, "", "Odd bootstrap"},
      DesktopShortcut{f.bootstrap, f.temp / "data 100% $USER \\ \"x\" `y` ü", "g.2", "Odd data root"},
      DesktopShortcut{odd_bootstrap, f.temp / "%u %f %%", "g3", "Field codes in paths"},
  };
  int index = 0;
  for (const auto& shortcut : cases) {
    const fs::path destination = f.shortcuts / ("entry-" + std::to_string(index++) + ".desktop");
    const json record = create_linux_desktop_entry(shortcut, destination);
    test::expect_valid_entry(destination);
    const std::string text = test::read_file(destination);
    EXPECT_EQ(text, linux_desktop_entry(shortcut));
    std::vector<std::string> expected{shortcut.bootstrap.string(), "--data-dir", shortcut.data_root.string(), "--gui"};
    if (!shortcut.game_id.empty()) {
      expected.push_back("--game");
      expected.push_back(shortcut.game_id);
    }
    EXPECT_EQ(read_exec(line_value(text, "Exec")), expected) << destination;
    EXPECT_EQ(record["path"], destination.string());
  }
}

TEST(DesktopEntry, RefusesBadRequests) {
  DesktopFixture f;
  auto expect = [](const DesktopShortcut& shortcut, const std::string& code, const std::string& message) {
    const Error error = thrown([&] { linux_desktop_entry(shortcut); });
    EXPECT_EQ(error.code, code) << message;
    EXPECT_EQ(std::string(error.what()), message);
    EXPECT_TRUE(error.details.empty());
  };
  const std::string control = "Shortcut text must be bounded and contain no control characters";
  expect(f.shortcut("two\nlines"), "shortcut_text", control);
  expect(f.shortcut(""), "shortcut_text", control);
  expect(f.shortcut(std::string(513, 'n')), "shortcut_text", control);
  expect(f.shortcut("del\x7f"), "shortcut_text", control);
  expect(f.shortcut("bad \xC3\x28 utf8"), "shortcut_text", "Shortcut text must be valid UTF-8");
  expect(f.shortcut("overlong \xC0\xAF"), "shortcut_text", "Shortcut text must be valid UTF-8");
  EXPECT_NO_THROW(linux_desktop_entry(f.shortcut(std::string(512, 'n'))));
  expect(f.shortcut("x", "Bad_Id"), "invalid_identity",
         "Game and build IDs use lower-case letters, digits, dots and hyphens");

  const std::string normalized = "Shortcut paths must be absolute and normalized";
  expect(DesktopShortcut{"relative/trelk-bootstrap", f.data_root, "", "x"}, "shortcut_path", normalized);
  expect(DesktopShortcut{f.bootstrap, f.temp / "a/../data", "", "x"}, "shortcut_path", normalized);
  expect(DesktopShortcut{f.bootstrap, f.temp / "./data", "", "x"}, "shortcut_path", normalized);

  const fs::path managed = test::make_executable(f.temp / "launcher/versions/1/trelk-bootstrap");
  expect(DesktopShortcut{managed, f.data_root, "", "x"}, "shortcut_bootstrap",
         "Shortcuts require a stable bootstrap outside versioned or staged launchers");
  const fs::path staged = test::make_executable(f.temp / "launcher/staging/x/bin/trelk-bootstrap");
  expect(DesktopShortcut{staged, f.data_root, "", "x"}, "shortcut_bootstrap",
         "Shortcuts require a stable bootstrap outside versioned or staged launchers");
  EXPECT_NO_THROW(linux_desktop_entry(
      DesktopShortcut{test::make_executable(f.temp / "versions/launcher/trelk-bootstrap"), f.data_root, "", "x"}));

  expect(DesktopShortcut{test::make_executable(f.temp / "a=b/trelk-bootstrap"), f.data_root, "", "x"}, "shortcut_path",
         "Desktop executable paths cannot contain an equals sign");
  expect(DesktopShortcut{test::make_executable(f.temp / "a%b/trelk-bootstrap"), f.data_root, "", "x"}, "shortcut_path",
         "Desktop bootstrap paths cannot contain a percent sign; choose a stable location without it");

  const fs::path plain = f.temp / "plain/trelk-bootstrap";
  test::write_file(plain, "not executable");
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
  expect(DesktopShortcut{plain, f.data_root, "", "x"}, "shortcut_bootstrap", "Shortcut bootstrap must be executable");

  const std::string not_plain = "Shortcut paths need existing plain files and directories";
  expect(DesktopShortcut{f.temp / "missing/trelk-bootstrap", f.data_root, "", "x"}, "shortcut_path", not_plain);
  expect(DesktopShortcut{f.temp / "opt/bin", f.data_root, "", "x"}, "shortcut_path", not_plain);
  expect(DesktopShortcut{f.bootstrap, f.temp / "missing/data", "", "x"}, "shortcut_path", not_plain);
  // A data root that does not exist yet is fine when its parent does.
  EXPECT_NO_THROW(linux_desktop_entry(DesktopShortcut{f.bootstrap, f.temp / "new-data", "", "x"}));

  fs::create_directory_symlink(f.temp / "opt", f.temp / "linked");
  expect(DesktopShortcut{f.temp / "linked/bin/trelk-bootstrap", f.data_root, "", "x"}, "unsafe_path",
         "Shortcut path contains a symbolic link");
  fs::create_directory_symlink(f.data_root, f.temp / "data-link");
  expect(DesktopShortcut{f.bootstrap, f.temp / "data-link", "", "x"}, "unsafe_path",
         "Shortcut path contains a symbolic link");
}

TEST(DesktopEntry, CreationNeverOverwritesAndChecksTheDestination) {
  DesktopFixture f;
  const fs::path destination = f.shortcuts / "trelk.desktop";
  const json record = create_linux_desktop_entry(f.shortcut("Trelk", "g"), destination);
  EXPECT_EQ(record, (json{{"schema_version", 1},
                          {"created", true},
                          {"path", destination.string()},
                          {"game_id", "g"},
                          {"bootstrap", f.bootstrap.string()},
                          {"data_root", f.data_root.string()},
                          {"shortcut_abi", 1}}));
  const std::string first = test::read_file(destination);

  const Error again = thrown([&] { create_linux_desktop_entry(f.shortcut("Other"), destination); });
  EXPECT_EQ(again.code, "already_exists");
  EXPECT_EQ(std::string(again.what()), "Desktop entry destination already exists; it was preserved");
  EXPECT_EQ(test::read_file(destination), first);
  // Nothing but the entry was left in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(f.shortcuts), fs::directory_iterator()), 1);

  fs::create_symlink(f.temp / "nowhere", f.shortcuts / "dangling.desktop");
  EXPECT_EQ(thrown([&] { create_linux_desktop_entry(f.shortcut("x"), f.shortcuts / "dangling.desktop"); }).code,
            "already_exists");
  EXPECT_FALSE(fs::exists(f.temp / "nowhere"));

  const std::string outside = "Desktop entries must be outside application data and managed launcher payloads";
  // Refused before the (missing) parent is looked at.
  Error inside = thrown([&] { create_linux_desktop_entry(f.shortcut("x"), f.data_root / "missing/x.desktop"); });
  EXPECT_EQ(inside.code, "shortcut_path");
  EXPECT_EQ(std::string(inside.what()), outside);
  inside = thrown([&] { create_linux_desktop_entry(f.shortcut("x"), f.temp / "launcher/versions/x.desktop"); });
  EXPECT_EQ(std::string(inside.what()), outside);
  const Error extension = thrown([&] { create_linux_desktop_entry(f.shortcut("x"), f.data_root / "missing/x.txt"); });
  EXPECT_EQ(std::string(extension.what()), "Desktop entry destination must end in .desktop");
  // A sibling whose name merely starts like the data root is outside it.
  fs::create_directories(f.temp / "data2");
  EXPECT_NO_THROW(create_linux_desktop_entry(f.shortcut("x"), f.temp / "data2/x.desktop"));

  const Error parent = thrown([&] { create_linux_desktop_entry(f.shortcut("x"), f.temp / "nope/x.desktop"); });
  EXPECT_EQ(std::string(parent.what()), "Custom shortcut destinations require an existing parent directory");
  EXPECT_FALSE(fs::exists(f.temp / "nope"));

  fs::create_directory_symlink(f.shortcuts, f.temp / "shortcut-link");
  EXPECT_EQ(thrown([&] { create_linux_desktop_entry(f.shortcut("x"), f.temp / "shortcut-link/y.desktop"); }).code,
            "unsafe_path");
  EXPECT_FALSE(fs::exists(f.shortcuts / "y.desktop"));
}

TEST(DesktopEntry, MenuLocations) {
  EXPECT_EQ(linux_menu_directory("/home/u", "/xdg"), fs::path("/xdg/applications"));
  EXPECT_EQ(linux_menu_directory("/home/u", ""), fs::path("/home/u/.local/share/applications"));
  EXPECT_EQ(linux_menu_directory("/home/u", "relative"), fs::path("/home/u/.local/share/applications"));
  const Error error = thrown([] { linux_menu_directory("relative", "also-relative"); });
  EXPECT_EQ(error.code, "user_path");
  EXPECT_EQ(std::string(error.what()), "Application menu needs an absolute HOME or XDG_DATA_HOME");
  EXPECT_EQ(thrown([] { linux_menu_directory("", ""); }).code, "user_path");
  EXPECT_EQ(native_shortcut_extension(), ".desktop");

  ScopedEnv home("HOME", "/home/u");
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(native_menu_directory(), fs::path("/home/u/.local/share/applications"));
  const fs::path entry = linux_menu_entry("/data/one", "game");
  EXPECT_EQ(entry, fs::path("/home/u/.local/share/applications/trelk-" + digest("/data/one", "sha256") +
                            "-game-game.desktop"));
  EXPECT_EQ(linux_menu_entry("/data/one", "").filename().string(),
            "trelk-" + digest("/data/one", "sha256") + "-launcher.desktop");
  EXPECT_NE(linux_menu_entry("/data/two", "game"), entry);
  EXPECT_EQ(native_menu_entry("/data/one", "game"), entry);
}

TEST(DesktopEntry, CreatesAMissingMenuDirectoryPrivately) {
  DesktopFixture f;
  const fs::path menu = f.temp / "xdg/applications";
  const fs::path destination = linux_menu_entry(f.data_root, "");
  EXPECT_EQ(destination.parent_path(), menu);
  create_native_shortcut(f.shortcut("Trelk"), destination);
  EXPECT_TRUE(fs::is_regular_file(destination));
  struct stat status {};
  ASSERT_EQ(::stat(menu.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  test::expect_valid_entry(destination);
}

}  // namespace
}  // namespace trelk
