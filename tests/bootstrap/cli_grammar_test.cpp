#include "bootstrap/cli_grammar.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/errors.hpp"
#include "core/error.hpp"

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
  Error error = test::thrown([&] { parse_cli_entry(arguments, kDefault); });
  EXPECT_EQ(error.code, code) << testing::PrintToString(arguments);
  EXPECT_EQ(std::string(error.what()), message) << testing::PrintToString(arguments);
  EXPECT_TRUE(error.details.empty());
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

TEST(CliGrammar, CommandMatching) {
  // The first entry whose words prefix the line wins; a one-word entry needs no second word.
  EXPECT_EQ(parse_cli_entry({"preloads"}, kDefault).arguments, Args{"preloads"});
  expect_usage({"preloads", "discard", "g"}, "Removing a preload needs GAME --build BUILD");
  expect_usage({"preloads", "g"}, "Wrong number of command operands; run trelk --help");
  expect_usage({"agreements", "shw", "a"}, "Wrong number of command operands; run trelk --help");
  for (const Args& unknown : {Args{"lst"}, Args{"self"}, Args{"crashes"}, Args{"self", "destruct"}, Args{"List"},
                              Args{"--launch", "install", "g"}}) {
    expect_usage(unknown, "Unknown command; run trelk --help");
  }
}

TEST(CliGrammar, PerCommandRules) {
  const struct {
    Args arguments;
    std::string code;
    std::string message;
  } cases[] = {
      {{"crashes", "delete", "r"}, "confirmation_required", "Confirm the exact report with --confirm-report REPORT"},
      {{"crashes", "delete", "r", "--confirm-report", "s"},
       "confirmation_required",
       "Confirm the exact report with --confirm-report REPORT"},
      {{"agreements", "agree", "a", "--age-16-or-older"},
       "agreement_version",
       "Read it with agreements show ID, then agree with --agreement-version VERSION"},
      {{"uninstall", "g"},
       "confirmation_required",
       "Specify uninstall GAME --confirm-game GAME; add --remove-saves only to delete saves"},
      {{"uninstall", "g", "--remove-saves", "--confirm-game", "h"},
       "confirmation_required",
       "Specify uninstall GAME --confirm-game GAME; add --remove-saves only to delete saves"},
      {{"crashes", "send", "r", "--age-16-or-older"},
       "crash_consent",
       "Review the report, then supply its exact --consent-version"},
      {{"repository", "configure", "--origin", "https://o"},
       "usage",
       "Repository setup needs --origin and an out-of-band trusted --root"},
      {{"repository", "configure", "--root", "r", "--ca-bundle", "c"},
       "usage",
       "Repository setup needs --origin and an out-of-band trusted --root"},
      {{"updates", "defer", "g"}, "usage", "Deferral needs --build BUILD"},
      {{"settings", "set", "k", "{"}, "usage", "Setting value must be bounded valid JSON"},
      {{"settings", "set", "k", "1.5"}, "usage", "Setting value must be bounded valid JSON"},
      {{"settings", "set", "k", "{\"a\":1,\"a\":2}"}, "usage", "Setting value must be bounded valid JSON"},
      {{"open", "g", "cache"}, "usage", "Open expects content, saves or state"},
      {{"observe", "g", "--session", "S!"}, "usage", kIdentifierMessage},
      {{"preload", "g", "--build", "B"}, "usage", kIdentifierMessage},
  };
  for (const auto& c : cases) expect_failure(c.arguments, c.code, c.message);

  const std::string update_use =
      "Use update GAME --after-exit --build BUILD [--session SESSION], or update GAME [--launch]";
  for (const Args& bad :
       {Args{"update", "g", "--after-exit"}, Args{"update", "g", "--after-exit", "--build", "b", "--launch"},
        Args{"update", "g", "--build", "b"}, Args{"update", "g", "--session", "s"}}) {
    expect_usage(bad, update_use);
  }
  for (const Args& good :
       {Args{"update", "g", "--launch"}, Args{"update", "g", "--after-exit", "--build", "b"},
        Args{"update", "g", "--session", "s", "--after-exit", "--build", "b"}, Args{"open", "g", "content"},
        Args{"open", "g", "state"}, Args{"uninstall", "g", "--confirm-game", "g", "--remove-saves"},
        Args{"agreements", "agree", "a", "--agreement-version", "3", "--age-16-or-older"},
        Args{"settings", "set", "k", "\"text\""}, Args{"repository", "configure", "--root", "r", "--origin", "o"}}) {
    EXPECT_NO_THROW(parse_cli_entry(good, kDefault)) << testing::PrintToString(good);
  }
}

TEST(CliGrammar, SelfMaintenanceCommands) {
  for (const Args& good :
       {Args{"self", "uninstall"}, Args{"self", "uninstall", "--remove-data"}, Args{"self", "shortcut", "create"},
        Args{"self", "shortcut", "create", "--game", "g"}, Args{"self", "shortcut", "remove"}}) {
    EXPECT_NO_THROW(parse_cli_entry(good, kDefault)) << testing::PrintToString(good);
  }
  const std::string uninstall_use = "Use self uninstall [--remove-data]";
  expect_usage({"self", "uninstall", "--remove-data", "--remove-data"}, uninstall_use);
  expect_usage({"self", "uninstall", "now"}, uninstall_use);
  const std::string shortcut_use = "Use self shortcut create [--game GAME] or self shortcut remove";
  expect_usage({"self", "shortcut"}, shortcut_use);
  expect_usage({"self", "shortcut", "make"}, shortcut_use);
  expect_usage({"self", "shortcut", "remove", "--game", "g"}, shortcut_use);
  expect_usage({"self", "shortcut", "create", "g"}, shortcut_use);
  expect_usage({"self", "shortcut", "create", "--game", "g", "x"}, shortcut_use);
  expect_usage({"self", "shortcut", "create", "--game", "G"}, kIdentifierMessage);
  // The missing game is caught by the value rule before the shortcut rule.
  expect_usage({"self", "shortcut", "create", "--game"}, "Option needs a nonempty value: --game");
}

TEST(CliEntry, GlobalOptionsAndHelp) {
  CliEntry entry = parse_cli_entry({"list", "--json", "--data-dir", "/d"}, kDefault);
  EXPECT_EQ(entry.arguments, Args{"list"});
  EXPECT_TRUE(entry.json);
  EXPECT_FALSE(entry.help);
  EXPECT_TRUE(entry.data_dir_given);
  EXPECT_EQ(entry.data_dir, "/d");

  CliEntry plain = parse_cli_entry({"install", "g", "--launch"}, kDefault);
  EXPECT_EQ(plain.data_dir, kDefault);
  EXPECT_FALSE(plain.data_dir_given);
  EXPECT_FALSE(plain.json);

  // A value is never a global option: "--json" here is a build id.
  bool json = false;
  CliEntry build = parse_cli_entry({"preload", "g", "--build", "--json"}, kDefault, &json);
  EXPECT_EQ(build.arguments, (Args{"preload", "g", "--build", "--json"}));
  EXPECT_FALSE(build.json);
  EXPECT_FALSE(json);

  for (const Args& help :
       {Args{}, Args{"help"}, Args{"--json"}, Args{"--help", "no-such", "command", "--x"}, Args{"--data-dir", "/d"}}) {
    EXPECT_TRUE(parse_cli_entry(help, kDefault).help) << testing::PrintToString(help);
  }
  expect_usage({"help", "list"}, "Unknown command; run trelk --help");

  expect_usage({"--json", "list", "--json"}, "Duplicate global option: --json");
  expect_usage({"--help", "--help"}, "Duplicate global option: --help");
  expect_usage({"--data-dir", "/a", "--data-dir", "/b"}, "Duplicate global option: --data-dir");
  expect_usage({"list", "--data-dir"}, "--data-dir needs a nonempty path");
  expect_usage({"--data-dir", "", "list"}, "--data-dir needs a nonempty path");
  expect_usage({"preload", "g", "--build"}, "Option needs a nonempty value: --build");
  expect_usage({"preload", "g", "--build", ""}, "Option needs a nonempty value: --build");
}

TEST(CliEntry, JsonFlagIsSetBeforeAnyCheck) {
  bool json = false;
  Error error = test::thrown([&] { parse_cli_entry({"no-such", "--json"}, kDefault, &json); });
  EXPECT_EQ(std::string(error.what()), "Unknown command; run trelk --help");
  EXPECT_TRUE(json);

  Args too_many(129, "list");
  too_many[128] = "--json";
  json = false;
  error = test::thrown([&] { parse_cli_entry(too_many, kDefault, &json); });
  EXPECT_EQ(std::string(error.what()), "CLI invocation exceeds 128 arguments");
  EXPECT_TRUE(json);
}

TEST(CliEntry, Bounds) {
  // 129 words fail on the count before the oversized word is looked at.
  Args too_many(129, "x");
  too_many[0] = std::string(16385, 'a');
  expect_usage(too_many, "CLI invocation exceeds 128 arguments");

  Args most(128, "g");
  most[0] = "status";
  expect_usage(most, "Wrong number of command operands; run trelk --help");

  expect_usage({"status", std::string(16385, 'a')}, "CLI argument exceeds its bound or contains NUL");
  expect_usage({"status", std::string("g\0", 2)}, "CLI argument exceeds its bound or contains NUL");
  EXPECT_NO_THROW(parse_cli_entry({"settings", "set", "k", "\"" + std::string(16382, 'a') + "\""}, kDefault));
}

TEST(CliHelp, TextIsExact) {
  const std::string expected =
      "Trelk 0.1.0\n"
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
  EXPECT_EQ(cli_help(), expected);
}

TEST(CliAccessors, OptionsAndFlagsAreConsumed) {
  Args arguments = {"update", "g", "--session", "--launch", "--build", "b", "--launch"};
  // "--launch" after "--session" is that option's value, so the flag is the last word.
  EXPECT_TRUE(cli_flag(arguments, "--launch"));
  EXPECT_EQ(arguments, (Args{"update", "g", "--session", "--launch", "--build", "b"}));
  EXPECT_FALSE(cli_flag(arguments, "--launch"));
  EXPECT_EQ(arguments.size(), 6u);
  EXPECT_EQ(cli_option(arguments, "--build", "none"), "b");
  EXPECT_EQ(cli_option(arguments, "--build", "none"), "none");
  EXPECT_EQ(cli_option(arguments, "--session", ""), "--launch");
  EXPECT_EQ(arguments, (Args{"update", "g"}));
  EXPECT_FALSE(cli_flag(arguments, "--after-exit"));

  Args dangling = {"install", "g", "--launch", "--build"};
  EXPECT_EQ(test::thrown([&] { cli_flag(dangling, "--launch"); }).code, "usage");
  EXPECT_EQ(std::string(test::thrown([&] { cli_option(dangling, "--build", ""); }).what()), "--build needs a value");
  EXPECT_EQ(dangling.size(), 4u);
}

}  // namespace
}  // namespace trelk
