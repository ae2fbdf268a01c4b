#include "games/installed.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

template <typename F>
Error game_error(F&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "none");
}

// A data root with the game "star" installed as version "v1"; its program is
// the fake_game test program.
struct InstalledFixture {
  test::TempDir temp;
  fs::path root = temp / "data";
  fs::path game_root = root / "games/star";
  fs::path directory = game_root / "versions/v1";
  fs::path program = directory / "bin/game";
  json manifest;

  InstalledFixture() {
    fs::create_directories(program.parent_path());
    fs::copy_file(fs::path(TRELK_TEST_PROGRAMS) / "fake_game", program);
    const auto size = fs::file_size(program);
    manifest =
        json{{"schema_version", 1},
             {"kind", "trelk-game-release"},
             {"game_id", "star"},
             {"name", "Star"},
             {"build_id", "build-7"},
             {"platform", "linux-x86_64"},
             {"executable", "bin/game"},
             {"archive",
              {{"format", "tar.zst-v1"}, {"target", "star.tar.zst"}, {"length", 1}, {"sha256", std::string(64, 'c')}}},
             {"files",
              {{{"path", "bin/game"}, {"length", size}, {"mode", 493}, {"sha256", digest_file(program, "sha256")}}}},
             {"expanded_length", size}};
    write_record(embedded_record());
  }

  json embedded_record() const {
    return json{{"installed", true}, {"game_id", "star"}, {"active", {{"version", "v1"}, {"manifest", manifest}}}};
  }
  // Stores the manifest bytes under their digest and returns a record that refers to them.
  json stored_record(const std::string& bytes) const {
    const std::string ref = digest(bytes, "sha256");
    test::write_file(game_root / ("verified-manifests/application-" + ref + ".json"), bytes);
    return json{{"installed", true}, {"game_id", "star"}, {"active", {{"version", "v1"}, {"manifest_ref", ref}}}};
  }
  void write_record(const json& record) const { test::write_file(game_root / "record.json", record.dump()); }
};

void expect_refused(const InstalledFixture& f, const std::string& code, const std::string& message) {
  const Error error = game_error([&] { locate_installed_game(f.root, "star"); });
  EXPECT_EQ(error.code, code) << message;
  EXPECT_EQ(std::string(error.what()), message);
}

// Waits for the game's marker; a generous bound only guards against a hang.
std::string wait_for_marker(const fs::path& directory) {
  const fs::path marker = directory / "game-ran.txt";
  for (int i = 0; i < 2000 && !fs::exists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return fs::exists(marker) ? test::read_file(marker) : std::string();
}

TEST(InstalledGame, LocatesTheActiveBuildFromEmbeddedAndStoredManifests) {
  InstalledFixture f;
  InstalledGame game = locate_installed_game(f.root, "star");
  EXPECT_EQ(game.executable, f.program);
  EXPECT_EQ(game.directory, f.directory);
  EXPECT_EQ(game.build, "build-7");

  f.write_record(f.stored_record(f.manifest.dump(2)));
  game = locate_installed_game(f.root, "star");
  EXPECT_EQ(game.executable, f.program);
}

TEST(InstalledGame, RecordChecks) {
  InstalledFixture f;
  const std::string not_installed = "The game is not installed";
  json record = f.embedded_record();
  record["installed"] = false;
  f.write_record(record);
  expect_refused(f, "not_installed", not_installed);
  record = f.embedded_record();
  record["installed"] = "true";
  f.write_record(record);
  expect_refused(f, "not_installed", not_installed);
  record = f.embedded_record();
  record["game_id"] = "Star";
  f.write_record(record);
  expect_refused(f, "not_installed", not_installed);
  fs::remove(f.game_root / "record.json");
  expect_refused(f, "not_installed", not_installed);
  EXPECT_EQ(game_error([&] { locate_installed_game(f.root, "Star"); }).code, "invalid_identity");

  record = f.embedded_record();
  record["active"]["version"] = "../v1";
  f.write_record(record);
  EXPECT_EQ(game_error([&] { locate_installed_game(f.root, "star"); }).code, "invalid_identity");
  record = f.embedded_record();
  record["active"].erase("version");
  f.write_record(record);
  expect_refused(f, "invalid_state", "Install record is malformed");

  // A version directory reached through a link is refused.
  fs::rename(f.directory, f.game_root / "versions/real");
  fs::create_directory_symlink(f.game_root / "versions/real", f.directory);
  f.write_record(f.embedded_record());
  expect_refused(f, "unsafe_path", "Managed path contains a symbolic link");
}

TEST(InstalledGame, StoredManifestDigest) {
  InstalledFixture f;
  const std::string bytes = f.manifest.dump();
  json record = f.stored_record(bytes);
  const std::string ref = record["active"]["manifest_ref"];

  record["active"]["manifest_ref"] = ref.substr(0, 63);
  f.write_record(record);
  expect_refused(f, "invalid_state", "Installed manifest reference is malformed");
  record["active"]["manifest_ref"] = 7;
  f.write_record(record);
  expect_refused(f, "invalid_state", "Installed manifest reference is malformed");

  // One byte changed, still valid JSON with the same meaning to a parser.
  record["active"]["manifest_ref"] = ref;
  f.write_record(record);
  const fs::path stored = f.game_root / ("verified-manifests/application-" + ref + ".json");
  test::write_file(stored, bytes + " ");
  expect_refused(f, "content_mismatch", "The stored game manifest changed");
  fs::remove(stored);
  EXPECT_EQ(game_error([&] { locate_installed_game(f.root, "star"); }).code, "file_read");
}

TEST(InstalledGame, PlatformAndSizeChecks) {
  InstalledFixture f;
  json record = f.embedded_record();
  record["active"]["manifest"]["platform"] = "windows-x86_64";
  f.write_record(record);
  expect_refused(f, "platform_mismatch", "Installed game build is for another platform");

  f.write_record(f.embedded_record());
  const auto size = fs::file_size(f.program);
  fs::resize_file(f.program, size - 1);
  expect_refused(f, "content_mismatch", "The game's program is missing or changed");
  fs::resize_file(f.program, size + 1);
  expect_refused(f, "content_mismatch", "The game's program is missing or changed");
  fs::remove(f.program);
  expect_refused(f, "content_mismatch", "The game's program is missing or changed");
}

TEST(InstalledGame, StartsTheGameAsAChild) {
  InstalledFixture f;
  EXPECT_EQ(start_installed_game(f.root, "star", false), 0);
  EXPECT_EQ(wait_for_marker(f.directory), f.directory.string() + "\n1\n");

  fs::permissions(f.program, fs::perms::owner_read | fs::perms::owner_write);
  const Error error = game_error([&] { start_installed_game(f.root, "star", false); });
  EXPECT_EQ(error.code, "process_start");
  EXPECT_EQ(std::string(error.what()), "The game could not be started");
}

TEST(InstalledGame, StartsTheGameByImageReplacement) {
  InstalledFixture f;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    try {
      start_installed_game(f.root, "star", true);
    } catch (...) {
    }
    _exit(99);  // only reached when the image was not replaced
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 42);
  ASSERT_TRUE(fs::exists(f.directory / "game-ran.txt"));
  EXPECT_EQ(test::read_file(f.directory / "game-ran.txt"), f.directory.string() + "\n1\n");
}

json platform_document() {
  return json{{"schema_version", 1}, {"game_id", "star"},        {"name", "Star Field"},
              {"build", "b1"},       {"executable", "bin/star"}, {"crash_service", "https://crash.example.org"}};
}

json with_member(const std::string& member, const json& value) {
  json document = platform_document();
  if (value.is_null()) {
    document.erase(member);
  } else {
    document[member] = value;
  }
  return document;
}

TEST(PlatformFile, ParsesAndRefuses) {
  test::TempDir temp;
  const PlatformedGame game = parse_platformed_game(platform_document(), temp.path());
  EXPECT_EQ(game.game_id, "star");
  EXPECT_EQ(game.name, "Star Field");
  EXPECT_EQ(game.channel, "stable");
  EXPECT_EQ(game.executable, temp / "bin/star");
  EXPECT_EQ(game.directory, temp.path());
  EXPECT_FALSE(game.ca_bundle);

  auto expect = [&](const json& document, const std::string& message) {
    const Error error = game_error([&] { parse_platformed_game(document, temp.path()); });
    EXPECT_EQ(error.code, "platformed_config") << document.dump();
    EXPECT_EQ(std::string(error.what()), message) << document.dump();
  };
  const auto with = with_member;
  expect(with("extra", 1), "trelk-platform.json has an unknown field: extra");
  expect(with("schema_version", 2), "trelk-platform.json is not a version 1 platform file");
  expect(json::array(), "trelk-platform.json is not a version 1 platform file");
  expect(with("name", nullptr), "trelk-platform.json needs a \"name\" text");
  expect(with("build", 5), "trelk-platform.json needs a \"build\" text");
  expect(with("channel", true), "trelk-platform.json needs a \"channel\" text");
  for (const auto& [member, value] :
       std::vector<std::pair<std::string, std::string>>{{"crash_service", "https://crash.example.org/path"},
                                                        {"crash_service", "http://crash.example.org"},
                                                        {"crash_service", "https://user@crash.example.org"},
                                                        {"crash_service", "https://a b"},
                                                        {"crash_service", "https://"},
                                                        {"game_id", "Star"},
                                                        {"game_id", std::string(129, 'a')},
                                                        {"build", "b/1"},
                                                        {"name", std::string(201, 'n')},
                                                        {"executable", "../escape"},
                                                        {"executable", "/abs"}}) {
    const Error error = game_error([&] { parse_platformed_game(with(member, value), temp.path()); });
    EXPECT_EQ(error.code, "platformed_config") << value;
    EXPECT_TRUE(std::string(error.what()).starts_with("trelk-platform.json has an unusable \"" + member + "\""))
        << error.what();
  }

  const PlatformedGame beta = parse_platformed_game(with("channel", "beta"), temp.path());
  EXPECT_EQ(beta.channel, "beta");

  EXPECT_EQ(read_platformed_game(temp / "trelk-platform.json"), std::nullopt);
  test::write_file(temp / "trelk-platform.json", platform_document().dump());
  const auto read = read_platformed_game(temp / "trelk-platform.json");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->build, "b1");
  test::write_file(temp / "trelk-platform.json", std::string(16385, ' '));
  EXPECT_EQ(game_error([&] { read_platformed_game(temp / "trelk-platform.json"); }).code, "size_limit");

  // The test binary ships without a platform file.
  EXPECT_EQ(platformed_game(), std::nullopt);
  EXPECT_EQ(platformed_game("star"), std::nullopt);
}

std::string run_locate(const fs::path& program, const fs::path& root, const std::string& game) {
  std::string command = "'";
  command += program.string();
  command += "' '";
  command += root.string();
  command += "' ";
  command += game;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  std::string output;
  char buffer[1024];
  std::size_t count = 0;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  pclose(pipe);
  return output;
}

TEST(PlatformFile, LocatesTheShippedGameBesideTheExecutable) {
  InstalledFixture f;
  const fs::path app = f.temp / "app";
  fs::create_directories(app / "bin");
  const fs::path program = app / "platformed_locate";
  fs::copy_file(fs::path(TRELK_TEST_PROGRAMS) / "platformed_locate", program);
  test::write_file(app / "trelk-platform.json", platform_document().dump());

  EXPECT_EQ(run_locate(program, f.root, "star"), "missing_file: The game's program is missing\n");
  test::write_file(app / "bin/star", "program");
  EXPECT_EQ(run_locate(program, f.root, "star"), (app / "bin/star").string() + "\n" + app.string() + "\nb1\n");
  // Other games still come from the install record.
  EXPECT_EQ(run_locate(program, f.root, "other"), "not_installed: The game is not installed\n");

  test::write_file(app / "trelk-platform.json", with_member("extra", 1).dump());
  EXPECT_EQ(run_locate(program, f.root, "star"),
            "platformed_config: trelk-platform.json has an unknown field: extra\n");
}

}  // namespace
}  // namespace trelk
