#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "files/locks.hpp"

namespace trelk {

// Starts the working launcher version in place of this process, or supervises a staged
// candidate under the startup-health protocol and confirms or rejects it. Returns the exit
// status of a supervised launcher or of a help, maintenance or control answer.
int run_launcher_bootstrap(const std::filesystem::path& data_dir, std::string_view interface,
                           const std::vector<std::string>& arguments, std::chrono::milliseconds startup_limit,
                           const std::unique_ptr<NativeFileLock>& lifetime);

// Called by a launcher once it has started: the next GUI start no longer counts as a retry.
void confirm_launcher_start(const std::filesystem::path& data_dir);

}  // namespace trelk
