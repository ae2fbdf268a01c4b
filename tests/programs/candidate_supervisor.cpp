// Starts the waiting launcher candidate of a store the way the bootstrap does and then only waits for it, so that
// tests can kill a supervisor in the middle of a first start. Usage: candidate_supervisor DATA_ROOT
#include <iostream>
#include <memory>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/locks.hpp"
#include "launcher/store.hpp"
#include "process/child.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  try {
    const auto root = trelk::path_from_utf8(argv[1]);
    trelk::LauncherStore store(root);
    auto owner = store.owner();
    store.recover_attempt();
    auto attempt = store.begin_candidate();
    if (attempt.is_null()) return 3;
    const auto& reference = attempt["reference"];
    auto manifest = store.manifest(reference);
    auto payload = store.payload(reference);
    auto guard = store.version_guard(reference, trelk::LockMode::shared);
    trelk::FileLock lease(store.startup_lease_path(attempt), false, trelk::LockMode::shared);
    trelk::ChildProcess child(
        trelk::safe_join(payload, manifest.snapshot.executable, true), {"--data-dir", trelk::path_utf8(store.root())},
        payload, store.health_environment(attempt, "cli"), trelk::ChildStreams::Console,
        trelk::ChildEnvironment::Inherit, {}, trelk::ChildGroup::Isolated, trelk::ChildControl::Interrupt);
    return child.wait();
  } catch (const trelk::Error& error) {
    std::cerr << "candidate_supervisor: " << error.code << ": " << error.what() << '\n';
    return 1;
  }
}
