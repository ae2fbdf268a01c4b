// Exit statuses and report documents of the real trelk-bootstrap.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bootstrap/cli_grammar.hpp"
#include "core/json.hpp"
#include "support/run_program.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

test::Outcome run_bootstrap(const std::vector<std::string>& arguments) {
  test::TempDir home;
  return test::run_program(std::string(TRELK_BIN_DIR) + "/trelk-bootstrap", arguments,
                           {{"HOME", home.path().string()}, {"TRELK_NO_DIALOGS", "1"}});
}

void expect_outcome(const std::vector<std::string>& arguments, int status, const std::string& out,
                    const std::string& err) {
  const test::Outcome outcome = run_bootstrap(arguments);
  EXPECT_EQ(outcome.status, status) << testing::PrintToString(arguments);
  EXPECT_EQ(outcome.out, out);
  EXPECT_EQ(outcome.err, err);
}

TEST(BootstrapBinary, ExitStatusesAndProblemDocuments) {
  expect_outcome({"--gui", "--cli"}, 2, "", "Duplicate native entry option: interface\n");
  // Terminal control bytes from the command line never reach the terminal.
  expect_outcome({"--\x1b[31m"}, 2, "", "Unsupported native bootstrap option: --?[31m\n");
  expect_outcome({"--cli", "--", "list", "extra"}, 2, "", "Wrong number of command operands; run trelk --help\n");
  expect_outcome({"--cli", "--", "--data-dir", "/elsewhere", "list"}, 2, "",
                 "Set the data directory on the native bootstrap, before forwarded arguments\n");
  expect_outcome({"--cli", "--", "uninstall", "g", "--confirm-game", "h"}, 3, "",
                 "Specify uninstall GAME --confirm-game GAME; add --remove-saves only to delete saves\n");
  expect_outcome({"--game", "Not-An-Id"}, 1, "",
                 "Game and build IDs use lower-case letters, digits, dots and hyphens\n");

  // With --json the problem goes to standard output as a document; non-ASCII is escaped and
  // invalid UTF-8 replaced rather than failing the report.
  expect_outcome({"--cli", "--", "no-such", "--json"}, 2,
                 "{\"problem\":{\"code\":\"usage\",\"message\":\"Unknown command; run trelk --help\",\"recovery\":[]},"
                 "\"schema_version\":1}\n",
                 "");
  const test::Outcome escaped = run_bootstrap({"--cli", "--", "--json", "list", "--\xc3\xbc\xff"});
  EXPECT_EQ(escaped.status, 2);
  EXPECT_NE(escaped.out.find("\"Unsupported option: --\\u00fc\\ufffd\""), std::string::npos) << escaped.out;
}

TEST(BootstrapBinary, HelpAsTextAndAsDocument) {
  expect_outcome({"--cli", "--", "--help", "not-a-command"}, 0, cli_help(), "");
  ASSERT_EQ(cli_help().rfind("Trelk ", 0), 0u);
  const json document = {{"kind", "help"}, {"schema_version", 1}, {"text", cli_help()}};
  expect_outcome({"--cli", "--", "--json", "--help"}, 0, document.dump() + "\n", "");
}

}  // namespace
}  // namespace trelk
