// dialog_session SCREENSHOT.ppm TITLE MESSAGE: shows the plain error dialog on a virtual X server
// (itself rerun under xvfb-run with --on-display) and proves a window appeared. Exits 0 when the
// screen was blank before and not while the dialog ran; 3: not blank before; 4: the dialog ended
// or was not shown; 5: no window in time; 6: no screenshot in time; 2: usage; 7, 8: xvfb-run
// failed. Every process it started, the X server included, is reaped before it exits.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "bootstrap/problem_report.hpp"

extern char** environ;

namespace {

// Captures the root window as binary PPM; true when the file was written.
bool screenshot(const std::string& file) {
  std::string target = "ppm:" + file;
  const char* arguments[] = {"import", "-window", "root", "-depth", "8", target.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "import", nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// -1 unreadable, 1 a single colour, 0 more than one colour.
int uniform(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string magic;
  int width = 0, height = 0, maximum = 0;
  in >> magic >> width >> height >> maximum;
  in.get();
  if (!in || magic != "P6" || width <= 0 || height <= 0 || maximum != 255) return -1;
  std::string pixels((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (pixels.size() < static_cast<std::size_t>(width) * height * 3) return -1;
  for (std::size_t i = 3; i + 2 < pixels.size(); i += 3) {
    if (pixels.compare(i, 3, pixels, 0, 3) != 0) return 0;
  }
  return 1;
}

// Ends the dialog's process group and reaps every descendant reparented to us.
void end_dialog(pid_t group) {
  kill(-group, SIGKILL);
  while (true) {
    pid_t reaped = waitpid(-1, nullptr, 0);
    if (reaped < 0 && errno != EINTR) break;
  }
}

int run_session(char** argv) {
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const char* arguments[] = {"xvfb-run",   "-a",           "-s",    "-screen 0 640x480x24 -br",
                             self.c_str(), "--on-display", argv[1], argv[2],
                             argv[3],      nullptr};
  pid_t session = 0;
  if (posix_spawnp(&session, "xvfb-run", nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) return 7;
  int status = 0;
  while (waitpid(session, &status, 0) < 0 && errno == EINTR) {
  }
  // xvfb-run has stopped its server; the orphaned server is ours to reap.
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 8;
}

}  // namespace

int main(int argc, char** argv) {
  // Become the reaper of orphaned descendants so that none can outlive us.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (argc == 4) return run_session(argv);
  if (argc != 5 || std::string(argv[1]) != "--on-display") return 2;
  ++argv;
  const std::string file = argv[1];
  // A loaded machine may be slow to bring up the server, the dialog or a screenshot: every step
  // is retried until one generous deadline, and only its outcome counts.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
  int before = -1;
  while ((before = screenshot(file) ? uniform(file) : -1) < 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (before < 0) return 6;
  if (before != 1) return 3;

  pid_t dialog = fork();
  if (dialog < 0) return 4;
  if (dialog == 0) {
    setpgid(0, 0);
    _exit(trelk::show_plain_error(argv[2], argv[3]) ? 0 : 10);
  }
  setpgid(dialog, dialog);

  int result = 6;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(dialog, nullptr, WNOHANG) == dialog) {
      result = 4;
      break;
    }
    const int shown = screenshot(file) ? uniform(file) : -1;
    if (shown == 0) {
      result = 0;
      break;
    }
    if (shown == 1) result = 5;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  end_dialog(dialog);
  return result;
}
