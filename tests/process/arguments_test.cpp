#include "process/arguments.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include "process/child.hpp"
#include "process/probe.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

using test::expect_error;
using test::lines_with;
using test::read_lines;
using test::TempDir;

std::vector<std::string> arguments_of(const std::vector<std::string>& texts) {
  std::vector<const char*> argv{"trelk-bootstrap"};
  for (const auto& text : texts) argv.push_back(text.c_str());
  return process_arguments(static_cast<int>(argv.size()), argv.data());
}

TEST(ProcessArguments, CountAndBytesAreBounded) {
  const std::vector<std::string> many(256, "x");
  EXPECT_EQ(arguments_of(many), many);
  expect_error([] { arguments_of(std::vector<std::string>(257, "x")); }, "argument_limit",
               "Too many native command arguments");

  const std::vector<std::string> one_big{std::string(131072, 'a')};
  EXPECT_EQ(arguments_of(one_big), one_big);
  expect_error([] { arguments_of({std::string(131073, 'a')}); }, "argument_limit",
               "Native process text exceeds its byte bound");
  expect_error(
      [] {
        arguments_of({"b", std::string(131072, 'a')});
      },
      "argument_limit", "Native process text exceeds its byte bound");
  expect_error(
      [] {
        arguments_of({std::string(131072, 'a'), "b"});
      },
      "argument_limit", "Native process text exceeds its byte bound");
  EXPECT_EQ(arguments_of({std::string(131072, 'a'), ""}).size(), 2u);  // an empty argument costs nothing
  EXPECT_EQ(arguments_of({"", "two words"}), (std::vector<std::string>{"", "two words"}));

  const char* argv[] = {"trelk-bootstrap", nullptr};
  expect_error([&] { process_arguments(0, argv); }, "argument_encoding", "Native command arguments are missing");
  expect_error([] { process_arguments(1, nullptr); }, "argument_encoding", "Native command arguments are missing");
  expect_error([&] { process_arguments(2, argv); }, "argument_limit", "Native process text is missing");
}

TEST(ProcessEnvironment, NameAndBoundAreCheckedBeforeReading) {
  test::ScopedEnv path("PATH", "/usr/bin:/bin");
  EXPECT_EQ(process_environment("PATH", 8192), "/usr/bin:/bin");
  test::ScopedEnv unset("PROBE_UNSET", nullptr);
  EXPECT_EQ(process_environment("PROBE_UNSET", 1), "");
  test::ScopedEnv empty("PROBE_EMPTY", "");
  EXPECT_EQ(process_environment("PROBE_EMPTY", 1), "");
  test::ScopedEnv sized("PROBE_SIZED", "12345");
  EXPECT_EQ(process_environment("PROBE_SIZED", 5), "12345");
  expect_error([] { process_environment("PROBE_SIZED", 4); }, "environment_limit",
               "Native process text exceeds its byte bound");

  EXPECT_EQ(process_environment(std::string(128, 'A'), 1), "");
  for (const std::string& name : std::vector<std::string>{"A-B", "", "A=B", "Ä", std::string(129, 'A')}) {
    expect_error([&] { process_environment(name, 8192); }, "environment_key", "Native environment key is invalid");
  }
  for (const std::size_t bound : {std::size_t{0}, std::size_t{131073}}) {
    expect_error([&] { process_environment("PATH", bound); }, "environment_limit",
                 "Native environment bound is invalid");
  }
}

TEST(ProcessImage, CurrentExecutableIsThisTestProgram) {
  const auto path = current_executable_path();
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path.filename(), "process_tests");
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

// Every check below must fire before execve; the image is not executable, so
// a check that let the call through would fail with the native error instead.
TEST(ProcessImage, ReplacementIsRefusedBeforeAnythingChanges) {
  TempDir dir;
  const auto image = dir / "image";
  test::write_file(image, "not a program");
  std::filesystem::create_symlink(image, dir / "linked");
  std::filesystem::create_directory(dir / "run");
  const auto before = std::filesystem::current_path();
  const std::map<std::string, std::string> none;

  for (const auto& [bad_image, bad_dir] : std::vector<std::pair<std::filesystem::path, std::filesystem::path>>{
           {dir / "linked", dir / "run"}, {"image", dir / "run"}, {image, "run"}, {image, image}}) {
    expect_error([&] { exec_process(bad_image, {}, bad_dir, none); }, "process_start",
                 "Replacement image or directory is unavailable");
  }
  expect_error([&] { exec_process(image, std::vector<std::string>(65, "x"), dir / "run", none); }, "argument_limit",
               "Too many replacement arguments");
  expect_error([&] { replace_process(image, {std::string(4097, 'a')}, dir / "run", none); }, "argument_limit",
               "Invalid maintenance argument");
  expect_error([&] { replace_process(image, {std::string("a\0b", 3)}, dir / "run", none); }, "argument_limit",
               "Invalid maintenance argument");
  std::vector<std::string> total(8, std::string(4096, 'a'));
  total.push_back("b");
  expect_error([&] { exec_process(image, total, dir / "run", none); }, "argument_limit",
               "Maintenance arguments exceed their bound");
  for (const auto& env :
       std::vector<std::map<std::string, std::string>>{{{"", "v"}}, {{"A=B", "v"}}, {{"A", std::string("v\0w", 3)}}}) {
    expect_error([&] { exec_process(image, {}, dir / "run", env); }, "argument_encoding",
                 "Invalid maintenance environment");
  }
  expect_error(
      [&] {
        replace_process(image, {}, dir / "run", {{launcher_interrupt_reader_environment, "1:3"}});
      },
      "process_control", "Maintenance cannot inherit launcher interrupt authority");
  EXPECT_EQ(std::filesystem::current_path(), before);

  expect_error(
      [&] {
        exec_process(image, {"a"}, dir / "run", {{"PROBE", "1"}});
      },
      "process_start", "Cannot replace this process (native error 13)");
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST(ProcessImage, ReplacementRunsTheImageWithTheGivenEnvironment) {
  test::ScopedEnv linker("LD_PROBE_VARIABLE", "1");
  test::ScopedEnv reader(launcher_interrupt_reader_environment, "1:99");
  test::ScopedEnv added("PROBE_ADDED", "parent");
  for (const std::string form : {"plain", "maintenance"}) {
    SCOPED_TRACE(form);
    TempDir dir;
    std::filesystem::create_directory(dir / "run");
    const auto out = dir / "out";
    const auto probe = test::probe_path();
    ChildProcess child(
        probe, {"replace", form, probe.string(), (dir / "run").string(), "--out", out.string(), "report", "a b"},
        dir.path(), {});
    EXPECT_EQ(child.wait(), 0);

    const auto lines = read_lines(out);
    EXPECT_EQ(lines_with(lines, "cwd "), std::vector<std::string>{std::filesystem::canonical(dir / "run").string()});
    EXPECT_EQ(lines_with(lines, "arg "),
              (std::vector<std::string>{probe.string(), "--out", out.string(), "report", "a b"}));
    const auto env = lines_with(lines, "env ");
    EXPECT_EQ(test::has_line(env, "LD_PROBE_VARIABLE=1"), form == "plain");
    EXPECT_TRUE(test::has_line(env, "PROBE_ADDED=added"));
    EXPECT_FALSE(test::has_line(env, "PROBE_ADDED=parent"));
    EXPECT_TRUE(test::has_line(env, "PROBE_EMPTY="));
    EXPECT_TRUE(lines_with(env, std::string(launcher_interrupt_reader_environment) + "=").empty());
  }
}

TEST(OpenDirectory, ChecksTheDirectoryAndDesktopThenWaitsForTheOpener) {
  TempDir dir;
  std::filesystem::create_directory(dir / "shown");
  std::filesystem::create_directory_symlink(dir / "shown", dir / "linked");
  std::filesystem::create_directory(dir / "bin");
  std::filesystem::create_directory(dir / "empty");
  std::filesystem::create_symlink(test::probe_path(), dir / "bin" / "xdg-open");
  const auto opened = dir / "opened";

  test::ScopedEnv display("DISPLAY", ":99");
  test::ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  test::ScopedEnv path("PATH", (dir / "bin").c_str());
  test::ScopedEnv record("PROBE_OPENED", opened.c_str());
  test::ScopedEnv status("PROBE_OPEN_STATUS", nullptr);

  for (const auto& bad : {dir / "linked", dir / "opened"}) {
    expect_error([&] { open_directory(bad); }, "location_unavailable", "Local directory is unavailable");
  }
  open_directory(dir / "shown");
  EXPECT_EQ(read_lines(opened), std::vector<std::string>{(dir / "shown").string()});

  {
    test::ScopedEnv failing("PROBE_OPEN_STATUS", "3");
    expect_error([&] { open_directory(dir / "shown"); }, "desktop_unavailable", "Native directory opening failed");
  }
  {
    test::ScopedEnv nowhere("PATH", (dir / "empty").c_str());
    expect_error([&] { open_directory(dir / "shown"); }, "desktop_unavailable",
                 "No native directory opener is available");
  }
  {
    test::ScopedEnv no_display("DISPLAY", nullptr);
    expect_error([&] { open_directory(dir / "shown"); }, "desktop_unavailable",
                 "No graphical desktop is available; use locations to inspect paths");
    test::ScopedEnv wayland_only("WAYLAND_DISPLAY", "wayland-0");
    open_directory(dir / "shown");
  }
  EXPECT_EQ(read_lines(opened).size(), 3u);
}

}  // namespace
}  // namespace trelk
