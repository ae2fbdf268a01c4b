#pragma once
// Helpers for tests that run the installed programs the way a user or an installer does.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "support/installation.hpp"
#include "support/kill_points.hpp"
#include "support/run_program.hpp"

namespace trelk::test {

// A console command that only the launcher answers, so a success proves the launcher ran.
inline const std::vector<std::string> self_status = {"--cli", "--", "self", "status"};

inline Command bootstrap_command(const Installation& installation) {
  return {installation.bootstrap(), self_status, installation.variables()};
}

inline Outcome start_bootstrap(const Installation& installation) {
  return run_program(installation.bootstrap(), self_status, installation.variables());
}

// The reference launcher of the build's package answered `self status` from the console interface.
inline ::testing::AssertionResult launcher_answered(const Outcome& outcome) {
  if (outcome.status != 0)
    return ::testing::AssertionFailure() << "status " << outcome.status << "\n" << outcome.out << outcome.err;
  try {
    const json status = parse_json(outcome.out, 1 << 20);
    if (status.at("kind") == "self-status" && status.at("running").at("interface") == "cli" &&
        status.at("running").at("build_id") == parse_json(read_file(Installation::release()), 1 << 20).at("build_id"))
      return ::testing::AssertionSuccess();
  } catch (const std::exception&) {
  }
  return ::testing::AssertionFailure() << "not the launcher's answer: " << outcome.out << outcome.err;
}

// Files below root, relative path to bytes; directories are implied by their files.
inline std::map<std::string, std::string> tree(const std::filesystem::path& root) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error))
    if (!entry.is_directory()) files[std::filesystem::relative(entry.path(), root).string()] = read_file(entry.path());
  return files;
}

// Every entry below root, directories marked with a trailing slash, for failure messages.
inline std::string listing(const std::filesystem::path& root) {
  std::string text;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error))
    text += " " + std::filesystem::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : "");
  return text;
}

}  // namespace trelk::test
