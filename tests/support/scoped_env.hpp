#pragma once

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace trelk::test {

// Sets or clears environment variables for one test and restores the old values afterwards.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) apply(name, value);
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = ::getenv(name.c_str());
    if (!saved_.contains(name)) saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    apply(name, value);
  }

 private:
  static void apply(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// Polls until done() holds, for at most the given time (generous: the machine may be loaded); false when it never did.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace trelk::test
