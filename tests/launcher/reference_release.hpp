#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/error.hpp"
#include "core/json.hpp"
#include "fixture_payload.hpp"
#include "launcher/store.hpp"

namespace trelk::test {

namespace fs = std::filesystem;

inline const std::string& reference_launcher_image() {
  static const std::string image = [] {
    std::ifstream in(TRELK_TOOLS_DIR "/trelk-launcher", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }();
  return image;
}

// A release of the reference launcher whose behaviour document makes it (mis)behave in one way.
inline LauncherPayload reference_payload(const std::string& build_id, const std::string& behaviour,
                                         std::int64_t hold_ms = 0) {
  LauncherPayload payload;
  payload.build_id = build_id;
  json identity = {{"schema_version", 1},
                   {"kind", "trelk-reference-launcher"},
                   {"build_id", build_id},
                   {"behaviour", behaviour},
                   {"hold_ms", hold_ms}};
  payload.files = {{"bin/trelk", reference_launcher_image(), true},
                   {"bin/trelk-gui", reference_launcher_image(), true},
                   {"launcher.json", identity.dump(), false}};
  payload.helpers = {};
  return payload;
}

inline json install_reference(const fs::path& root, const std::string& build_id, const std::string& behaviour,
                              std::int64_t hold_ms = 0) {
  return install_launcher_payload(root, reference_payload(build_id, behaviour, hold_ms));
}

// Records the working version and the candidate waiting for its first start.
inline void select_versions(const fs::path& root, const json& active, const json& candidate) {
  LauncherStore store(root);
  auto record = store.load();
  record["active"] = active;
  record["candidate"] = candidate;
  store.save(record);
}

// Polls until done() holds, for at most the given time; false when it never did.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct Captured {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end with extra environment entries and returns its status and both streams.
inline Captured run_captured(const fs::path& program, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment = {}) {
  auto out_file = fs::temp_directory_path() / ("trelk-out-" + std::to_string(::getpid()));
  auto err_file = fs::temp_directory_path() / ("trelk-err-" + std::to_string(::getpid()));
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!std::freopen(out_file.c_str(), "w", stdout) || !std::freopen(err_file.c_str(), "w", stderr)) ::_exit(127);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  Captured result;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  auto slurp = [](const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  };
  result.out = slurp(out_file);
  result.err = slurp(err_file);
  fs::remove(out_file);
  fs::remove(err_file);
  return result;
}

// Kills a process that is not our child (a launcher orphaned by its supervisor) when the test ends.
struct KillOnExit {
  pid_t pid = 0;
  ~KillOnExit() {
    if (pid > 0) ::kill(pid, SIGKILL);
  }
};

}  // namespace trelk::test
