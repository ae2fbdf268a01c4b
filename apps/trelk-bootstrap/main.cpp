#include <cstdio>

#include "core/error.hpp"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::fputs("trelk: the bootstrap is not assembled yet\n", stderr);
  return 1;
}
