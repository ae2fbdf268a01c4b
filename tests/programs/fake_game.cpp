// Stands in for an installed game: records where and how it was started in
// "game-ran.txt" in its working directory, then exits with status 42.
#include <filesystem>
#include <fstream>

int main(int argc, char**) {
  std::ofstream("game-ran.txt.tmp") << std::filesystem::current_path().string() << "\n" << argc << "\n";
  // Published by rename so a watcher never sees a partial file.
  std::filesystem::rename("game-ran.txt.tmp", "game-ran.txt");
  return 42;
}
