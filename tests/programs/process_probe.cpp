// A child program for the process tests. Usage:
//   process_probe --out FILE COMMAND [ARG...]
// Lines go to FILE, appended, one open per line.
//   report [ARG...]            cwd, argv, environment and open descriptors
//   hold ignore|default|exit [PIDFILE]
//                              with PIDFILE, start a grandchild that ignores SIGTERM and write its pid there;
//                              then exit at once, or print "ready" and sleep ignoring SIGTERM or not
//   replace plain|maintenance IMAGE DIR [ARG...]
//                              replace this image
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "process/arguments.hpp"

extern char** environ;

namespace {

// No probe may outlive a broken test for long.
constexpr auto lifetime = std::chrono::seconds(120);

std::string out_file;

void emit(const std::string& line) {
  const std::string text = line + "\n";
  const int fd = ::open(out_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::_Exit(90);
  ::close(fd);
}

int report(int argc, char** argv) {
  // Descriptors first, before emit opens anything.
  std::vector<std::string> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 92;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::atoi(name.c_str()) == ::dirfd(dir)) continue;
    fds.push_back("fd " + name + " " + std::filesystem::read_symlink("/proc/self/fd/" + name).string());
  }
  ::closedir(dir);
  emit("cwd " + std::filesystem::current_path().string());
  for (int i = 0; i < argc; ++i) emit("arg " + std::string(argv[i]));
  for (char** entry = environ; *entry != nullptr; ++entry) emit("env " + std::string(*entry));
  for (const auto& line : fds) emit(line);
  return 0;
}

int replace(const std::string& form, int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  const std::map<std::string, std::string> environment{{"PROBE_OVERRIDE", "replaced"}, {"PROBE_EMPTY", ""}};
  // Returns only by an exception, which ends this program abnormally.
  if (form == "maintenance") trelk::replace_process(argv[0], arguments, argv[1], environment);
  trelk::exec_process(argv[0], arguments, argv[1], environment);
}

int hold(const std::string& leader, const char* pid_file) {
  if (pid_file != nullptr) {
    const pid_t grandchild = ::fork();
    if (grandchild < 0) return 95;
    if (grandchild == 0) {
      ::signal(SIGTERM, SIG_IGN);
      std::this_thread::sleep_for(lifetime);
      std::_Exit(0);
    }
    std::ofstream(pid_file) << grandchild << "\n";
  }
  if (leader == "exit") return 0;
  if (leader == "ignore") ::signal(SIGTERM, SIG_IGN);
  emit("ready");
  std::this_thread::sleep_for(lifetime);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::string(argv[1]) != "--out") return 64;
  out_file = argv[2];
  const std::string command = argv[3];
  const int rest = argc - 4;
  char** args = argv + 4;
  if (command == "report") return report(argc, argv);
  if (command == "hold" && (rest == 1 || rest == 2)) return hold(args[0], rest == 2 ? args[1] : nullptr);
  if (command == "replace" && rest >= 3) return replace(args[0], rest - 1, args + 1);
  return 64;
}
