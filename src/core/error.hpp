#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace trelk {

// The one exception type of the system: a stable code, a sentence for the
// user (what()) and recovery hints, short CLI commands the user can run next.
class Error : public std::runtime_error {
 public:
  Error(std::string code, std::string message, std::vector<std::string> details = {});

  std::string code;
  std::vector<std::string> details;
};

// Throws Error(code, message, details) unless condition holds.
void require(bool condition, const std::string& code, const std::string& message,
             const std::vector<std::string>& details = {});

// Throws unconditionally; for branches where the condition is already known.
[[noreturn]] void fail(const std::string& code, const std::string& message,
                       const std::vector<std::string>& details = {});

// The same check with literal texts, which become strings only when it fails: parsers call it per token.
inline void require(bool condition, const char* code, const char* message) {
  if (!condition) [[unlikely]]
    fail(code, message);
}

// True for the codes that mean local storage failed rather than the data.
bool local_storage_failure(std::string_view code);

}  // namespace trelk
