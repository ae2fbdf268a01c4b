#include "bootstrap/cli_grammar.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/errors.hpp"

namespace trelk {
namespace {

using Args = std::vector<std::string>;
const std::filesystem::path kDefault = "/default/data";
const std::string kIdentifierMessage = "Game, build, session, report and operation IDs must be valid identifiers";

Args concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void expect_failure(const Args& arguments, const std::string& code, const std::string& message) {
  EXPECT_TRUE(test::fails_with([&] { parse_cli_entry(arguments, kDefault); }, code, message))
      << testing::PrintToString(arguments);
}

void expect_usage(const Args& arguments, const std::string& message) { expect_failure(arguments, "usage", message); }

// The command grammar written out independently of the implementation. A valid
// line is words + operands + required; `ids` lists operand positions that must be
// identifiers.
struct Shape {
  Args words;
  Args operands;
  Args values;
  Args flags;
  Args required;
  std::vector<std::size_t> ids;
};

const std::vector<Shape> kShapes = {
    {{"list"}, {}, {}, {}, {}, {}},
    {{"available"}, {}, {}, {}, {}, {}},
    {{"notices"}, {}, {}, {}, {}, {}},
    {{"preload"}, {"g"}, {"--build"}, {}, {}, {0}},
    {{"preloads", "discard"}, {"g"}, {"--build"}, {}, {"--build", "b"}, {0}},
    {{"preloads"}, {}, {}, {}, {}, {}},
    {{"status"}, {"g"}, {}, {}, {}, {0}},
    {{"manage"}, {"g"}, {}, {}, {}, {0}},
    {{"locations"}, {"g"}, {}, {}, {}, {0}},
    {{"self", "status"}, {}, {}, {}, {}, {}},
    {{"self", "update"}, {}, {}, {}, {}, {}},
    {{"self", "cleanup"}, {}, {}, {}, {}, {}},
    {{"service", "status"}, {}, {}, {"--cached"}, {}, {}},
    {{"crashes", "list"}, {}, {}, {"--all"}, {}, {}},
    {{"crashes", "cleanup"}, {}, {}, {}, {}, {}},
    {{"agreements", "show"}, {"a"}, {}, {}, {}, {0}},
    {{"agreements", "agree"}, {"a"}, {"--agreement-version"}, {"--age-16-or-older"}, {"--agreement-version", "3"}, {0}},
    {{"agreements", "withdraw"}, {"a"}, {}, {}, {}, {0}},
    {{"agreements"}, {}, {}, {}, {}, {}},
    {{"crashes", "show"}, {"r"}, {}, {}, {}, {0}},
    {{"crashes", "discard"}, {"r"}, {}, {}, {}, {0}},
    {{"crashes", "restore"}, {"r"}, {}, {}, {}, {0}},
    {{"crashes", "delete"}, {"r"}, {"--confirm-report"}, {}, {"--confirm-report", "r"}, {0}},
    {{"crashes", "send"}, {"r"}, {"--consent-version"}, {"--age-16-or-older"}, {"--consent-version", "v2"}, {0}},
    {{"settings", "get"}, {}, {}, {}, {}, {}},
    {{"settings", "set"}, {"Theme Key", "{\"a\":[1,true,null]}"}, {}, {}, {}, {}},
    {{"operations", "list"}, {}, {}, {}, {}, {}},
    {{"operations", "show"}, {"op"}, {}, {}, {}, {0}},
    {{"operations", "wait"}, {"op"}, {}, {}, {}, {0}},
    {{"operations", "cancel"}, {"op"}, {}, {}, {}, {0}},
    {{"operations", "retry"}, {"op"}, {}, {}, {}, {0}},
    {{"repository", "configure"},
     {},
     {"--origin", "--root", "--ca-bundle"},
     {},
     {"--origin", "https://example.test", "--root", "/r/root.json"},
     {}},
    {{"updates", "check"}, {}, {}, {"--background"}, {}, {}},
    {{"updates", "show"}, {"g"}, {}, {}, {}, {0}},
    {{"updates", "defer"}, {"g"}, {"--build"}, {}, {"--build", "b"}, {0}},
    {{"install"}, {"g"}, {}, {"--launch"}, {}, {0}},
    {{"update"}, {"g"}, {"--build", "--session"}, {"--launch", "--after-exit"}, {}, {0}},
    {{"repair"}, {"g"}, {}, {}, {}, {0}},
    {{"verify"}, {"g"}, {}, {}, {}, {0}},
    {{"rollback"}, {"g"}, {}, {}, {}, {0}},
    {{"launch"}, {"g"}, {}, {"--play-current"}, {}, {0}},
    {{"observe"}, {"g"}, {"--session"}, {}, {}, {0}},
    {{"uninstall"}, {"g"}, {"--confirm-game"}, {"--remove-saves"}, {"--confirm-game", "g"}, {0}},
    {{"channel", "set"}, {"g", "beta"}, {}, {}, {}, {0, 1}},
    {{"channel", "unlock"}, {"g"}, {}, {}, {}, {0}},
    {{"open"}, {"g", "saves"}, {}, {}, {}, {0}},
};

const Args kAllValueOptions = {"--create",          "--remove",          "--origin",           "--root",
                               "--ca-bundle",       "--confirm-cleanup", "--confirm-report",   "--consent-version",
                               "--build",           "--session",         "--confirm-game",     "--game",
                               "--manifest-target", "--keep-bytes",      "--agreement-version"};

bool has(const Args& list, const std::string& word) { return std::find(list.begin(), list.end(), word) != list.end(); }

TEST(CliGrammar, EveryCommandAcceptsItsShapeAndRefusesOthers) {
  std::set<std::string> all_flags = {"--remove-data"};
  for (const Shape& shape : kShapes) all_flags.insert(shape.flags.begin(), shape.flags.end());

  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(testing::PrintToString(shape.words));
    const Args valid = concat(concat(shape.words, shape.operands), shape.required);
    CliEntry entry = parse_cli_entry(valid, kDefault);
    EXPECT_EQ(entry.arguments, valid);
    EXPECT_FALSE(entry.help);

    // Operand counts in both directions.
    expect_usage(concat(valid, {"extra"}), "Wrong number of command operands; run trelk --help");
    if (!shape.operands.empty()) {
      Args fewer(shape.operands.begin(), shape.operands.end() - 1);
      expect_usage(concat(concat(shape.words, fewer), shape.required),
                   "Wrong number of command operands; run trelk --help");
      Args blank = shape.operands;
      blank[0] = "";
      expect_usage(concat(concat(shape.words, blank), shape.required), "Command operands must not be empty");
    }
    for (std::size_t id : shape.ids) {
      Args bad = shape.operands;
      bad[id] = "Not_An_Id";
      expect_usage(concat(concat(shape.words, bad), shape.required), kIdentifierMessage);
    }

    // Options: unknown ones, other commands' ones, and repeats of its own.
    expect_usage(concat(valid, {"--bogus"}), "Unsupported option: --bogus");
    for (const std::string& flag : all_flags) {
      if (has(shape.flags, flag)) {
        expect_usage(concat(valid, {flag, flag}), "Duplicate option: " + flag);
      } else {
        expect_usage(concat(valid, {flag}), "Unsupported option: " + flag);
      }
    }
    for (const std::string& option : kAllValueOptions) {
      if (has(shape.values, option)) {
        expect_usage(concat(valid, {option, "x1", option, "x2"}), "Duplicate or missing option value: " + option);
      } else {
        expect_usage(concat(valid, {option, "x1"}), "Unsupported option: " + option);
      }
    }
  }
}

TEST(CliGrammar, PerCommandRules) {
  const std::string uninstall = "Specify uninstall GAME --confirm-game GAME; add --remove-saves only to delete saves";
  const std::string repository = "Repository setup needs --origin and an out-of-band trusted --root";
  const std::string update =
      "Use update GAME --after-exit --build BUILD [--session SESSION], or update GAME [--launch]";
  const struct {
    Args arguments;
    std::string code;
    std::string message;
  } cases[] = {
      {{"crashes", "delete", "r", "--confirm-report", "s"},
       "confirmation_required",
       "Confirm the exact report with --confirm-report REPORT"},
      {{"uninstall", "g", "--remove-saves", "--confirm-game", "h"}, "confirmation_required", uninstall},
      {{"agreements", "agree", "a", "--age-16-or-older"},
       "agreement_version",
       "Read it with agreements show ID, then agree with --agreement-version VERSION"},
      {{"crashes", "send", "r", "--age-16-or-older"},
       "crash_consent",
       "Review the report, then supply its exact --consent-version"},
      {{"repository", "configure", "--origin", "https://o"}, "usage", repository},
      {{"updates", "defer", "g"}, "usage", "Deferral needs --build BUILD"},
      {{"settings", "set", "k", "{\"a\":1,\"a\":2}"}, "usage", "Setting value must be bounded valid JSON"},
      {{"open", "g", "cache"}, "usage", "Open expects content, saves or state"},
      {{"update", "g", "--after-exit"}, "usage", update},
      {{"self", "uninstall", "now"}, "usage", "Use self uninstall [--remove-data]"},
      {{"self", "shortcut", "remove", "--game", "g"},
       "usage",
       "Use self shortcut create [--game GAME] or self shortcut remove"},
      {{"self", "shortcut", "create", "--game", "G"}, "usage", kIdentifierMessage},
      // The first entry whose words prefix the line wins; a one-word entry needs no second word.
      {{"preloads", "discard", "g"}, "usage", "Removing a preload needs GAME --build BUILD"},
      {{"self", "destruct"}, "usage", "Unknown command; run trelk --help"},
  };
  for (const auto& c : cases) expect_failure(c.arguments, c.code, c.message);
  for (const Args& good :
       {Args{"update", "g", "--session", "s", "--after-exit", "--build", "b"},
        Args{"uninstall", "g", "--confirm-game", "g", "--remove-saves"}, Args{"self", "uninstall", "--remove-data"},
        Args{"self", "shortcut", "create", "--game", "g"}})
    EXPECT_NO_THROW(parse_cli_entry(good, kDefault)) << testing::PrintToString(good);
}

TEST(CliEntry, GlobalOptionsHelpAndBounds) {
  CliEntry entry = parse_cli_entry({"list", "--json", "--data-dir", "/d"}, kDefault);
  EXPECT_EQ(entry.arguments, Args{"list"});
  EXPECT_TRUE(entry.json && entry.data_dir_given && !entry.help);
  EXPECT_EQ(entry.data_dir, "/d");
  // A value is never a global option: "--json" here is a build id.
  EXPECT_FALSE(parse_cli_entry({"preload", "g", "--build", "--json"}, kDefault).json);
  for (const Args& help : {Args{}, Args{"--json"}, Args{"--help", "no-such", "--x"}})
    EXPECT_TRUE(parse_cli_entry(help, kDefault).help) << testing::PrintToString(help);
  expect_usage({"--data-dir", "/a", "--data-dir", "/b"}, "Duplicate global option: --data-dir");

  // The JSON flag is known before any check fails, so even that failure is reported as a document.
  bool json = false;
  Args too_many(129, "list");
  too_many[128] = "--json";
  EXPECT_TRUE(test::fails_with([&] { parse_cli_entry(too_many, kDefault, &json); }, "usage",
                               "CLI invocation exceeds 128 arguments"));
  EXPECT_TRUE(json);
  Args most(128, "g");
  most[0] = "status";
  expect_usage(most, "Wrong number of command operands; run trelk --help");
  expect_usage({"status", std::string(16385, 'a')}, "CLI argument exceeds its bound or contains NUL");
  expect_usage({"status", std::string("g\0", 2)}, "CLI argument exceeds its bound or contains NUL");
  EXPECT_NO_THROW(parse_cli_entry({"settings", "set", "k", "\"" + std::string(16382, 'a') + "\""}, kDefault));
}

}  // namespace
}  // namespace trelk
