#include "bootstrap/problem_report.hpp"

#include <unistd.h>

#include <cstddef>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "native/brand.hpp"
#include "process/arguments.hpp"
#include "process/child.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t environment_bound = 8192;
constexpr std::size_t title_limit = 200;
constexpr std::size_t dialog_message_limit = 2000;
constexpr std::size_t problem_message_limit = 600;

// Dialog programs take line feeds as line breaks; every other control byte
// (tabs and carriage returns included) would garble or be refused.
std::string dialog_text(const std::string& text, std::size_t limit) {
  std::string result = text.substr(0, limit);
  for (char& c : result) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) c = ' ';
  }
  return result;
}

// Only absolute directories are searched: a relative PATH element would let
// the current directory choose which program the bootstrap runs.
fs::path on_path(const std::string& name) {
  try {
    const std::string path = process_environment("PATH", environment_bound);
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t end = path.find(':', start);
      if (end == std::string::npos) end = path.size();
      const std::string directory = path.substr(start, end - start);
      start = end + 1;
      if (directory.empty() || directory.front() != '/') continue;
      fs::path candidate = fs::path(directory) / name;
      std::error_code error;
      if (fs::is_regular_file(fs::status(candidate, error)) && ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
  } catch (const std::exception&) {
  }
  return {};
}

bool run(const fs::path& program, const std::vector<std::string>& arguments) {
  try {
    ChildProcess child(program, arguments, fs::temp_directory_path(), {}, ChildStreams::Diagnostics,
                       ChildEnvironment::Inherit, {}, ChildGroup::Shared, ChildControl::None);
    child.wait();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool display_available() {
  return !process_environment("DISPLAY", environment_bound).empty() ||
         !process_environment("WAYLAND_DISPLAY", environment_bound).empty();
}

}  // namespace

std::string safe_text(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte == 0xC2 && i + 1 < text.size()) {
      auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        result += '?';
        ++i;
        continue;
      }
    }
    if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7F) {
      result += '?';
    } else {
      result += text[i];
    }
  }
  return result;
}

bool started_from_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void startup_problem(const std::string& code, const std::string& message) {
  try {
    if (started_from_terminal()) return;
    const std::string name = product_name();
    std::string text;
    if (code == "process_start" || code == "launcher_damaged" || code == "content_mismatch") {
      // The message names files and internals; the user can only reinstall.
      text = name +
             "'s files are damaged, so the game can't be started.\n\nRun the game's installer again to repair it. "
             "Your saves are kept.";
    } else {
      text = name + " couldn't start.\n\n" + message.substr(0, problem_message_limit);
    }
    show_plain_error(name, text);
  } catch (...) {
  }
}

bool show_plain_error(const std::string& title, const std::string& message) {
  try {
    if (!process_environment("TRELK_NO_DIALOGS", environment_bound).empty()) return false;
    const std::string shown_title = dialog_text(title, title_limit);
    const std::string shown_message = dialog_text(message, dialog_message_limit);
    if (!display_available()) return false;
    if (fs::path zenity = on_path("zenity"); !zenity.empty()) {
      return run(zenity, {"--error", "--no-markup", "--title", shown_title, "--text", shown_message});
    }
    if (fs::path kdialog = on_path("kdialog"); !kdialog.empty()) {
      return run(kdialog, {"--title", shown_title, "--error", shown_message});
    }
    if (fs::path xmessage = on_path("xmessage"); !xmessage.empty()) {
      return run(xmessage, {"-center", shown_title + "\n\n" + shown_message});
    }
    return false;
  } catch (...) {
    return false;
  }
}

}  // namespace trelk
