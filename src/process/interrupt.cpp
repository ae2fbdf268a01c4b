#include "process/interrupt.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>

#include "core/error.hpp"
#include "process/arguments.hpp"

namespace trelk {
namespace {

constexpr unsigned char request_byte = 1;
constexpr std::size_t max_reader_value = 32;

std::atomic<bool> scope_owned{false};
std::atomic<bool> reader_attached{false};
volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

// Keeps the pipe off the standard descriptors, which the child rewires before execve.
int relocate(int fd) {
  if (fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD, 3);
  ::close(fd);
  return moved;
}

void close_fd(std::int64_t& fd) {
  if (fd >= 0) ::close(static_cast<int>(fd));
  fd = -1;
}

}  // namespace

InterruptPipe::InterruptPipe() {
  int ends[2];
  require(::pipe(ends) == 0, "process_control", "Cannot create launcher interrupt pipe");
  read_fd_ = ends[0];
  write_fd_ = ends[1];
  for (std::int64_t* end : {&read_fd_, &write_fd_}) {
    const int fd = relocate(static_cast<int>(*end));
    *end = fd;
    if (fd <= 2) {
      if (fd >= 0) ::close(fd);
      *end = -1;
      close_fd(read_fd_);
      close_fd(write_fd_);
      fail("process_control", "Cannot relocate launcher interrupt pipe");
    }
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
      close_fd(read_fd_);
      close_fd(write_fd_);
      fail("process_control", "Cannot protect launcher interrupt pipe");
    }
  }
}

InterruptPipe::~InterruptPipe() {
  close_fd(read_fd_);
  close_fd(write_fd_);
}

std::string InterruptPipe::child_environment() const { return "1:" + std::to_string(read_fd_); }

bool InterruptPipe::prepare_child() {
  close_fd(write_fd_);
  if (read_fd_ < 0) return false;
  const int fd = static_cast<int>(read_fd_);
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
}

void InterruptPipe::close_reader() { close_fd(read_fd_); }

bool InterruptPipe::request() {
  if (requested_) return true;
  if (write_fd_ < 0) return false;

  // A child that has gone would raise SIGPIPE; block it here and swallow the
  // one this write raised so the caller never sees it.
  sigset_t pipe_only;
  sigset_t previous;
  sigset_t pending;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  if (::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous) != 0) return false;
  if (::sigpending(&pending) != 0) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t written = -1;
  do {
    written = ::write(static_cast<int>(write_fd_), &request_byte, 1);
  } while (written < 0 && errno == EINTR);
  if (written < 0 && errno == EPIPE && !was_pending) {
    sigset_t now;
    if (::sigpending(&now) == 0 && sigismember(&now, SIGPIPE) == 1) {
      int signal = 0;
      ::sigwait(&pipe_only, &signal);
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  requested_ = written == 1;
  return requested_;
}

ConsoleInterrupt::ConsoleInterrupt(bool attach_reader) {
  // The claim comes first so that a second instance never touches the channel
  // the first one has adopted.
  state_.claim();
  if (attach_reader) state_.attach_reader();
  state_.install();
}

bool ConsoleInterrupt::requested() { return state_.requested(); }

bool ConsoleInterrupt::parent_reader_attached() { return reader_attached.load(); }

void ConsoleInterrupt::State::claim() {
  bool expected = false;
  require(scope_owned.compare_exchange_strong(expected, true), "signal",
          "Console cancellation handler is already installed");
  owns_scope = true;
  interrupted = 0;
}

void ConsoleInterrupt::State::attach_reader() {
  const std::string value = process_environment(launcher_interrupt_reader_environment, max_reader_value);
  if (value.empty()) return;
  require(value.size() > 2 && value.starts_with("1:"), "launcher_control",
          "Launcher interrupt channel version is invalid");
  const std::string_view rest = std::string_view(value).substr(2);
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
  require(error == std::errc{} && end == rest.data() + rest.size() && std::to_string(number) == rest && number > 2,
          "launcher_control", "Launcher interrupt channel handle is invalid");
  require(number <= 2147483647u, "launcher_control", "Launcher interrupt descriptor is invalid");

  const int fd = static_cast<int>(number);
  const int status_flags = ::fcntl(fd, F_GETFL);
  const int descriptor_flags = ::fcntl(fd, F_GETFD);
  struct stat st {};
  require(status_flags >= 0 && (status_flags & O_ACCMODE) == O_RDONLY && descriptor_flags >= 0 &&
              ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode),
          "launcher_control", "Launcher interrupt reader must be an inherited read pipe");
  // Close-on-exec keeps the channel from reaching the launcher's own children.
  require(
      ::fcntl(fd, F_SETFD, descriptor_flags | FD_CLOEXEC) == 0 && ::fcntl(fd, F_SETFL, status_flags | O_NONBLOCK) == 0,
      "launcher_control", "Cannot protect launcher interrupt reader");
  read_fd = fd;
}

void ConsoleInterrupt::State::install() {
  if (!owns_scope) claim();
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  require(::sigaction(SIGINT, &action, &previous) == 0, "signal", "Cannot enable safe cancellation from Ctrl+C");
  handler_installed = true;
  reader_attached = read_fd >= 0;
}

bool ConsoleInterrupt::State::requested() {
  if (interrupted != 0) return true;
  if (read_fd < 0) return false;
  unsigned char byte = 0;
  ssize_t got = -1;
  do {
    got = ::read(static_cast<int>(read_fd), &byte, 1);
  } while (got < 0 && errno == EINTR);
  if (got == 0) {
    close_fd(read_fd);
    reader_attached = false;
    return false;
  }
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    fail("launcher_control", "Cannot read launcher interrupt channel");
  }
  require(byte == request_byte, "launcher_control", "Launcher interrupt channel request is invalid");
  interrupted = 1;
  return true;
}

ConsoleInterrupt::State::~State() {
  if (handler_installed) ::sigaction(SIGINT, &previous, nullptr);
  close_fd(read_fd);
  if (owns_scope) {
    reader_attached = false;
    scope_owned = false;
  }
}

}  // namespace trelk
