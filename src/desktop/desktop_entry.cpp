#include "desktop/desktop_entry.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "process/arguments.hpp"

namespace trelk {

namespace {

constexpr std::size_t kPathBound = 4096;
constexpr std::size_t kNameBound = 512;
constexpr std::size_t kEntryBound = 32768;
constexpr std::size_t kEnvironmentBound = 4096;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t point = 0;
    std::uint32_t minimum = 0;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      extra = 1, point = byte & 0x1F, minimum = 0x80;
    } else if ((byte & 0xF0) == 0xE0) {
      extra = 2, point = byte & 0x0F, minimum = 0x800;
    } else if ((byte & 0xF8) == 0xF0) {
      extra = 3, point = byte & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

[[noreturn]] void not_plain() { fail("shortcut_path", "Shortcut paths need existing plain files and directories"); }

// lstat that tells "missing" apart from other failures.
bool exists_unfollowed(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  not_plain();
}

std::string command_line(const DesktopShortcut& shortcut) {
  std::string line = desktop::exec_argument(path_utf8(shortcut.bootstrap));
  line += ' ';
  line += desktop::exec_argument("--data-dir");
  line += ' ';
  line += desktop::exec_argument(path_utf8(shortcut.data_root));
  line += ' ';
  line += desktop::exec_argument("--gui");
  if (!shortcut.game_id.empty()) {
    line += ' ';
    line += desktop::exec_argument("--game");
    line += ' ';
    line += desktop::exec_argument(shortcut.game_id);
  }
  return line;
}

}  // namespace

namespace desktop {

std::string string_value(std::string_view text, bool escape_spaces) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (escape_spaces && c == ' ') {
      out += "\\s";
    } else {
      out += c;
    }
  }
  return out;
}

std::string exec_argument(std::string_view argument) {
  std::string quoted = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '$' || c == '\\' || c == '`') {
      quoted += '\\';
      quoted += c;
    } else if (c == '%') {
      quoted += "%%";
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return string_value(quoted, false);
}

void text(std::string_view value, std::size_t bound) {
  bool plain = !value.empty() && value.size() <= bound;
  for (std::size_t i = 0; plain && i < value.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    plain = byte >= 0x20 && byte != 0x7F;
  }
  require(plain, "shortcut_text", "Shortcut text must be bounded and contain no control characters");
  require(valid_utf8(value), "shortcut_text", "Shortcut text must be valid UTF-8");
}

const fs::path& absolute_path(const fs::path& path) {
  text(path_utf8(path), kPathBound);
  require(path.is_absolute() && path.native() == path.lexically_normal().native(), "shortcut_path",
          "Shortcut paths must be absolute and normalized");
  return path;
}

fs::file_status ordinary_ancestors(const fs::path& path, bool directory) {
  std::vector<fs::path> parts;
  for (const auto& part : path) {
    if (!part.empty()) parts.push_back(part);  // skips a trailing separator
  }
  fs::path walked;
  fs::file_status status;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    walked /= parts[i];
    std::error_code error;
    status = fs::symlink_status(walked, error);
    if (error && error != std::errc::no_such_file_or_directory) not_plain();
    if (status.type() == fs::file_type::symlink) fail("unsafe_path", "Shortcut path contains a symbolic link");
    const bool final = i + 1 == parts.size();
    const auto wanted = (!final || directory) ? fs::file_type::directory : fs::file_type::regular;
    if (status.type() != wanted) not_plain();
  }
  return status;
}

bool managed_launcher_ancestry(const fs::path& path) {
  for (fs::path ancestor = path.parent_path(); ancestor.has_relative_path(); ancestor = ancestor.parent_path()) {
    const auto name = ancestor.filename();
    if ((name == "versions" || name == "staging") && ancestor.parent_path().filename() == "launcher") return true;
  }
  return false;
}

bool within(const fs::path& path, const fs::path& root) {
  auto candidate = path.begin();
  for (const auto& part : root) {
    if (part.empty()) continue;  // trailing separator of the root
    if (candidate == path.end() || *candidate != part) return false;
    ++candidate;
  }
  return true;
}

}  // namespace desktop

std::string linux_desktop_entry(const DesktopShortcut& shortcut) {
  desktop::absolute_path(shortcut.bootstrap);
  desktop::absolute_path(shortcut.data_root);
  desktop::text(shortcut.name, kNameBound);
  if (!shortcut.game_id.empty()) validate_identifier(shortcut.game_id);

  require(!desktop::managed_launcher_ancestry(shortcut.bootstrap), "shortcut_bootstrap",
          "Shortcuts require a stable bootstrap outside versioned or staged launchers");
  const std::string bootstrap = path_utf8(shortcut.bootstrap);
  // "=" would be read as part of a key by some desktop parsers; "%" would be
  // taken as a field code by launchers that skip the quoting rules.
  require(bootstrap.find('=') == std::string::npos, "shortcut_path",
          "Desktop executable paths cannot contain an equals sign");
  require(bootstrap.find('%') == std::string::npos, "shortcut_path",
          "Desktop bootstrap paths cannot contain a percent sign; choose a stable location without it");

  const auto status = desktop::ordinary_ancestors(shortcut.bootstrap, false);
  const auto execute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  require((status.permissions() & execute) != fs::perms::none, "shortcut_bootstrap",
          "Shortcut bootstrap must be executable");
  if (exists_unfollowed(shortcut.data_root)) {
    desktop::ordinary_ancestors(shortcut.data_root, true);
  } else {
    desktop::ordinary_ancestors(shortcut.data_root.parent_path(), true);
  }

  std::string entry;
  entry += "[Desktop Entry]\n";
  entry += "Version=1.0\n";
  entry += "Type=Application\n";
  entry += "Name=" + desktop::string_value(shortcut.name, true) + "\n";
  entry += "Exec=" + command_line(shortcut) + "\n";
  entry += "Terminal=false\n";
  entry += "StartupNotify=false\n";
  entry += shortcut.game_id.empty() ? "Categories=Utility;\n" : "Categories=Game;\n";
  entry += "X-Trelk-Shortcut-ABI=1\n";
  entry += "X-Trelk-Game=" + shortcut.game_id + "\n";
  require(entry.size() <= kEntryBound, "size_limit", "Desktop entry exceeds 32 KiB");
  return entry;
}

json create_linux_desktop_entry(const DesktopShortcut& shortcut, const fs::path& destination) {
  const std::string text = linux_desktop_entry(shortcut);
  const fs::path& dest = desktop::absolute_path(destination);
  require(dest.extension() == ".desktop", "shortcut_path", "Desktop entry destination must end in .desktop");
  require(!desktop::within(dest, shortcut.data_root) && !desktop::managed_launcher_ancestry(dest), "shortcut_path",
          "Desktop entries must be outside application data and managed launcher payloads");

  const fs::path parent = dest.parent_path();
  if (!exists_unfollowed(parent)) {
    const fs::path menu = linux_menu_directory();
    require(parent.native() == menu.lexically_normal().native(), "shortcut_path",
            "Custom shortcut destinations require an existing parent directory");
    private_directory(menu);
  } else {
    desktop::ordinary_ancestors(parent, true);
  }
  require(!exists_unfollowed(dest), "already_exists", "Desktop entry destination already exists; it was preserved");
  atomic_create(dest, text);

  return json{{"schema_version", 1},
              {"created", true},
              {"path", path_utf8(dest)},
              {"game_id", shortcut.game_id},
              {"bootstrap", path_utf8(shortcut.bootstrap)},
              {"data_root", path_utf8(shortcut.data_root)},
              {"shortcut_abi", 1}};
}

json create_native_shortcut(const DesktopShortcut& shortcut, const fs::path& destination) {
  return create_linux_desktop_entry(shortcut, destination);
}

fs::path linux_menu_directory(const std::string& home, const std::string& xdg_data_home) {
  if (!xdg_data_home.empty()) {
    const fs::path base = path_from_utf8(xdg_data_home);
    if (base.is_absolute()) return base / "applications";
  }
  if (!home.empty()) {
    const fs::path base = path_from_utf8(home);
    if (base.is_absolute()) return base / ".local/share/applications";
  }
  fail("user_path", "Application menu needs an absolute HOME or XDG_DATA_HOME");
}

fs::path linux_menu_directory() {
  return linux_menu_directory(process_environment("HOME", kEnvironmentBound),
                              process_environment("XDG_DATA_HOME", kEnvironmentBound));
}

fs::path linux_menu_entry(const fs::path& data_root, std::string_view game_id) {
  if (!game_id.empty()) validate_identifier(game_id);
  const std::string root = path_utf8(fs::absolute(data_root));
  std::string name = "trelk-" + digest(root, "sha256");
  name += game_id.empty() ? std::string("-launcher") : "-game-" + std::string(game_id);
  name += ".desktop";
  return linux_menu_directory() / name;
}

std::string native_shortcut_extension() { return ".desktop"; }

fs::path native_menu_directory() { return linux_menu_directory(); }

fs::path native_menu_entry(const fs::path& data_root, std::string_view game_id) {
  return linux_menu_entry(data_root, game_id);
}

}  // namespace trelk
