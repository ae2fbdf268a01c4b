#include "bootstrap/cli_grammar.hpp"
#include "bootstrap/options.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/errors.hpp"

namespace trelk {
namespace {

using Args = std::vector<std::string>;
const std::filesystem::path kDefault = "/default/data";

Args concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void expect_failure(const Args& arguments, const std::string& code, const std::string& message) {
  EXPECT_TRUE(test::fails_with([&] { parse_cli_entry(arguments, kDefault); }, code, message))
      << testing::PrintToString(arguments);
}

void expect_usage(const Args& arguments, const std::string& message) { expect_failure(arguments, "usage", message); }

Args split(const std::string& words) {
  std::istringstream in(words);
  return Args(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

// The command grammar written out independently of the implementation. A valid line is
// words + operands + required; `ids` lists operand positions that must be identifiers.
struct Shape {
  std::string words;
  Args operands;
  Args values;
  Args flags;
  Args required;
  std::vector<std::size_t> ids;
};

std::vector<Shape> shapes() {
  std::vector<Shape> all = {
      {"preload", {"g"}, {"--build"}, {}, {}, {0}},
      {"preloads discard", {"g"}, {"--build"}, {}, {"--build", "b"}, {0}},
      {"service status", {}, {}, {"--cached"}, {}, {}},
      {"crashes list", {}, {}, {"--all"}, {}, {}},
      {"agreements agree", {"a"}, {"--agreement-version"}, {"--age-16-or-older"}, {"--agreement-version", "3"}, {0}},
      {"crashes delete", {"r"}, {"--confirm-report"}, {}, {"--confirm-report", "r"}, {0}},
      {"crashes send", {"r"}, {"--consent-version"}, {"--age-16-or-older"}, {"--consent-version", "v2"}, {0}},
      {"settings set", {"Theme Key", "{\"a\":[1,true,null]}"}, {}, {}, {}, {}},
      {"repository configure", {}, {"--origin", "--root", "--ca-bundle"}, {}, {"--origin", "o", "--root", "r"}, {}},
      {"updates check", {}, {}, {"--background"}, {}, {}},
      {"updates defer", {"g"}, {"--build"}, {}, {"--build", "b"}, {0}},
      {"install", {"g"}, {}, {"--launch"}, {}, {0}},
      {"update", {"g"}, {"--build", "--session"}, {"--launch", "--after-exit"}, {}, {0}},
      {"launch", {"g"}, {}, {"--play-current"}, {}, {0}},
      {"observe", {"g"}, {"--session"}, {}, {}, {0}},
      {"uninstall", {"g"}, {"--confirm-game"}, {"--remove-saves"}, {"--confirm-game", "g"}, {0}},
      {"channel set", {"g", "beta"}, {}, {}, {}, {0, 1}},
      {"open", {"g", "saves"}, {}, {}, {}, {0}},
  };
  for (const char* words : {"list", "available", "notices", "preloads", "agreements", "self status", "self update",
                            "self cleanup", "crashes cleanup", "settings get", "operations list"})
    all.push_back({words, {}, {}, {}, {}, {}});
  for (const char* words :
       {"status", "manage", "locations", "repair", "verify", "rollback", "agreements show", "agreements withdraw",
        "crashes show", "crashes discard", "crashes restore", "operations show", "operations wait", "operations cancel",
        "operations retry", "updates show", "channel unlock"})
    all.push_back({words, {"i"}, {}, {}, {}, {0}});
  return all;
}

TEST(CliGrammar, EveryCommandAcceptsItsShapeAndRefusesOthers) {
  const std::string operands = "Wrong number of command operands; run trelk --help";
  std::set<std::string> all_flags = {"--remove-data"}, all_values = {"--game"};
  const std::vector<Shape> all = shapes();
  for (const Shape& shape : all) {
    all_flags.insert(shape.flags.begin(), shape.flags.end());
    all_values.insert(shape.values.begin(), shape.values.end());
  }

  for (const Shape& shape : all) {
    SCOPED_TRACE(shape.words);
    auto line = [&](const Args& operands) { return concat(concat(split(shape.words), operands), shape.required); };
    const Args valid = line(shape.operands);
    EXPECT_EQ(parse_cli_entry(valid, kDefault).arguments, valid);

    expect_usage(concat(valid, {"extra"}), operands);
    if (!shape.operands.empty()) expect_usage(line(Args(shape.operands.begin(), shape.operands.end() - 1)), operands);
    for (std::size_t id : shape.ids) {
      Args bad = shape.operands;
      bad[id] = "Not_An_Id";
      expect_usage(line(bad), "Game, build, session, report and operation IDs must be valid identifiers");
    }

    // Unknown options, other commands' options, and repeats of its own.
    for (const std::string& flag : all_flags) {
      const bool own = std::count(shape.flags.begin(), shape.flags.end(), flag) > 0;
      expect_usage(concat(valid, own ? Args{flag, flag} : Args{flag}),
                   (own ? "Duplicate option: " : "Unsupported option: ") + flag);
    }
    for (const std::string& option : all_values) {
      const bool own = std::count(shape.values.begin(), shape.values.end(), option) > 0;
      expect_usage(concat(valid, own ? Args{option, "x1", option, "x2"} : Args{option, "x1"}),
                   (own ? "Duplicate or missing option value: " : "Unsupported option: ") + option);
    }
  }

  for (const auto& [line, code, message] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"crashes delete r --confirm-report s", "confirmation_required",
            "Confirm the exact report with --confirm-report REPORT"},
           {"agreements agree a --age-16-or-older", "agreement_version",
            "Read it with agreements show ID, then agree with --agreement-version VERSION"},
           {"crashes send r --age-16-or-older", "crash_consent",
            "Review the report, then supply its exact --consent-version"},
           {"repository configure --origin https://o", "usage",
            "Repository setup needs --origin and an out-of-band trusted --root"},
           {"settings set k {\"a\":1,\"a\":2}", "usage", "Setting value must be bounded valid JSON"},
           {"update g --after-exit", "usage",
            "Use update GAME --after-exit --build BUILD [--session SESSION], or update GAME [--launch]"},
           {"self uninstall now", "usage", "Use self uninstall [--remove-data]"},
           {"self shortcut remove --game g", "usage", "Use self shortcut create [--game GAME] or self shortcut remove"},
           // The first entry whose words prefix the line wins; a one-word entry needs no second word.
           {"preloads discard g", "usage", "Removing a preload needs GAME --build BUILD"},
           {"self destruct", "usage", "Unknown command; run trelk --help"}})
    expect_failure(split(line), code, message);
  expect_usage({"status", ""}, "Command operands must not be empty");
  for (const char* good :
       {"update g --session s --after-exit --build b", "self uninstall --remove-data", "self shortcut create --game g"})
    EXPECT_NO_THROW(parse_cli_entry(split(good), kDefault)) << good;
}

TEST(Entries, GlobalOptionsHelpBoundsForwardingAndConflicts) {
  // A value is never a global option: "--json" here is a build id.
  EXPECT_FALSE(parse_cli_entry({"preload", "g", "--build", "--json"}, kDefault).json);
  for (const Args& help : {Args{}, Args{"--json"}, Args{"--help", "no-such", "--x"}})
    EXPECT_TRUE(parse_cli_entry(help, kDefault).help) << testing::PrintToString(help);
  expect_usage({"--data-dir", "/a", "--data-dir", "/b"}, "Duplicate global option: --data-dir");

  // The JSON flag is known before any check fails, so even that failure is reported as a document.
  bool json = false;
  const Args too_many = concat(Args(128, "list"), {"--json"});
  EXPECT_TRUE(test::fails_with([&] { parse_cli_entry(too_many, kDefault, &json); }, "usage",
                               "CLI invocation exceeds 128 arguments"));
  EXPECT_TRUE(json);
  expect_usage(concat({"status"}, Args(127, "g")), "Wrong number of command operands; run trelk --help");
  expect_usage({"status", std::string(16385, 'a')}, "CLI argument exceeds its bound or contains NUL");
  expect_usage({"status", std::string("g\0", 2)}, "CLI argument exceeds its bound or contains NUL");
  EXPECT_NO_THROW(parse_cli_entry({"settings", "set", "k", "\"" + std::string(16382, 'a') + "\""}, kDefault));

  // Everything after "--" is forwarded verbatim; a value is never read as an option.
  const BootstrapEntry cli =
      parse_bootstrap_entry({"--cli", "--data-dir", "--gui", "--", "list", "--cli", "--"}, kDefault);
  EXPECT_EQ(std::tie(cli.interface, cli.data_dir, cli.forwarded),
            std::tuple("cli", std::filesystem::path("--gui"), Args{"list", "--cli", "--"}));
  EXPECT_EQ(parse_bootstrap_entry({"--game", "g-1"}, kDefault).forwarded, (Args{"--launch", "g-1"}));
  EXPECT_EQ(parse_bootstrap_entry({"--game", "g-1", "--cli"}, kDefault).forwarded, (Args{"launch", "g-1"}));
  const BootstrapEntry named =
      parse_bootstrap_entry({"--create-desktop-entry", "/x/e.desktop", "--game", "g"}, kDefault);
  EXPECT_EQ(std::tie(named.desktop_entry, named.name, named.forwarded),
            std::tuple(std::filesystem::path("/x/e.desktop"), "g \xc2\xb7 Trelk", Args{}));

  const GuiEntry launch = parse_gui_entry({"--data-dir", "/d", "--launch", "g"}, kDefault);
  EXPECT_EQ(std::tie(launch.data_dir, launch.launch), std::tuple(std::filesystem::path("/d"), "g"));
  for (const auto& [gui, arguments, message] : std::vector<std::tuple<bool, Args, std::string>>{
           {false, {"--data-dir", "--"}, "--data-dir needs a value"},
           {false, {"--name", "n"}, "--name requires --create-desktop-entry"},
           {false, {"--game", "g", "--"}, "--game cannot be combined with forwarded launcher arguments"},
           {false,
            {"--create-desktop-entry", "e", "--cli"},
            "Desktop entries start the GUI and cannot include forwarded arguments"},
           {true, {"--launch", "g", "--uninstall"}, "--uninstall stands alone"},
           {true, {"--one-frame", "--launch", "g"}, "Game launch cannot run inside a one-frame check"},
           {true, {"--cli"}, "Unsupported native GUI option: --cli"}})
    EXPECT_TRELK_ERROR(
        gui ? (void)parse_gui_entry(arguments, kDefault) : (void)parse_bootstrap_entry(arguments, kDefault), "usage",
        message);
}

}  // namespace
}  // namespace trelk
