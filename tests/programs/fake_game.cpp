// Stands in for an installed game: records where and how it was started in
// "game-ran.txt" in its working directory, then exits with status 42.
#include <unistd.h>

#include <climits>
#include <cstdio>

int main(int argc, char**) {
  char directory[PATH_MAX];
  if (!getcwd(directory, sizeof directory)) return 1;
  FILE* out = std::fopen("game-ran.txt.tmp", "w");
  if (!out) return 1;
  std::fprintf(out, "%s\n%d\n", directory, argc);
  if (std::fclose(out) != 0) return 1;
  // Published by rename so a watcher never sees a partial file.
  if (std::rename("game-ran.txt.tmp", "game-ran.txt") != 0) return 1;
  return 42;
}
