#include "core/paths.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

// The Error a call throws; fails the test when it throws nothing.
template <typename F>
Error thrown(F&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "none");
}

void expect_path_error(std::string_view path, bool portable, const std::string& message) {
  Error error = thrown([&] { validate_relative_path(path, portable); });
  EXPECT_EQ(error.code, "unsafe_path") << path;
  EXPECT_EQ(std::string(error.what()), message) << path;
  EXPECT_TRUE(error.details.empty());
}

// Sets or clears an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Identifiers, AcceptsLowerCaseTokens) {
  EXPECT_NO_THROW(validate_identifier("a"));
  EXPECT_NO_THROW(validate_identifier("game-1.2"));
  EXPECT_NO_THROW(validate_identifier(std::string(80, 'x')));
  EXPECT_NO_THROW(validate_identifier("lpt0"));
  EXPECT_NO_THROW(validate_identifier("console"));
}

TEST(Identifiers, RefusesBadTokensAndNonPortableNames) {
  for (std::string id : {std::string(), std::string(81, 'x'), std::string("Game"), std::string("a_b"),
                         std::string("a/b"), std::string("."), std::string(".."), std::string("a b")}) {
    Error error = thrown([&] { validate_identifier(id); });
    EXPECT_EQ(error.code, "invalid_identity") << id;
    EXPECT_EQ(std::string(error.what()), "Game and build IDs use lower-case letters, digits, dots and hyphens");
  }
  // Well-formed tokens that still are no portable file name.
  EXPECT_EQ(thrown([] { validate_identifier("a."); }).code, "unsafe_path");
  EXPECT_EQ(std::string(thrown([] { validate_identifier("con"); }).what()), "Path uses a reserved platform name");
  EXPECT_EQ(thrown([] { validate_identifier("lpt9"); }).code, "unsafe_path");
  EXPECT_EQ(thrown([] { validate_identifier("com1.x"); }).code, "unsafe_path");
}

TEST(RelativePaths, StructuralRules) {
  EXPECT_NO_THROW(validate_relative_path("a/b", false));
  EXPECT_NO_THROW(validate_relative_path("a", true));
  EXPECT_NO_THROW(validate_relative_path(std::string(255, 'c') + "/" + std::string(255, 'd'), true));
  std::string longest = "aa";
  while (longest.size() < 4096) longest += "/a";
  ASSERT_EQ(longest.size(), 4096u);
  EXPECT_NO_THROW(validate_relative_path(longest, true));

  const std::string whole = "Path must be a safe relative path";
  const std::string component = "Path contains an unsafe component";
  expect_path_error("", false, whole);
  expect_path_error("/a", false, whole);
  expect_path_error("a\\b", false, whole);
  expect_path_error(std::string("a\0b", 3), false, whole);
  expect_path_error(longest + "a", false, whole);
  expect_path_error("a//b", false, component);
  expect_path_error("./a", false, component);
  expect_path_error("a/../b", false, component);
  expect_path_error("a/..", false, component);
  expect_path_error("a:b", false, component);
  expect_path_error(std::string(256, 'c'), false, component);
  expect_path_error("a/", false, "Trailing path separator is not allowed");
  // The first failed rule wins: the empty component comes before the trailing slash.
  expect_path_error("a//", false, component);
}

TEST(RelativePaths, PortableModeRefusesNamesOtherPlatformsReject) {
  const std::string not_portable = "Path is not portable across supported platforms";
  const std::string reserved = "Path uses a reserved platform name";
  for (std::string path : {"a.", "x?y", "CON", "d/t\tab", "trail ", "q\"", "p<", "p>", "p|", "s*"}) {
    EXPECT_NO_THROW(validate_relative_path(path, false)) << path;
    EXPECT_THROW(validate_relative_path(path, true), Error) << path;
  }
  expect_path_error("a.", true, not_portable);
  expect_path_error("dir/x?y", true, not_portable);
  expect_path_error("d/t\tab", true, not_portable);
  expect_path_error("CON", true, reserved);
  expect_path_error("aux.txt", true, reserved);
  expect_path_error("dir/Com3.log", true, reserved);
  expect_path_error("nul", true, reserved);
  expect_path_error("LpT1", true, reserved);
  for (std::string path : {"console", "com10", "com0", "lpt0.txt", "x.con", "auxiliary", "com"})
    EXPECT_NO_THROW(validate_relative_path(path, true)) << path;
  // Non-ASCII bytes are portable.
  EXPECT_NO_THROW(validate_relative_path("caf\xc3\xa9/\xe6\x97\xa5", true));
}

TEST(SafeJoin, RefusesSymbolicLinksAndNamesMissingFiles) {
  test::TempDir dir;
  const auto& base = dir.path();
  fs::create_directories(base / "real" / "inner");
  fs::create_directory_symlink(base / "real", base / "x");
  fs::create_symlink(base / "nowhere", base / "dangling");
  test::write_file(base / "file", "data");

  Error error = thrown([&] { safe_join(base, "x/y", false); });
  EXPECT_EQ(error.code, "unsafe_path");
  EXPECT_EQ(std::string(error.what()), "Managed path contains a symbolic link");
  // A link as the final component counts too, even when it points nowhere.
  EXPECT_EQ(thrown([&] { safe_join(base, "dangling", false); }).code, "unsafe_path");

  EXPECT_EQ(safe_join(base, "real/y", false), base / "real" / "y");
  EXPECT_EQ(safe_join(base, "real/inner", true), base / "real" / "inner");
  EXPECT_EQ(safe_join(base, "new/deeper/name", true), base / "new" / "deeper" / "name");
  // Below a regular file nothing can exist; that is still just a missing name.
  EXPECT_EQ(safe_join(base, "file/child", true), base / "file" / "child");
  // Validation runs before the file system is touched.
  EXPECT_EQ(std::string(thrown([&] { safe_join(base, "../x", false); }).what()), "Path contains an unsafe component");
  // The base itself is not examined, even when it is a link.
  EXPECT_EQ(safe_join(base / "x", "inner", false), base / "x" / "inner");
}

TEST(NativePaths, Utf8RoundTripAndNulBytes) {
  EXPECT_EQ(path_from_utf8(""), fs::path());
  const std::string text = "dir/caf\xc3\xa9 \xe6\x97\xa5.txt";
  EXPECT_EQ(path_from_utf8(text).native(), text);
  EXPECT_EQ(path_utf8(path_from_utf8(text)), text);
  EXPECT_EQ(native_length(text), text.size());
  Error error = thrown([] { path_from_utf8(std::string_view("a\0b", 3)); });
  EXPECT_EQ(error.code, "unsafe_path");
  EXPECT_EQ(std::string(error.what()), "Native path contains a NUL byte");
  EXPECT_THROW(native_length(std::string_view("\0", 1)), Error);
  EXPECT_NO_THROW(require_path_room("/base", std::string(5000, 'a'), 100));
  EXPECT_EQ(native_platform(), "linux-x86_64");
}

TEST(DataRoot, FollowsHomeAndXdgDataHome) {
  {
    ScopedEnv home("HOME", "/home/u");
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(user_data_root(), fs::path("/home/u/.local/share/trelk"));
  }
  {
    ScopedEnv home("HOME", "/home/u");
    ScopedEnv data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(user_data_root(), fs::path("/data/trelk"));
  }
  {
    ScopedEnv home("HOME", "/home/u");
    ScopedEnv data("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(user_data_root(), fs::path("/home/u/.local/share/trelk"));
  }
  for (const char* bad_home : {static_cast<const char*>(nullptr), "home/u", ""}) {
    ScopedEnv home("HOME", bad_home);
    ScopedEnv data("XDG_DATA_HOME", "/data");
    Error error = thrown([] { user_data_root(); });
    EXPECT_EQ(error.code, "user_path");
    EXPECT_EQ(std::string(error.what()), "HOME must identify an absolute user directory");
  }
}

}  // namespace
}  // namespace trelk
