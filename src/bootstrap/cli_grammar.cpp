#include "bootstrap/cli_grammar.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"

namespace trelk {
namespace {

constexpr std::size_t kMaxArguments = 128;
constexpr std::size_t kMaxArgumentBytes = 16384;

// Options whose next word is always their value, never an option or a command word.
const std::set<std::string_view> kValueOptions = {
    "--create",           "--remove",          "--data-dir",       "--origin",          "--root",
    "--ca-bundle",        "--confirm-cleanup", "--confirm-report", "--consent-version", "--build",
    "--session",          "--confirm-game",    "--game",           "--manifest-target", "--keep-bytes",
    "--agreement-version"};

struct Command {
  std::string_view name;  // the command words, separated by single spaces
  std::size_t operands;
  std::vector<std::string_view> values;
  std::vector<std::string_view> flags;
};

// Matched by first prefix, so "preloads discard" must precede "preloads".
const std::vector<Command> kGrammar = {
    {"list", 0, {}, {}},
    {"available", 0, {}, {}},
    {"notices", 0, {}, {}},
    {"preload", 1, {"--build"}, {}},
    {"preloads discard", 1, {"--build"}, {}},
    {"preloads", 0, {}, {}},
    {"status", 1, {}, {}},
    {"manage", 1, {}, {}},
    {"locations", 1, {}, {}},
    {"self status", 0, {}, {}},
    {"self update", 0, {}, {}},
    {"self cleanup", 0, {}, {}},
    {"service status", 0, {}, {"--cached"}},
    {"crashes list", 0, {}, {"--all"}},
    {"crashes cleanup", 0, {}, {}},
    {"agreements show", 1, {}, {}},
    {"agreements agree", 1, {"--agreement-version"}, {"--age-16-or-older"}},
    {"agreements withdraw", 1, {}, {}},
    {"agreements", 0, {}, {}},
    {"crashes show", 1, {}, {}},
    {"crashes discard", 1, {}, {}},
    {"crashes restore", 1, {}, {}},
    {"crashes delete", 1, {"--confirm-report"}, {}},
    {"crashes send", 1, {"--consent-version"}, {"--age-16-or-older"}},
    {"settings get", 0, {}, {}},
    {"settings set", 2, {}, {}},
    {"operations list", 0, {}, {}},
    {"operations show", 1, {}, {}},
    {"operations wait", 1, {}, {}},
    {"operations cancel", 1, {}, {}},
    {"operations retry", 1, {}, {}},
    {"repository configure", 0, {"--origin", "--root", "--ca-bundle"}, {}},
    {"updates check", 0, {}, {"--background"}},
    {"updates show", 1, {}, {}},
    {"updates defer", 1, {"--build"}, {}},
    {"install", 1, {}, {"--launch"}},
    {"update", 1, {"--build", "--session"}, {"--launch", "--after-exit"}},
    {"repair", 1, {}, {}},
    {"verify", 1, {}, {}},
    {"rollback", 1, {}, {}},
    {"launch", 1, {}, {"--play-current"}},
    {"observe", 1, {"--session"}, {}},
    {"uninstall", 1, {"--confirm-game"}, {"--remove-saves"}},
    {"channel set", 2, {}, {}},
    {"channel unlock", 1, {}, {}},
    {"open", 2, {}, {}},
};

// Commands whose first operand names a game, report, agreement or operation.
const std::set<std::string_view> kIdentifierFirst = {
    "locations", "install",   "status",  "manage", "update",  "repair",     "verify",     "rollback", "launch",
    "observe",   "uninstall", "channel", "open",   "crashes", "agreements", "operations", "preload",  "updates"};

bool contains(const std::vector<std::string_view>& list, std::string_view word) {
  return std::find(list.begin(), list.end(), word) != list.end();
}

bool bounded(const std::string& text) {
  return text.size() <= kMaxArgumentBytes && text.find('\0') == std::string::npos;
}

void identifier(std::string_view text) {
  try {
    validate_identifier(text);
  } catch (const Error&) {
    fail("usage", "Game, build, session, report and operation IDs must be valid identifiers");
  }
}

// Number of command words of command that arguments begin with, or 0.
std::size_t matched_words(const Command& command, const std::vector<std::string>& arguments) {
  std::size_t count = 0;
  std::string_view rest = command.name;
  while (!rest.empty()) {
    const std::size_t space = rest.find(' ');
    const std::string_view word = rest.substr(0, space);
    if (count >= arguments.size() || arguments[count] != word) return 0;
    ++count;
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  }
  return count;
}

// "self uninstall" and "self shortcut" are carried out natively rather than by
// the launcher, so they have their own shapes. Returns whether it applied.
bool validate_self(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2 || arguments[0] != "self") return false;
  if (arguments[1] == "uninstall") {
    require(arguments.size() == 2 || (arguments.size() == 3 && arguments[2] == "--remove-data"), "usage",
            "Use self uninstall [--remove-data]");
    return true;
  }
  if (arguments[1] != "shortcut") return false;
  const std::string use = "Use self shortcut create [--game GAME] or self shortcut remove";
  require(arguments.size() >= 3 && (arguments[2] == "create" || arguments[2] == "remove"), "usage", use);
  if (arguments[2] == "remove" || arguments.size() == 3) {
    require(arguments.size() == 3, "usage", use);
    return true;
  }
  require(arguments[3] == "--game", "usage", use);
  require(arguments.size() >= 5, "usage", "Choose a game after --game");
  require(arguments.size() == 5, "usage", use);
  identifier(arguments[4]);
  return true;
}

void validate_count(const std::string& text) {
  require(!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }), "usage",
          "Counts and byte budgets must be non-negative decimal integers");
  std::uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  require(result.ec == std::errc(), "usage", "Count or byte budget exceeds its bound");
}

void validate(const std::vector<std::string>& arguments) {
  if (validate_self(arguments)) return;

  const Command* command = nullptr;
  std::size_t words = 0;
  for (const Command& candidate : kGrammar) {
    words = matched_words(candidate, arguments);
    if (words > 0) {
      command = &candidate;
      break;
    }
  }
  require(command != nullptr, "usage", "Unknown command; run trelk --help");

  std::map<std::string, std::string, std::less<>> options;
  std::set<std::string, std::less<>> flags;
  std::vector<std::string> operands;
  for (std::size_t i = words; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (contains(command->values, word)) {
      require(!options.contains(word) && i + 1 < arguments.size(), "usage",
              "Duplicate or missing option value: " + word);
      const std::string& value = arguments[++i];
      require(!value.empty(), "usage", "Option value must not be empty: " + word);
      options.emplace(word, value);
    } else if (contains(command->flags, word)) {
      require(flags.insert(word).second, "usage", "Duplicate option: " + word);
    } else {
      require(!word.starts_with("--"), "usage", "Unsupported option: " + word);
      operands.push_back(word);
    }
  }
  require(operands.size() == command->operands, "usage", "Wrong number of command operands; run trelk --help");
  require(std::none_of(operands.begin(), operands.end(), [](const std::string& o) { return o.empty(); }), "usage",
          "Command operands must not be empty");

  const std::string_view name = command->name;
  if (!operands.empty() && kIdentifierFirst.contains(arguments[0])) identifier(operands[0]);
  if (name == "preloads discard") identifier(operands[0]);
  if (name == "channel set") identifier(operands[1]);
  for (const char* option : {"--game", "--build", "--session"}) {
    if (auto found = options.find(option); found != options.end()) identifier(found->second);
  }

  const auto option = [&](std::string_view key) -> const std::string* {
    auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
  };
  if (const std::string* keep = option("--keep-bytes")) validate_count(*keep);
  if (const std::string* review = option("--confirm-cleanup")) {
    require(
        review->size() == 64 && std::all_of(review->begin(), review->end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }),
        "usage", "Cleanup review must be a SHA-256 digest");
  }
  if (name == "crashes delete") {
    const std::string* confirmed = option("--confirm-report");
    require(confirmed != nullptr && *confirmed == operands[0], "confirmation_required",
            "Confirm the exact report with --confirm-report REPORT");
  } else if (name == "agreements agree") {
    require(option("--agreement-version") != nullptr, "agreement_version",
            "Read it with agreements show ID, then agree with --agreement-version VERSION");
  } else if (name == "uninstall") {
    const std::string* confirmed = option("--confirm-game");
    require(confirmed != nullptr && *confirmed == operands[0], "confirmation_required",
            "Specify uninstall GAME --confirm-game GAME; add --remove-saves only to delete saves");
  } else if (name == "crashes send") {
    require(option("--consent-version") != nullptr, "crash_consent",
            "Review the report, then supply its exact --consent-version");
  } else if (name == "repository configure") {
    require(option("--origin") != nullptr && option("--root") != nullptr, "usage",
            "Repository setup needs --origin and an out-of-band trusted --root");
  } else if (name == "updates defer") {
    require(option("--build") != nullptr, "usage", "Deferral needs --build BUILD");
  } else if (name == "preloads discard") {
    require(option("--build") != nullptr, "usage", "Removing a preload needs GAME --build BUILD");
  } else if (name == "update") {
    const bool after_exit = flags.contains("--after-exit");
    const bool valid = after_exit ? option("--build") != nullptr && !flags.contains("--launch")
                                  : option("--build") == nullptr && option("--session") == nullptr;
    require(valid, "usage",
            "Use update GAME --after-exit --build BUILD [--session SESSION], or update GAME [--launch]");
  } else if (name == "settings set") {
    try {
      parse_json(operands[1], kMaxArgumentBytes);
    } catch (const Error&) {
      fail("usage", "Setting value must be bounded valid JSON");
    }
  } else if (name == "open") {
    require(operands[1] == "content" || operands[1] == "saves" || operands[1] == "state", "usage",
            "Open expects content, saves or state");
  }
}

// Index of the first word equal to name outside option values, or arguments.size().
// The whole vector is walked, so a value option without its value always fails.
std::size_t find_word(const std::vector<std::string>& arguments, std::string_view name) {
  std::size_t found = arguments.size();
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == name && found == arguments.size()) found = i;
    if (kValueOptions.contains(arguments[i])) {
      require(i + 1 < arguments.size(), "usage", arguments[i] + " needs a value");
      ++i;
    }
  }
  return found;
}

}  // namespace

CliEntry parse_cli_entry(const std::vector<std::string>& arguments, const std::filesystem::path& default_data_dir,
                         bool* json) {
  CliEntry entry;
  entry.data_dir = default_data_dir;
  // Before any check, so that the usage errors below are already reported as JSON.
  if (json != nullptr) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (arguments[i] == "--json") *json = true;
      if (kValueOptions.contains(arguments[i])) ++i;
    }
  }

  require(arguments.size() <= kMaxArguments, "usage", "CLI invocation exceeds 128 arguments");
  require(std::all_of(arguments.begin(), arguments.end(), bounded), "usage",
          "CLI argument exceeds its bound or contains NUL");

  std::set<std::string, std::less<>> globals;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word == "--json" || word == "--help" || word == "--data-dir") {
      require(globals.insert(word).second, "usage", "Duplicate global option: " + word);
      if (word == "--json") {
        entry.json = true;
      } else if (word == "--help") {
        entry.help = true;
      } else {
        require(i + 1 < arguments.size() && !arguments[i + 1].empty(), "usage", "--data-dir needs a nonempty path");
        entry.data_dir = path_from_utf8(arguments[++i]);
        entry.data_dir_given = true;
      }
      continue;
    }
    entry.arguments.push_back(word);
    if (kValueOptions.contains(word)) {
      require(i + 1 < arguments.size() && !arguments[i + 1].empty(), "usage", "Option needs a nonempty value: " + word);
      require(bounded(arguments[i + 1]), "usage", "CLI option value exceeds its bound or contains NUL");
      entry.arguments.push_back(arguments[++i]);
    }
  }
  require(!entry.data_dir.empty(), "usage", "Data directory must not be empty");

  if (entry.arguments.empty() || (entry.arguments.size() == 1 && entry.arguments[0] == "help")) entry.help = true;
  if (!entry.help) validate(entry.arguments);
  return entry;
}

std::string cli_help() {
  return "Trelk " TRELK_VERSION
         "\n"
         "Usage: trelk [--data-dir PATH] [--json] COMMAND\n"
         "  repository configure --origin HTTPS_ORIGIN --root FILE [--ca-bundle FILE]\n"
         "  list | status GAME | manage GAME | locations GAME\n"
         "  install GAME [--launch] | update GAME [--launch] | verify GAME | repair GAME | rollback GAME\n"
         "  update GAME --after-exit --build BUILD [--session SESSION]\n"
         "  launch GAME [--play-current]\n"
         "  observe GAME [--session SESSION]\n"
         "  updates check [--background] | updates show GAME | updates defer GAME --build BUILD\n"
         "  preload GAME [--build BUILD] | preloads | preloads discard GAME --build BUILD\n"
         "  self status | self update | self cleanup\n"
         "  self uninstall [--remove-data]\n"
         "  self shortcut create [--game GAME] | self shortcut remove\n"
         "  uninstall GAME --confirm-game GAME [--remove-saves]\n"
         "  operations list | operations show|wait|cancel|retry ID\n"
         "  settings get | settings set KEY JSON_VALUE\n"
         "  channel set GAME CHANNEL\n"
         "  channel unlock GAME      (reads the access code from standard input)\n"
         "  open GAME content|saves|state\n"
         "  available | notices | service status [--cached]\n"
         "  crashes list [--all] | crashes show|discard|restore REPORT | crashes cleanup\n"
         "  crashes delete REPORT --confirm-report REPORT\n"
         "  crashes send REPORT --consent-version VERSION [--age-16-or-older]\n"
         "  agreements | agreements show ID | agreements agree ID --agreement-version VERSION --age-16-or-older | "
         "agreements withdraw ID\n"
         "Commands share the GUI backend.\n";
}

std::string cli_option(std::vector<std::string>& arguments, std::string_view name, std::string fallback) {
  const std::size_t at = find_word(arguments, name);
  if (at == arguments.size()) return fallback;
  require(at + 1 < arguments.size(), "usage", arguments[at] + " needs a value");
  std::string value = std::move(arguments[at + 1]);
  arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(at),
                  arguments.begin() + static_cast<std::ptrdiff_t>(at) + 2);
  return value;
}

bool cli_flag(std::vector<std::string>& arguments, std::string_view name) {
  const std::size_t at = find_word(arguments, name);
  if (at == arguments.size()) return false;
  arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

}  // namespace trelk
