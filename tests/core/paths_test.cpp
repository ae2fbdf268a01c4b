#include "core/paths.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/errors.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

using test::fails_with;

TEST(Paths, IdentifiersAndRelativePathRules) {
  EXPECT_NO_THROW(validate_identifier(std::string(80, 'x')));
  for (std::string id : {std::string(81, 'x'), std::string("Game"), std::string("a/b"), std::string("..")})
    EXPECT_TRUE(fails_with([&] { validate_identifier(id); }, "invalid_identity",
                           "Game and build IDs use lower-case letters, digits, dots and hyphens"))
        << id;
  EXPECT_TRELK_ERROR(validate_identifier("con"), "unsafe_path", "Path uses a reserved platform name");

  std::string longest = "aa";
  while (longest.size() < 4096) longest += "/a";
  EXPECT_NO_THROW(validate_relative_path(longest, true));
  auto refused = [](const std::string& path, bool portable, const char* message) {
    return fails_with([&] { validate_relative_path(path, portable); }, "unsafe_path", message);
  };
  for (const std::string& path : {longest + "a", std::string("/a"), std::string("a\0b", 3)})
    EXPECT_TRUE(refused(path, false, "Path must be a safe relative path")) << path.size();
  for (std::string path : {std::string("a//b"), std::string("a/../b"), std::string(256, 'c')})
    EXPECT_TRUE(refused(path, false, "Path contains an unsafe component")) << path;
  EXPECT_TRUE(refused("a/", false, "Trailing path separator is not allowed"));
  // Names other platforms reject pass only in native mode.
  for (const char* path : {"dir/Com3.log", "x?y"}) EXPECT_NO_THROW(validate_relative_path(path, false));
  EXPECT_TRUE(refused("dir/Com3.log", true, "Path uses a reserved platform name"));
  EXPECT_TRUE(refused("x?y", true, "Path is not portable across supported platforms"));
  EXPECT_NO_THROW(validate_relative_path("com10/caf\xc3\xa9", true));
}

TEST(Paths, SafeJoinRefusesSymbolicLinks) {
  test::TempDir dir;
  const auto& base = dir.path();
  fs::create_directories(base / "real");
  fs::create_directory_symlink(base / "real", base / "x");
  fs::create_symlink(base / "nowhere", base / "dangling");
  EXPECT_TRELK_ERROR(safe_join(base, "x/y", false), "unsafe_path", "Managed path contains a symbolic link");
  EXPECT_TRELK_ERROR(safe_join(base, "dangling", false), "unsafe_path", "");
  EXPECT_EQ(safe_join(base, "real/y", false), base / "real" / "y");
  EXPECT_EQ(safe_join(base, "new/deeper", true), base / "new" / "deeper");
}

TEST(Paths, DataRootFollowsHomeAndAbsoluteXdgDataHome) {
  test::ScopedEnv environment{"HOME", "/home/u"};
  environment.set("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(user_data_root(), fs::path("/home/u/.local/share/trelk"));
  environment.set("XDG_DATA_HOME", "/data");
  EXPECT_EQ(user_data_root(), fs::path("/data/trelk"));
  environment.set("HOME", "home/u");
  EXPECT_TRELK_ERROR(user_data_root(), "user_path", "HOME must identify an absolute user directory");
}

}  // namespace
}  // namespace trelk
