#include "process/arguments.hpp"

#include <gtest/gtest.h>

#include "process/interrupt.hpp"
#include "support/errors.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

std::vector<std::string> arguments_of(const std::vector<std::string>& texts) {
  std::vector<const char*> argv{"trelk-bootstrap"};
  for (const auto& text : texts) argv.push_back(text.c_str());
  return process_arguments(static_cast<int>(argv.size()), argv.data());
}

TEST(ProcessArguments, CountBytesEnvironmentAndReplacementsAreBoundedBeforeAnythingChanges) {
  const std::vector<std::string> many(256, "x");
  EXPECT_EQ(arguments_of(many), many);
  EXPECT_TRELK_ERROR(arguments_of(std::vector<std::string>(257, "x")), "argument_limit",
                     "Too many native command arguments");
  const std::vector<std::string> one_big{std::string(131072, 'a'), ""};  // an empty argument costs nothing
  EXPECT_EQ(arguments_of(one_big), one_big);
  EXPECT_TRELK_ERROR(arguments_of({std::string(131072, 'a'), "b"}), "argument_limit",
                     "Native process text exceeds its byte bound");

  ScopedEnv sized("PROBE_SIZED", "12345");
  EXPECT_EQ(process_environment("PROBE_SIZED", 5), "12345");
  EXPECT_TRELK_ERROR(process_environment("PROBE_SIZED", 4), "environment_limit",
                     "Native process text exceeds its byte bound");
  EXPECT_EQ(process_environment(std::string(128, 'A'), 1), "");
  EXPECT_TRELK_ERROR(process_environment(std::string(129, 'A'), 8192), "environment_key",
                     "Native environment key is invalid");

  // Replacing the image: every check must fire before execve; the image is not executable, so a check that let
  // the call through would fail with the native error instead.
  TempDir dir;
  const auto image = dir / "image";
  test::write_file(image, "not a program");
  fs::create_symlink(image, dir / "linked");
  fs::create_directory(dir / "run");
  const auto before = fs::current_path();
  const std::map<std::string, std::string> none;
  EXPECT_TRELK_ERROR(exec_process(dir / "linked", {}, dir / "run", none), "process_start",
                     "Replacement image or directory is unavailable");
  EXPECT_TRELK_ERROR(exec_process(image, std::vector<std::string>(65, "x"), dir / "run", none), "argument_limit",
                     "Too many replacement arguments");
  EXPECT_TRELK_ERROR(replace_process(image, {}, dir / "run", {{launcher_interrupt_reader_environment, "1:3"}}),
                     "process_control", "Maintenance cannot inherit launcher interrupt authority");
  EXPECT_EQ(fs::current_path(), before);
  EXPECT_TRELK_ERROR(exec_process(image, {"a"}, dir / "run", {{"PROBE", "1"}}), "process_start",
                     "Cannot replace this process (native error 13)");
  EXPECT_EQ(fs::current_path(), before);
}

}  // namespace
}  // namespace trelk
