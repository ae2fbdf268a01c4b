#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process/interrupt.hpp"

namespace trelk {

// Diagnostics joins the child's standard output to its standard error;
// Console leaves it on the parent's standard output.
enum class ChildStreams { Diagnostics = 0, Console = 1 };
// Sanitized additionally drops inherited LD_* and DYLD_* variables.
enum class ChildEnvironment { Inherit = 0, Sanitized = 1 };
// Isolated makes the child lead its own process group; termination then
// signals the whole group.
enum class ChildGroup { Shared = 0, Isolated = 1 };
// Interrupt hands the child the read end of an InterruptPipe.
enum class ChildControl { None = 0, Interrupt = 1 };

// Owns one started child process. The child does not execute until the
// started callback has returned, and an execve failure is thrown from the
// constructor as "process_start" instead of showing up as an exit status.
// Exit statuses: the exit code, or 128 + N when ended by signal N.
class ChildProcess {
 public:
  using StartedCallback = std::function<void(std::uint64_t)>;
  using InterruptRequested = std::function<bool()>;

  ChildProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
               const std::filesystem::path& working_directory, const std::map<std::string, std::string>& environment,
               ChildStreams streams = ChildStreams::Diagnostics,
               ChildEnvironment inheritance = ChildEnvironment::Inherit, const StartedCallback& started = {},
               ChildGroup group = ChildGroup::Shared, ChildControl control = ChildControl::None,
               const std::vector<std::int64_t>& inherited_handles = {});
  // Reaps a child that has already ended; never kills it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The exit status once the child has ended; never blocks.
  std::optional<int> poll();
  // Blocks until the child ends, forwarding one interrupt request over the
  // channel once interrupt_requested (if given) returns true.
  int wait(const InterruptRequested& interrupt_requested = {});
  // Sends the interrupt request; false without a channel or after the child ended.
  bool request_interrupt();
  // SIGTERM, then SIGKILL after grace (at most 2000 ms); true once the child has ended.
  bool terminate(std::chrono::milliseconds grace);
  // Always empty on this platform.
  std::optional<std::int64_t> notification_handle() const { return std::nullopt; }

  std::int64_t process_id() const { return pid_; }
  bool ended_by_signal() const { return signaled_; }

 private:
  bool group_empty() const;
  bool signal_child(int signal) const;

  std::int64_t pid_ = -1;
  int status_ = 0;
  bool collected_ = false;
  bool signaled_ = false;
  std::unique_ptr<InterruptPipe> interrupt_;
  bool isolated_ = false;
};

}  // namespace trelk
