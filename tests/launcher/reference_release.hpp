#pragma once
// Releases of the reference launcher in a real store, and the bootstrap's side of their first start.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/locks.hpp"
#include "fixture_payload.hpp"
#include "launcher/store.hpp"
#include "process/child.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

// Installs a release whose behaviour document makes the reference launcher (mis)behave in one way.
inline json install_reference(const std::filesystem::path& root, const std::string& build_id,
                              const std::string& behaviour, std::int64_t hold_ms = 0) {
  static const std::string image = read_file(TRELK_TOOLS_DIR "/trelk-launcher");
  json identity = {{"schema_version", 1},
                   {"kind", "trelk-reference-launcher"},
                   {"build_id", build_id},
                   {"behaviour", behaviour},
                   {"hold_ms", hold_ms}};
  LauncherPayload payload;
  payload.build_id = build_id;
  payload.files = {{"bin/trelk", image, true}, {"bin/trelk-gui", image, true}, {"launcher.json", identity.dump()}};
  payload.helpers = {};
  return install_launcher_payload(root, payload);
}

// Records the working version and the candidate waiting for its first start.
inline void select_versions(const std::filesystem::path& root, const json& active, const json& candidate) {
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

// How a supervised first start ended: confirmed, or the Error that made the supervisor reject it.
struct StartOutcome {
  bool confirmed = false;
  std::string error;
  json attempt;
  std::unique_ptr<ChildProcess> child;
};

// The start driver's protocol for a console launcher: the candidate runs under its attempt and version leases
// and is confirmed when its health arrives while it holds the attempt lease itself, otherwise rejected.
inline StartOutcome supervise_candidate(const std::filesystem::path& root, std::chrono::milliseconds limit) {
  using clock = std::chrono::steady_clock;
  LauncherStore store(root);
  auto owner = store.owner();
  store.recover_attempt();
  StartOutcome outcome;
  outcome.attempt = store.begin_candidate();
  if (outcome.attempt.is_null()) return outcome;
  const json reference = outcome.attempt["reference"];
  try {
    auto manifest = store.manifest(reference);
    auto payload = store.payload(reference);
    auto guard = store.version_guard(reference, LockMode::shared);
    auto lease = std::make_unique<FileLock>(store.startup_lease_path(outcome.attempt), false, LockMode::shared);
    outcome.child = std::make_unique<ChildProcess>(
        safe_join(payload, manifest.snapshot.executable, true), std::vector<std::string>{"--data-dir", path_utf8(root)},
        payload, store.health_environment(outcome.attempt, "cli"), ChildStreams::Console, ChildEnvironment::Inherit,
        ChildProcess::StartedCallback{}, ChildGroup::Isolated, ChildControl::Interrupt);
    auto deadline = clock::now() + limit;
    auto health_file = store.health_path(outcome.attempt);
    while (!std::filesystem::exists(std::filesystem::symlink_status(health_file))) {
      require(!outcome.child->poll(), "launcher_startup_failed", "Launcher candidate exited before initialization");
      require(clock::now() < deadline, "launcher_startup_timeout", "Launcher candidate did not confirm initialization");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto health = parse_json(trelk::read_file(health_file, 4096), 4096);
    lease.reset();
    try {
      // Getting the attempt lease while the launcher still runs means it never took it over.
      FileLock probe(store.startup_lease_path(outcome.attempt), false, LockMode::exclusive);
      auto end = std::min(clock::now() + std::chrono::milliseconds(100), deadline);
      while (!outcome.child->poll() && clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      require(outcome.child->poll().has_value(), "launcher_lease",
              "The running launcher did not retain native startup ownership");
    } catch (const Error& error) {
      if (error.code != "busy") throw;
    }
    store.confirm_candidate(outcome.attempt, health, static_cast<std::uint64_t>(outcome.child->process_id()), "cli");
    outcome.confirmed = true;
  } catch (const Error& error) {
    outcome.error = error.code;
    bool ended = !outcome.child || outcome.child->terminate(std::chrono::milliseconds(250));
    store.reject_candidate(outcome.attempt, ended ? "startup_failed" : "startup_unconfirmed");
  }
  return outcome;
}

}  // namespace trelk::test
