#include "core/paths.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

using test::fails_with;

auto relative(std::string_view path, bool portable) {
  return [=] { validate_relative_path(path, portable); };
}

TEST(Identifiers, LowerCaseTokensThatArePortableNames) {
  for (std::string id : {std::string("a"), std::string("game-1.2"), std::string("lpt0"), std::string(80, 'x')})
    EXPECT_NO_THROW(validate_identifier(id)) << id;
  for (std::string id : {std::string(), std::string(81, 'x'), std::string("Game"), std::string("a_b"),
                         std::string("a/b"), std::string("."), std::string("..")})
    EXPECT_TRUE(fails_with([&] { validate_identifier(id); }, "invalid_identity",
                           "Game and build IDs use lower-case letters, digits, dots and hyphens"))
        << id;
  EXPECT_TRUE(fails_with([] { validate_identifier("a."); }, "unsafe_path"));
  EXPECT_TRUE(fails_with([] { validate_identifier("con"); }, "unsafe_path", "Path uses a reserved platform name"));
  EXPECT_TRUE(fails_with([] { validate_identifier("lpt9"); }, "unsafe_path"));
}

TEST(RelativePaths, StructuralRules) {
  std::string longest = "aa";
  while (longest.size() < 4096) longest += "/a";
  for (std::string path : {std::string("a/b"), longest, std::string(255, 'c') + "/d"})
    EXPECT_NO_THROW(validate_relative_path(path, true));

  for (std::string path :
       {std::string(), std::string("/a"), std::string("a\\b"), std::string("a\0b", 3), longest + "a"})
    EXPECT_TRUE(fails_with(relative(path, false), "unsafe_path", "Path must be a safe relative path")) << path;
  for (std::string path : {"a//b", "./a", "a/../b", "a/..", "a:b", "a//"})
    EXPECT_TRUE(fails_with(relative(path, false), "unsafe_path", "Path contains an unsafe component")) << path;
  EXPECT_TRUE(fails_with(relative(std::string(256, 'c'), false), "unsafe_path", "Path contains an unsafe component"));
  EXPECT_TRUE(fails_with(relative("a/", false), "unsafe_path", "Trailing path separator is not allowed"));
}

TEST(RelativePaths, PortableModeRefusesNamesOtherPlatformsReject) {
  for (std::string path : {"a.", "x?y", "d/t\tab", "trail ", "q\"", "p<", "p>", "p|", "s*"}) {
    EXPECT_NO_THROW(validate_relative_path(path, false)) << path;
    EXPECT_TRUE(fails_with(relative(path, true), "unsafe_path", "Path is not portable across supported platforms"))
        << path;
  }
  for (std::string path : {"CON", "aux.txt", "dir/Com3.log", "nul", "LpT1"}) {
    EXPECT_NO_THROW(validate_relative_path(path, false)) << path;
    EXPECT_TRUE(fails_with(relative(path, true), "unsafe_path", "Path uses a reserved platform name")) << path;
  }
  for (std::string path : {"console", "com10", "com0", "lpt0.txt", "x.con", "com", "caf\xc3\xa9/\xe6\x97\xa5"})
    EXPECT_NO_THROW(validate_relative_path(path, true)) << path;
}

TEST(SafeJoin, RefusesSymbolicLinksAndNamesMissingFiles) {
  test::TempDir dir;
  const auto& base = dir.path();
  fs::create_directories(base / "real" / "inner");
  fs::create_directory_symlink(base / "real", base / "x");
  fs::create_symlink(base / "nowhere", base / "dangling");
  test::write_file(base / "file", "data");

  EXPECT_TRUE(
      fails_with([&] { safe_join(base, "x/y", false); }, "unsafe_path", "Managed path contains a symbolic link"));
  EXPECT_TRUE(fails_with([&] { safe_join(base, "dangling", false); }, "unsafe_path"));
  EXPECT_TRUE(fails_with([&] { safe_join(base, "../x", false); }, "unsafe_path", "Path contains an unsafe component"));

  EXPECT_EQ(safe_join(base, "real/y", false), base / "real" / "y");
  EXPECT_EQ(safe_join(base, "new/deeper/name", true), base / "new" / "deeper" / "name");
  // Nothing can exist below a regular file; that is still just a missing name.
  EXPECT_EQ(safe_join(base, "file/child", true), base / "file" / "child");
  // The base itself is the caller's to check.
  EXPECT_EQ(safe_join(base / "x", "inner", false), base / "x" / "inner");
}

TEST(NativePaths, Utf8RoundTripAndNulBytes) {
  EXPECT_EQ(path_from_utf8(""), fs::path());
  const std::string text = "dir/caf\xc3\xa9 \xe6\x97\xa5.txt";
  EXPECT_EQ(path_utf8(path_from_utf8(text)), text);
  EXPECT_EQ(native_length(text), text.size());
  EXPECT_TRUE(fails_with([] { path_from_utf8(std::string_view("a\0b", 3)); }, "unsafe_path",
                         "Native path contains a NUL byte"));
  EXPECT_TRUE(fails_with([] { native_length(std::string_view("\0", 1)); }, "unsafe_path"));
  EXPECT_EQ(native_platform(), "linux-x86_64");
}

TEST(DataRoot, FollowsHomeAndXdgDataHome) {
  // Runs in its own process under ctest, but restore the caller's values anyway.
  const char* home = std::getenv("HOME");
  const char* data = std::getenv("XDG_DATA_HOME");
  const std::string saved_home = home ? home : "", saved_data = data ? data : "";
  auto set = [](const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); };

  set("HOME", "/home/u");
  set("XDG_DATA_HOME", nullptr);
  EXPECT_EQ(user_data_root(), fs::path("/home/u/.local/share/trelk"));
  set("XDG_DATA_HOME", "/data");
  EXPECT_EQ(user_data_root(), fs::path("/data/trelk"));
  set("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(user_data_root(), fs::path("/home/u/.local/share/trelk"));
  set("XDG_DATA_HOME", "/data");
  for (const char* bad : {static_cast<const char*>(nullptr), "home/u", ""}) {
    set("HOME", bad);
    EXPECT_TRUE(fails_with([] { user_data_root(); }, "user_path", "HOME must identify an absolute user directory"));
  }

  set("HOME", home ? saved_home.c_str() : nullptr);
  set("XDG_DATA_HOME", data ? saved_data.c_str() : nullptr);
}

}  // namespace
}  // namespace trelk
