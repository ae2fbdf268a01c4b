// Stands in for an installed bootstrap image in self-update tests: like the real entry point it
// applies a pending update first (so a start check ends there with status 0); otherwise it exits
// with the status named by its first argument, or 7 when none is given.
#include <cstdlib>
#include <string>

#include "bootstrap/self_update.hpp"
#include "process/arguments.hpp"

int main(int argc, char** argv) {
  trelk::apply_pending_bootstrap_update(trelk::current_executable_path());
  return argc > 1 ? std::atoi(argv[1]) : 7;
}
