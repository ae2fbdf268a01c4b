#include "games/installed.hpp"

#include <gtest/gtest.h>
#include <functional>
#include <string>

#include "core/digest.hpp"
#include "desktop/desktop_fixture.hpp"
#include "snapshot/snapshot_fixture.hpp"
#include "support/errors.hpp"
#include "support/run_program.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

// The shared data root with the game "star" installed as version "v1"; its program is the fake_game test program.
struct InstalledFixture : test::DataRootFixture {
  fs::path game_root = data_root / "games/star";
  fs::path directory = game_root / "versions/v1";
  fs::path program = directory / "bin/game";
  json manifest;

  InstalledFixture() {
    fs::create_directories(program.parent_path());
    fs::copy_file(fs::path(TRELK_TEST_PROGRAMS) / "fake_game", program);
    manifest = test::inventory_document({{"bin/game", test::read_file(program), true}}, "s");
    manifest.update({{"kind", "trelk-game-release"}, {"game_id", "star"}, {"name", "Star"}, {"build_id", "build-7"}});
    write_record(embedded_record());
  }
  json embedded_record() const {
    return {{"installed", true}, {"game_id", "star"}, {"active", {{"version", "v1"}, {"manifest", manifest}}}};
  }
  void write_record(const json& record) const { test::write_file(game_root / "record.json", record.dump()); }
  bool refused(const std::string& code, const std::string& message) const {
    return test::fails_with([&] { locate_installed_game(data_root, "star"); }, code, message);
  }
};

// The game is started as a child and by image replacement, found only while its record, stored manifest and program
// agree, and, when shipped with its platform file, found beside the executable.
TEST(InstalledGame, IsStartedOnlyWhileItsRecordManifestAndProgramAgreeOrFromItsPlatformFile) {
  InstalledFixture f;
  const fs::path marker = f.directory / "game-ran.txt";
  const std::string ran = f.directory.string() + "\n1\n";
  EXPECT_EQ(start_installed_game(f.data_root, "star", false), 0);
  EXPECT_TRUE(test::eventually([&] { return fs::exists(marker) && test::read_file(marker) == ran; }));
  fs::remove(marker);
  // Replacing the image is the only way out that gives the game's status.
  EXPECT_EXIT(start_installed_game(f.data_root, "star", true), testing::ExitedWithCode(42), "");
  EXPECT_EQ(test::read_file(marker), ran);
  fs::permissions(f.program, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRELK_ERROR(start_installed_game(f.data_root, "star", false), "process_start",
                     "The game could not be started");

  const std::tuple<std::function<void(json&)>, const char*, const char*> broken[] = {
      {[](json& r) { r["installed"] = "true"; }, "not_installed", "The game is not installed"},
      {[](json& r) { r["active"]["version"] = "../v1"; }, "invalid_identity", ""},
      {[](json& r) { r["active"].erase("version"); }, "invalid_state", "Install record is malformed"},
      {[](json& r) { r["active"]["manifest"]["platform"] = "windows-x86_64"; }, "platform_mismatch",
       "Installed game build is for another platform"},
      {[](json& r) { r["active"]["manifest_ref"] = std::string(63, 'a'); }, "invalid_state",
       "Installed manifest reference is malformed"},
  };
  for (const auto& [change, code, message] : broken) {
    json record = f.embedded_record();
    change(record);
    f.write_record(record);
    EXPECT_TRUE(f.refused(code, message)) << record.dump();
  }

  // The manifest stored under its digest; one byte more is still JSON with the same meaning to a parser.
  const std::string bytes = f.manifest.dump(2), ref = digest(bytes, "sha256");
  const fs::path stored = f.game_root / ("verified-manifests/application-" + ref + ".json");
  test::write_file(stored, bytes);
  f.write_record({{"installed", true}, {"game_id", "star"}, {"active", {{"version", "v1"}, {"manifest_ref", ref}}}});
  const InstalledGame game = locate_installed_game(f.data_root, "star");
  EXPECT_EQ(game.executable.string() + "|" + game.directory.string() + "|" + game.build,
            f.program.string() + "|" + f.directory.string() + "|build-7");
  test::write_file(stored, bytes + " ");
  EXPECT_TRUE(f.refused("content_mismatch", "The stored game manifest changed"));
  test::write_file(stored, bytes);
  const auto size = fs::file_size(f.program);
  for (const auto changed : {size - 1, size + 1}) {
    fs::resize_file(f.program, changed);
    EXPECT_TRUE(f.refused("content_mismatch", "The game's program is missing or changed"));
  }

  // A shipped game is found beside the executable through its platform file.
  const json platform = {{"schema_version", 1}, {"game_id", "star"},        {"name", "Star Field"},
                         {"build", "b1"},       {"executable", "bin/star"}, {"crash_service", "https://c.example.org"}};
  for (const auto& [member, value, message] :
       {std::tuple{"extra", json(1), "trelk-platform.json has an unknown field: extra"},
        std::tuple{"crash_service", json("https://c.example.org/path"), ""}}) {
    json changed = platform;
    changed[member] = value;
    EXPECT_TRELK_ERROR(parse_platformed_game(changed, f.temp.path()), "platformed_config", message);
  }
  EXPECT_EQ(platformed_game(), std::nullopt);  // the test binary ships without one

  const fs::path app = f.temp / "app";
  test::write_file(app / "trelk-platform.json", platform.dump());
  fs::copy_file(fs::path(TRELK_TEST_PROGRAMS) / "platformed_locate", app / "platformed_locate");
  auto locate = [&](const std::string& game) {
    return test::run_program(app / "platformed_locate", {f.data_root, game}, {}).out;
  };
  EXPECT_EQ(locate("star"), "missing_file: The game's program is missing\n");
  test::write_file(app / "bin/star", "program");
  EXPECT_EQ(locate("star"), (app / "bin/star").string() + "\n" + app.string() + "\nb1\n");
  EXPECT_EQ(locate("other"), "not_installed: The game is not installed\n");  // others come from the record
}

}  // namespace
}  // namespace trelk
