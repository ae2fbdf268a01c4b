// A bootstrap build whose start check fails (exit status 1): every other start runs the real entry point,
// which applies or undoes a pending update first, as any build does. Stands in for a new image that a start
// check rejects, in tests where a killed start left that image at the entry point.
#include <cstdlib>

#define main trelk_bootstrap_main
#include "../../apps/trelk-bootstrap/main.cpp"
#undef main

int main(int argc, char** argv) {
  if (const char* check = std::getenv("TRELK_BOOTSTRAP_START_CHECK"); check != nullptr && *check != '\0') return 1;
  return trelk_bootstrap_main(argc, argv);
}
