#include "process/arguments.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/error.hpp"
#include "files/descriptor.hpp"
#include "process/interrupt.hpp"

extern char** environ;

namespace trelk {
namespace {

constexpr std::size_t max_native_argument_bytes = 131072;
constexpr int max_native_arguments = 256;
constexpr std::size_t max_environment_name = 128;
constexpr std::size_t max_replacement_arguments = 64;
constexpr std::size_t max_replacement_argument = 4096;
constexpr std::size_t max_replacement_total = 32768;

// Looks at no more than bound + 1 bytes, so an unterminated or huge text is never scanned in full.
std::string bounded_bytes(const char* text, std::size_t bound, const std::string& code) {
  require(text != nullptr, code, "Native process text is missing");
  const std::size_t length = strnlen(text, bound + 1);
  require(length <= bound, code, "Native process text exceeds its byte bound");
  return std::string(text, length);
}

bool own_entry_is(const std::filesystem::path& path, mode_t type) {
  struct stat st {};
  return path.is_absolute() && ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

bool linker_variable(std::string_view name) { return name.starts_with("LD_") || name.starts_with("DYLD_"); }

[[noreturn]] void replace_image(const std::filesystem::path& image, const std::vector<std::string>& arguments,
                                const std::filesystem::path& directory,
                                const std::map<std::string, std::string>& environment, bool maintenance) {
  require(own_entry_is(image, S_IFREG) && own_entry_is(directory, S_IFDIR), "process_start",
          "Replacement image or directory is unavailable");
  require(arguments.size() <= max_replacement_arguments, "argument_limit", "Too many replacement arguments");

  std::vector<std::string> argument_text{image.string()};
  std::size_t total = 0;
  for (const auto& argument : arguments) {
    require(argument.size() <= max_replacement_argument && argument.find('\0') == std::string::npos, "argument_limit",
            "Invalid maintenance argument");
    total += argument.size();
    argument_text.push_back(argument);
  }
  require(total <= max_replacement_total, "argument_limit", "Maintenance arguments exceed their bound");

  std::vector<std::string> environment_text = inherited_environment(environment, maintenance);
  for (const auto& [name, value] : environment) {
    require(!name.empty() && name.find('\0') == std::string::npos && name.find('=') == std::string::npos &&
                value.find('\0') == std::string::npos,
            "argument_encoding", "Invalid maintenance environment");
    require(name != launcher_interrupt_reader_environment, "process_control",
            "Maintenance cannot inherit launcher interrupt authority");
    environment_text.push_back(name + "=" + value);
  }

  auto argv = exec_vector(argument_text);
  auto envp = exec_vector(environment_text);

  // An open descriptor rather than a path, so the way back survives renames meanwhile.
  Descriptor previous(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  require(previous.valid() && ::chdir(directory.c_str()) == 0, "process_start",
          "Cannot enter the external maintenance runtime");
  ::execve(image.c_str(), argv.data(), envp.data());
  const int error = errno;
  (void)::fchdir(previous.get());
  fail("process_start", "Cannot replace this process (native error " + std::to_string(error) + ")");
}

}  // namespace

std::vector<char*> exec_vector(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> process_arguments(int argc, const char* const* argv) {
  require(argc >= 1 && argv != nullptr, "argument_encoding", "Native command arguments are missing");
  require(argc <= max_native_arguments + 1, "argument_limit", "Too many native command arguments");
  std::vector<std::string> result;
  std::size_t total = 0;
  for (int i = 1; i < argc; ++i) {
    result.push_back(bounded_bytes(argv[i], max_native_argument_bytes - total, "argument_limit"));
    total += result.back().size();
  }
  require(total <= max_native_argument_bytes, "argument_limit",
          "Native command arguments exceed their total byte bound");
  return result;
}

std::string process_environment(std::string_view name, std::size_t bound) {
  bool valid = !name.empty() && name.size() <= max_environment_name;
  for (const char c : name) {
    valid = valid && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
  }
  require(valid, "environment_key", "Native environment key is invalid");
  require(bound >= 1 && bound <= max_native_argument_bytes, "environment_limit", "Native environment bound is invalid");
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return {};
  return bounded_bytes(value, bound, "environment_limit");
}

std::filesystem::path current_executable_path() {
  std::vector<char> buffer(32768);
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  require(length >= 1 && length <= 32767, "launcher_identity",
          "Cannot identify this native executable within its path bound");
  return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(length)));
}

void exec_process(const std::filesystem::path& image, const std::vector<std::string>& arguments,
                  const std::filesystem::path& directory, const std::map<std::string, std::string>& environment) {
  replace_image(image, arguments, directory, environment, false);
}

void replace_process(const std::filesystem::path& image, const std::vector<std::string>& arguments,
                     const std::filesystem::path& directory, const std::map<std::string, std::string>& environment) {
  replace_image(image, arguments, directory, environment, true);
}

void open_directory(const std::filesystem::path& directory) {
  require(own_entry_is(directory, S_IFDIR), "location_unavailable", "Local directory is unavailable");
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  require(display != nullptr || wayland != nullptr, "desktop_unavailable",
          "No graphical desktop is available; use locations to inspect paths");

  posix_spawn_file_actions_t actions;
  require(::posix_spawn_file_actions_init(&actions) == 0, "desktop_unavailable",
          "Cannot initialize native directory opening");
  // The opener's chatter belongs with diagnostics, not with results on standard output.
  if (::posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    fail("desktop_unavailable", "Cannot initialize native directory opening");
  }
  std::string program = "xdg-open";
  std::string target = directory.string();
  char* argv[] = {program.data(), target.data(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  require(spawned == 0, "desktop_unavailable", "No native directory opener is available");

  int status = 0;
  pid_t waited = -1;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  require(waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0, "desktop_unavailable",
          "Native directory opening failed");
}

std::vector<std::string> inherited_environment(const std::map<std::string, std::string>& overrides,
                                               bool drop_linker_variables) {
  std::vector<std::string> result;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (text.empty() || equals == std::string_view::npos) continue;
    const std::string name(text.substr(0, equals));
    if (name == launcher_interrupt_reader_environment || overrides.contains(name)) continue;
    if (drop_linker_variables && linker_variable(name)) continue;
    result.emplace_back(text);
  }
  return result;
}

}  // namespace trelk
