// Bounded reads and durable atomic writes against plain references:
//   read_file of a 64 MiB file vs `cat file > /dev/null` (which streams through one small
//   buffer) and vs a plain read into one fresh buffer of the file's size (what read_file must do);
//   atomic_write of 1000 small documents vs a plain C loop of open/write/fsync/close/rename
//   (and the same loop with the directory fsync that durable publishing needs).
// Prints the best-of-N times and their ratios.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "bench_support.hpp"
#include "core/error.hpp"
#include "files/atomic.hpp"

extern char** environ;

namespace {

using namespace trelk::bench;

void cat_to_null(const fs::path& file) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string path = file.string();
  char* argv[] = {const_cast<char*>("cat"), path.data(), nullptr};
  pid_t child = -1;
  if (posix_spawnp(&child, "cat", &actions, nullptr, argv, environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
}

// The least any whole-file reader can do: one fresh buffer of the final size, filled by read.
void plain_read(const fs::path& file, std::size_t size) {
  char* buffer = static_cast<char*>(std::malloc(size));
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t got = read(fd, buffer + filled, std::min<std::size_t>(65536, size - filled));
    if (got <= 0) std::abort();
    filled += static_cast<std::size_t>(got);
  }
  close(fd);
  std::free(buffer);
}

void plain_write(const std::string& path, const std::string& data, int directory) {
  std::string temporary = path + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) || fsync(fd) != 0)
    std::abort();
  close(fd);
  if (rename(temporary.c_str(), path.c_str()) != 0) std::abort();
  if (directory >= 0 && fsync(directory) != 0) std::abort();
}

std::string document(int n) {
  return "{\"kind\":\"bench\",\"n\":" + std::to_string(n) + ",\"schema_version\":1,\"state\":\"" +
         std::string(200, 'x') + "\"}";
}

}  // namespace

int main(int argc, char** argv) {
  fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  std::string pattern = (base / "trelk-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = pattern;
  try {
    const auto big = dir / "big";
    {
      std::string block(1 << 20, 'b');
      int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      for (int i = 0; i < 64; ++i)
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::abort();
      close(fd);
    }
    const std::uint64_t size = 64u << 20;
    if (trelk::read_file(big, size).size() != size) std::abort();  // warm the page cache
    double read_time = best_seconds(15, [&] {
      if (trelk::read_file(big, size).size() != size) std::abort();
    });
    double cat_time = best_seconds(15, [&] { cat_to_null(big); });
    double buffer_time = best_seconds(15, [&] { plain_read(big, size); });
    std::printf("read_file 64 MiB:        %8.2f ms\n", read_time * 1e3);
    std::printf("  cat > /dev/null:                    %8.2f ms   ratio %.2f\n", cat_time * 1e3, read_time / cat_time);
    std::printf("  plain read into one fresh buffer:   %8.2f ms   ratio %.2f\n", buffer_time * 1e3,
                read_time / buffer_time);

    const int documents = 1000;
    fs::create_directories(dir / "atomic");
    fs::permissions(dir / "atomic", fs::perms::owner_all);
    fs::create_directories(dir / "plain");
    double atomic_time = best_seconds(3, [&] {
      for (int i = 0; i < documents; ++i)
        trelk::atomic_write(dir / "atomic" / ("doc-" + std::to_string(i % 10)), document(i));
    });
    std::string plain = (dir / "plain").string();
    double plain_time = best_seconds(3, [&] {
      for (int i = 0; i < documents; ++i) plain_write(plain + "/doc-" + std::to_string(i % 10), document(i), -1);
    });
    int directory = open(plain.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    double plain_dir_time = best_seconds(3, [&] {
      for (int i = 0; i < documents; ++i) plain_write(plain + "/doc-" + std::to_string(i % 10), document(i), directory);
    });
    close(directory);
    std::printf("atomic_write x%d:      %8.2f ms\n", documents, atomic_time * 1e3);
    std::printf("  plain write+fsync+rename:           %8.2f ms   ratio %.2f\n", plain_time * 1e3,
                atomic_time / plain_time);
    std::printf("  plain write+fsync+rename+dir fsync: %8.2f ms   ratio %.2f\n", plain_dir_time * 1e3,
                atomic_time / plain_dir_time);
  } catch (const trelk::Error& error) {
    std::fprintf(stderr, "bench_files: %s (%s)\n", error.what(), error.code.c_str());
    fs::remove_all(dir);
    return 1;
  }
  fs::remove_all(dir);
  return 0;
}
