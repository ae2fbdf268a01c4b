#include "core/error.hpp"

#include <array>

namespace trelk {

Error::Error(std::string code_, std::string message, std::vector<std::string> details_)
    : std::runtime_error(std::move(message)), code(std::move(code_)), details(std::move(details_)) {}

void require(bool condition, const std::string& code, const std::string& message,
             const std::vector<std::string>& details) {
  if (!condition) throw Error(code, message, details);
}

void fail(const std::string& code, const std::string& message, const std::vector<std::string>& details) {
  throw Error(code, message, details);
}

bool local_storage_failure(std::string_view code) {
  static constexpr std::array<std::string_view, 5> storage{"file_sync", "file_write", "permissions",
                                                           "journal_write", "insufficient_space"};
  for (auto candidate : storage)
    if (candidate == code) return true;
  return false;
}

}  // namespace trelk
