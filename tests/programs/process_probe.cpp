// A child program for the process tests. Usage:
//   process_probe [--out FILE] COMMAND [ARG...]
// Lines go to FILE (appended, one open per line) or to standard output.
//   report [ARG...]            cwd, argv, environment and open descriptors
//   exit N                     exit with status N
//   sleep                      print "ready", then sleep until killed
//   ignore-term                ignore SIGTERM, print "ready", sleep until killed
//   group PIDFILE ignore|default
//                              start a grandchild that ignores SIGTERM, write its
//                              pid to PIDFILE, then sleep (ignoring SIGTERM or not)
//   interrupt                  attach the interrupt channel and wait: a request ends
//                              this program by SIGINT, a closed channel exits 3
//   attach VALUE read|write FD put a pipe end on FD, attach VALUE, print the outcome
//   replace plain|maintenance IMAGE DIR [ARG...]
//                              replace this image; print the error and cwd if that fails
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/error.hpp"
#include "process/arguments.hpp"
#include "process/interrupt.hpp"

extern char** environ;

namespace {

// No probe may outlive a broken test for long.
constexpr auto lifetime = std::chrono::seconds(120);

std::string out_file;

void emit(const std::string& line) {
  const std::string text = line + "\n";
  const int fd =
      out_file.empty() ? STDOUT_FILENO : ::open(out_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) std::_Exit(90);
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::_Exit(91);
  if (fd != STDOUT_FILENO) ::close(fd);
}

std::string link_target(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? std::string("?") : std::string(buffer, static_cast<std::size_t>(n));
}

void sleep_out_lifetime() {
  const auto end = std::chrono::steady_clock::now() + lifetime;
  while (std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

int report(int argc, char** argv) {
  // Descriptors first, before emit opens anything.
  std::vector<std::string> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 92;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::atoi(name.c_str()) == ::dirfd(dir)) continue;
    fds.push_back("fd " + name + " " + link_target("/proc/self/fd/" + name));
  }
  ::closedir(dir);
  emit("cwd " + std::filesystem::current_path().string());
  emit("argc " + std::to_string(argc));
  for (int i = 0; i < argc; ++i) emit("arg " + std::string(argv[i]));
  for (char** entry = environ; *entry != nullptr; ++entry) emit("env " + std::string(*entry));
  for (const auto& line : fds) emit(line);
  return 0;
}

int interrupt_mode() {
  try {
    trelk::ConsoleInterrupt console(true);
    emit(std::string("attached ") + (trelk::ConsoleInterrupt::parent_reader_attached() ? "1" : "0"));
    const auto end = std::chrono::steady_clock::now() + lifetime;
    while (std::chrono::steady_clock::now() < end) {
      if (console.requested()) {
        emit("requested");
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
        return 5;
      }
      if (!trelk::ConsoleInterrupt::parent_reader_attached()) {
        emit("detached");
        return 3;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 4;
  } catch (const trelk::Error& error) {
    emit("error " + error.code + " " + error.what());
    return 2;
  }
}

int attach_mode(const std::string& value, const std::string& kind, int target) {
  int ends[2];
  if (::pipe(ends) != 0) return 93;
  if (::dup2(kind == "read" ? ends[0] : ends[1], target) != target) return 94;
  ::setenv(trelk::launcher_interrupt_reader_environment, value.c_str(), 1);
  try {
    trelk::ConsoleInterrupt console(true);
    emit(std::string("attached ") + (trelk::ConsoleInterrupt::parent_reader_attached() ? "1" : "0"));
  } catch (const trelk::Error& error) {
    emit("error " + error.code + " " + error.what());
  }
  return 0;
}

int replace_mode(const std::string& form, int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  const std::map<std::string, std::string> environment{{"PROBE_ADDED", "added"}, {"PROBE_EMPTY", ""}};
  try {
    if (form == "maintenance") {
      trelk::replace_process(argv[0], arguments, argv[1], environment);
    } else {
      trelk::exec_process(argv[0], arguments, argv[1], environment);
    }
  } catch (const trelk::Error& error) {
    emit("error " + error.code + " " + error.what());
    emit("cwd " + std::filesystem::current_path().string());
  }
  return 0;
}

// The leader ignores SIGTERM, takes the default, or exits at once leaving the grandchild behind.
int group_mode(const std::string& pid_file, const std::string& leader) {
  const pid_t grandchild = ::fork();
  if (grandchild < 0) return 95;
  if (grandchild == 0) {
    ::signal(SIGTERM, SIG_IGN);
    sleep_out_lifetime();
    std::_Exit(0);
  }
  if (leader == "ignore") ::signal(SIGTERM, SIG_IGN);
  {
    std::ofstream file(pid_file);
    file << grandchild << "\n";
  }
  if (leader == "exit") return 0;
  emit("ready");
  sleep_out_lifetime();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int next = 1;
  if (argc > 2 && std::string(argv[1]) == "--out") {
    out_file = argv[2];
    next = 3;
  }
  if (next >= argc) return 64;
  const std::string command = argv[next];
  const int rest = argc - next - 1;
  char** args = argv + next + 1;
  if (command == "report") return report(argc, argv);
  if (command == "exit" && rest == 1) return std::atoi(args[0]);
  if (command == "sleep" || command == "ignore-term") {
    if (command == "ignore-term") ::signal(SIGTERM, SIG_IGN);
    emit("ready");
    sleep_out_lifetime();
    return 0;
  }
  if (command == "group" && rest == 2) return group_mode(args[0], args[1]);
  if (command == "interrupt") return interrupt_mode();
  if (command == "attach" && rest == 3) return attach_mode(args[0], args[1], std::atoi(args[2]));
  if (command == "replace" && rest >= 3) return replace_mode(args[0], rest - 1, args + 1);
  return 64;
}
