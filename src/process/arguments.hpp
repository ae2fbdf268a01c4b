#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace trelk {

// The arguments of main after the program name, bounded in count and bytes.
std::vector<std::string> process_arguments(int argc, const char* const* argv);

// The value of an environment variable, empty when unset; a value longer than
// bound bytes is refused rather than truncated.
std::string process_environment(std::string_view name, std::size_t bound);

// The running executable, from /proc/self/exe.
std::filesystem::path current_executable_path();

// Replace this process image with image, run in directory with the current
// environment plus the given entries. Returns only by throwing; the working
// directory is restored when execve fails. replace_process is the maintenance
// form, which also drops inherited LD_* and DYLD_* variables.
[[noreturn]] void exec_process(const std::filesystem::path& image, const std::vector<std::string>& arguments,
                               const std::filesystem::path& directory,
                               const std::map<std::string, std::string>& environment);
[[noreturn]] void replace_process(const std::filesystem::path& image, const std::vector<std::string>& arguments,
                                  const std::filesystem::path& directory,
                                  const std::map<std::string, std::string>& environment);

// The current environment as NAME=VALUE texts, without the launcher interrupt reader, without
// every name that overrides will set, and, when drop_linker_variables, without LD_* and DYLD_*.
std::vector<std::string> inherited_environment(const std::map<std::string, std::string>& overrides,
                                               bool drop_linker_variables);

// The null-terminated pointer array execve wants; the texts must outlive it.
std::vector<char*> exec_vector(std::vector<std::string>& texts);

// Asks the desktop (xdg-open) to show a directory and waits for the opener.
void open_directory(const std::filesystem::path& directory);

}  // namespace trelk
