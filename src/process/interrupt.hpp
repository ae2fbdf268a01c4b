#pragma once

#include <csignal>
#include <cstdint>
#include <string>

namespace trelk {

// Names the inherited read end of the interrupt channel: "1:<descriptor>".
inline constexpr const char* launcher_interrupt_reader_environment = "TRELK_LAUNCHER_INTERRUPT_READER";

// Parent side of the one-way channel through which a console launcher child in
// its own process group learns that the user pressed Ctrl+C. Each request is
// the single byte 1; closing the write end tells the child the parent is gone.
class InterruptPipe {
 public:
  InterruptPipe();
  ~InterruptPipe();
  InterruptPipe(const InterruptPipe&) = delete;
  InterruptPipe& operator=(const InterruptPipe&) = delete;

  // Value of the environment variable for the child.
  std::string child_environment() const;
  // In the forked child only (async-signal-safe): drop the write end and let
  // the read end cross execve.
  bool prepare_child();
  // In the parent after fork: the read end now belongs to the child.
  void close_reader();
  // Writes one request byte; later calls write nothing and return true.
  bool request();

  std::int64_t reader() const { return read_fd_; }

 private:
  std::int64_t read_fd_ = -1;
  std::int64_t write_fd_ = -1;
  bool requested_ = false;
};

// Listening side: turns SIGINT into a flag and, in a launcher started under the
// channel, also watches the inherited read end. One per process at a time.
class ConsoleInterrupt {
 public:
  explicit ConsoleInterrupt(bool attach_reader);
  ~ConsoleInterrupt() = default;
  ConsoleInterrupt(const ConsoleInterrupt&) = delete;
  ConsoleInterrupt& operator=(const ConsoleInterrupt&) = delete;

  // True once Ctrl+C reached this process or the parent sent a request; sticky.
  bool requested();
  // Whether a parent channel is being watched in this process.
  static bool parent_reader_attached();

  struct State {
    State() = default;
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void claim();
    void attach_reader();
    void install();
    bool requested();

    bool owns_scope = false;
    bool handler_installed = false;
    std::int64_t read_fd = -1;
    struct sigaction previous {};
  };

 private:
  State state_;
};

}  // namespace trelk
