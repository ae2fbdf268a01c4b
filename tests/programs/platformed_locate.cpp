// Locates a game from wherever this program was copied to, so the platform
// file beside it is the one read: prints the located program, its directory
// and build, or the error code and message.
#include <cstdio>

#include "core/error.hpp"
#include "games/installed.hpp"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  try {
    const trelk::InstalledGame game = trelk::locate_installed_game(argv[1], argv[2]);
    std::printf("%s\n%s\n%s\n", game.executable.c_str(), game.directory.c_str(), game.build.c_str());
    return 0;
  } catch (const trelk::Error& error) {
    std::printf("%s: %s\n", error.code.c_str(), error.what());
    return 3;
  }
}
