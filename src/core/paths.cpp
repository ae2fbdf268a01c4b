#include "core/paths.hpp"

#include <cstdlib>

#include "core/error.hpp"

namespace trelk {

namespace {

constexpr std::size_t max_identifier = 80;
constexpr std::size_t max_path = 4096;
constexpr std::size_t max_component = 255;

bool identifier_byte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Names that other desktop platforms refuse as file names, whatever the extension.
bool reserved_name(std::string_view component) {
  std::string stem(component.substr(0, component.find('.')));
  for (char& c : stem) c = ascii_upper(c);
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' && stem[3] <= '9';
}

void check_portable(std::string_view component) {
  bool portable = component.back() != ' ' && component.back() != '.';
  for (char c : component) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || c == '<' || c == '>' || c == '|' || c == '?' || c == '*' || c == '"') portable = false;
  }
  require(portable, "unsafe_path", "Path is not portable across supported platforms");
  require(!reserved_name(component), "unsafe_path", "Path uses a reserved platform name");
}

}  // namespace

void validate_identifier(std::string_view id) {
  bool valid = !id.empty() && id.size() <= max_identifier && id != "." && id != "..";
  for (char c : id) valid = valid && identifier_byte(c);
  require(valid, "invalid_identity", "Game and build IDs use lower-case letters, digits, dots and hyphens");
  validate_relative_path(id, true);
}

void validate_relative_path(std::string_view path, bool portable) {
  require(!path.empty() && path.size() <= max_path && path.front() != '/' &&
              path.find('\\') == std::string_view::npos && path.find('\0') == std::string_view::npos,
          "unsafe_path", "Path must be a safe relative path");
  std::size_t position = 0;
  while (true) {
    std::size_t slash = path.find('/', position);
    std::string_view component =
        path.substr(position, slash == std::string_view::npos ? std::string_view::npos : slash - position);
    require(!component.empty() && component.size() <= max_component && component != "." && component != ".." &&
                component.find(':') == std::string_view::npos,
            "unsafe_path", "Path contains an unsafe component");
    if (portable) check_portable(component);
    if (slash == std::string_view::npos) return;
    require(slash + 1 < path.size(), "unsafe_path", "Trailing path separator is not allowed");
    position = slash + 1;
  }
}

fs::path safe_join(const fs::path& base, std::string_view relative, bool portable) {
  validate_relative_path(relative, portable);
  fs::path result = base;
  for (const auto& component : path_from_utf8(relative)) {
    result /= component;
    // Throws only for errors other than a missing entry: names of files about to be created are fine.
    require(!fs::is_symlink(fs::symlink_status(result)), "unsafe_path", "Managed path contains a symbolic link");
  }
  return result;
}

fs::path path_from_utf8(std::string_view text) {
  require(text.find('\0') == std::string_view::npos, "unsafe_path", "Native path contains a NUL byte");
  // On Linux the native form is the UTF-8 bytes unchanged.
  return fs::path(std::string(text));
}

std::size_t native_length(std::string_view text) { return path_from_utf8(text).native().size(); }

std::string path_utf8(const fs::path& p) { return p.generic_string(); }

void require_path_room(const fs::path&, const fs::path&, std::size_t) {}

fs::path user_data_root() {
  const char* home = std::getenv("HOME");
  require(home != nullptr && home[0] == '/', "user_path", "HOME must identify an absolute user directory");
  const char* data_home = std::getenv("XDG_DATA_HOME");
  fs::path base = data_home != nullptr && data_home[0] == '/' ? fs::path(data_home) : fs::path(home) / ".local/share";
  return base / "trelk";
}

std::string native_platform() { return "linux-x86_64"; }

}  // namespace trelk
