#include "process/child.hpp"

#include "process/arguments.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "core/error.hpp"
#include "files/descriptor.hpp"

extern char** environ;

namespace trelk {
namespace {

constexpr std::size_t max_inherited_handles = 8;
constexpr std::size_t max_child_arguments = 64;
constexpr std::size_t max_child_argument = 4096;
constexpr std::size_t max_child_arguments_total = 32768;
constexpr auto poll_interval = std::chrono::milliseconds(5);
constexpr auto max_grace = std::chrono::milliseconds(2000);
constexpr auto kill_reap_window = std::chrono::milliseconds(500);

bool own_entry_is(const std::filesystem::path& path, mode_t type) {
  struct stat st {};
  return path.is_absolute() && ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

void sleep_interval() {
  timespec remaining{0, std::chrono::nanoseconds(poll_interval).count()};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

bool set_cloexec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

pid_t reap(pid_t pid) {
  int status = 0;
  pid_t result = -1;
  do {
    result = ::waitpid(pid, &status, 0);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Only async-signal-safe calls from here on: the parent may have other threads.
[[noreturn]] void report_and_exit(int start_fd) {
  const int error = errno;
  ssize_t written = -1;
  do {
    written = ::write(start_fd, &error, sizeof error);
  } while (written < 0 && errno == EINTR);
  ::_exit(127);
}

// The descriptor itself when it is above 2, else a close-on-exec duplicate above 2 (the original is
// closed); -1 stays -1.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

[[noreturn]] void run_child(int start_fd, int activation_fd, int null_fd, InterruptPipe* interrupt, bool isolated,
                            bool join_output, const char* directory, const char* executable, char* const* argv,
                            char* const* envp) {
  // Anything the parent opened without close-on-exec stays behind; only the
  // standard streams and the interrupt reader may cross execve.
  (void)::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  if (interrupt != nullptr && !interrupt->prepare_child()) report_and_exit(start_fd);
  if (isolated && ::setpgid(0, 0) != 0) report_and_exit(start_fd);

  unsigned char byte = 0;
  ssize_t got = -1;
  do {
    got = ::read(activation_fd, &byte, 1);
  } while (got < 0 && errno == EINTR);
  ::close(activation_fd);
  if (got != 1 || byte != 1) ::_exit(127);

  if (::chdir(directory) != 0) report_and_exit(start_fd);
  if (::dup2(null_fd, STDIN_FILENO) < 0) report_and_exit(start_fd);
  if (join_output && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) report_and_exit(start_fd);
  ::close(null_fd);
  ::execve(executable, argv, envp);
  report_and_exit(start_fd);
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                           const std::filesystem::path& working_directory,
                           const std::map<std::string, std::string>& environment, ChildStreams streams,
                           ChildEnvironment inheritance, const StartedCallback& started, ChildGroup group,
                           ChildControl control, const std::vector<std::int64_t>& inherited_handles) {
  require(inherited_handles.size() <= max_inherited_handles, "launch_handles", "Too many private native child handles");
  require(inherited_handles.empty(), "launch_handles", "Native handle inheritance is Windows-only");
  require(own_entry_is(executable, S_IFREG), "launch_executable", "The installed game executable is missing or linked");
  require(own_entry_is(working_directory, S_IFDIR), "launch_directory", "Game working directory is missing or linked");
  require(arguments.size() <= max_child_arguments, "argument_limit", "Too many launch arguments");
  std::size_t total = 0;
  for (const auto& argument : arguments) {
    require(argument.size() <= max_child_argument && argument.find('\0') == std::string::npos, "argument_limit",
            "Launch argument is invalid or too long");
    total += argument.size();
  }
  require(total <= max_child_arguments_total, "argument_limit", "Launch arguments exceed the total bound");
  for (const auto& [name, value] : environment) {
    require(!name.empty() && name.find('\0') == std::string::npos && name.find('=') == std::string::npos &&
                value.find('\0') == std::string::npos,
            "argument_encoding", "Process environment entry is invalid");
  }
  require(!environment.contains(launcher_interrupt_reader_environment), "process_control",
          "Launcher interrupt authority cannot be supplied as an environment override");
  if (control == ChildControl::Interrupt) {
    require(group == ChildGroup::Isolated && streams == ChildStreams::Console, "process_control",
            "Only an isolated console launcher child receives interrupt control");
    interrupt_ = std::make_unique<InterruptPipe>();
  }
  isolated_ = group == ChildGroup::Isolated;

  // Everything the child needs is built now: after fork it may only make system calls.
  std::vector<std::string> environment_text =
      inherited_environment(environment, inheritance == ChildEnvironment::Sanitized);
  for (const auto& [name, value] : environment) environment_text.push_back(name + "=" + value);
  if (interrupt_) {
    environment_text.push_back(std::string(launcher_interrupt_reader_environment) + "=" +
                               interrupt_->child_environment());
  }
  std::vector<std::string> argument_text{executable.string()};
  argument_text.insert(argument_text.end(), arguments.begin(), arguments.end());
  auto argv = exec_vector(argument_text);
  auto envp = exec_vector(environment_text);
  const std::string executable_text = executable.string();
  const std::string directory_text = working_directory.string();

  // With a standard stream closed in the parent, a new descriptor could land on 0-2 and be
  // overwritten by the child's dup2 calls; every channel is kept above them.
  int start_ends[2];
  require(::pipe(start_ends) == 0, "process_start", "Cannot allocate process-start channel");
  Descriptor start_read(above_standard_streams(start_ends[0]));
  Descriptor start_write(above_standard_streams(start_ends[1]));
  require(start_read.valid() && start_write.valid() && set_cloexec(start_read.get()) && set_cloexec(start_write.get()),
          "process_start", "Cannot protect process-start channel");
  Descriptor null_input(above_standard_streams(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
  require(null_input.valid(), "process_start", "Cannot create game input stream");
  int activation_ends[2];
  require(::socketpair(AF_UNIX, SOCK_STREAM, 0, activation_ends) == 0, "process_start",
          "Cannot allocate process activation channel");
  Descriptor activation_parent(above_standard_streams(activation_ends[0]));
  Descriptor activation_child(above_standard_streams(activation_ends[1]));
  require(set_cloexec(activation_parent.get()) && set_cloexec(activation_child.get()), "process_start",
          "Cannot protect process activation channel");

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(start_read.get());
    ::close(activation_parent.get());
    run_child(start_write.get(), activation_child.get(), null_input.get(), interrupt_.get(), isolated_,
              streams == ChildStreams::Diagnostics, directory_text.c_str(), executable_text.c_str(), argv.data(),
              envp.data());
  }
  null_input.reset();
  start_write.reset();
  activation_child.reset();
  if (interrupt_) interrupt_->close_reader();
  require(pid > 0, "process_start", "Cannot create game process");

  // The child waits for the activation byte, so a throwing callback only needs
  // the channel closed (the child then exits unexecuted) and the child reaped.
  if (started) {
    try {
      started(static_cast<std::uint64_t>(pid));
    } catch (...) {
      activation_parent.reset();
      reap(pid);
      throw;
    }
  }

  const unsigned char activate = 1;
  ssize_t sent = -1;
  do {
    sent = ::send(activation_parent.get(), &activate, 1, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  activation_parent.reset();
  if (sent != 1) {
    reap(pid);
    fail("process_start", "Cannot activate the prepared game");
  }

  int child_error = 0;
  ssize_t got = -1;
  do {
    got = ::read(start_read.get(), &child_error, sizeof child_error);
  } while (got < 0 && errno == EINTR);
  start_read.reset();
  if (got != 0) {
    reap(pid);
    fail("process_start", "Cannot execute the installed game", {"verify GAME", "repair GAME"});
  }
  pid_ = pid;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !collected_) {
    int status = 0;
    (void)::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
  }
  interrupt_.reset();
}

std::optional<int> ChildProcess::poll() {
  if (collected_) return status_;
  int status = 0;
  pid_t result = -1;
  do {
    result = ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  require(result >= 0, "process_wait", "Cannot inspect game process");
  if (result == 0) return std::nullopt;
  if (WIFEXITED(status)) {
    status_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    status_ = 128 + WTERMSIG(status);
    signaled_ = true;
  } else {
    status_ = 1;
  }
  collected_ = true;
  return status_;
}

int ChildProcess::wait(const InterruptRequested& interrupt_requested) {
  require(!interrupt_requested || interrupt_ != nullptr, "process_control",
          "Interruptible waiting needs this owned child's private channel");
  if (auto status = poll()) return *status;
  bool forwarded = false;
  while (true) {
    if (!forwarded && interrupt_requested && interrupt_requested()) {
      forwarded = request_interrupt();
    }
    sleep_interval();
    if (auto status = poll()) return *status;
  }
}

bool ChildProcess::request_interrupt() {
  if (!interrupt_ || poll()) return false;
  return interrupt_->request();
}

bool ChildProcess::group_empty() const {
  return !isolated_ || (::kill(-static_cast<pid_t>(pid_), 0) != 0 && errno == ESRCH);
}

bool ChildProcess::signal_child(int signal) const {
  const pid_t target = isolated_ ? -static_cast<pid_t>(pid_) : static_cast<pid_t>(pid_);
  return ::kill(target, signal) == 0 || errno == ESRCH;
}

bool ChildProcess::terminate(std::chrono::milliseconds grace) {
  require(grace >= std::chrono::milliseconds(0) && grace <= max_grace, "process_wait",
          "Child termination grace must be bounded to two seconds");
  // A child that has already ended is done: what it started (a game the launcher opened) is the
  // user's and keeps running. A child still running leads its own group when isolated, and what it
  // started goes with it: the group is signalled as a whole and given the grace until it is empty.
  if (poll()) return true;
  if (!signal_child(SIGTERM)) return false;
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (poll() && group_empty()) return true;
    sleep_interval();
  }
  if (poll() && group_empty()) return true;
  if (!signal_child(SIGKILL)) return false;
  const auto kill_deadline = std::chrono::steady_clock::now() + kill_reap_window;
  while (std::chrono::steady_clock::now() < kill_deadline) {
    if (poll()) return true;
    sleep_interval();
  }
  return poll().has_value();
}

}  // namespace trelk
