#include "bootstrap/contract.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

json file_entry(const std::string& path, int mode, std::uint64_t length = 10) {
  return json{{"path", path}, {"length", length}, {"mode", mode}, {"sha256", std::string(64, 'a')}};
}

// A valid update document for this machine; tests then break one rule each.
json release(const std::string& platform = "linux-x86_64") {
  const std::string entry = platform == "windows-x86_64" ? "bin/trelk-bootstrap.exe" : "bin/trelk-bootstrap";
  return json{
      {"schema_version", 1},
      {"kind", "trelk-bootstrap-release"},
      {"bootstrap_abi", 1},
      {"build_id", "b1"},
      {"platform", platform},
      {"executable", entry},
      {"archive", {{"format", "tar.zst-v1"}, {"target", "b.tar.zst"}, {"length", 5}, {"sha256", std::string(64, 'b')}}},
      {"files", {file_entry(entry, 493), file_entry("share/readme.txt", 420)}},
      {"expanded_length", 20},
      {"runtime_lease_abi", 1},
      {"application_schema", {{"minimum", 1}, {"maximum", 1}}}};
}

void recount(json& document) {
  std::uint64_t total = 0;
  for (const auto& file : document["files"]) total += file["length"].get<std::uint64_t>();
  document["expanded_length"] = total;
}

void expect_contract(const json& document, const std::string& code, const std::string& message, bool update = false) {
  const SnapshotManifest manifest = SnapshotManifest::parse(document);
  EXPECT_TRUE(test::fails_with(
      [&] { update ? validate_bootstrap_update(manifest) : validate_bootstrap_contract(manifest); }, code, message))
      << document.dump();
}

TEST(BootstrapContract, InitialContract) {
  EXPECT_NO_THROW(validate_bootstrap_update(SnapshotManifest::parse(release())));
  json abi = release();
  abi["bootstrap_abi"] = 2;
  expect_contract(abi, "launcher_incompatible", "Initial bootstrap schema or ABI is unsupported");
  json helper = release();
  helper["files"].push_back(file_entry("bin/helper", 493));
  recount(helper);
  expect_contract(helper, "invalid_native_package",
                  "Initial bootstrap snapshot contains an undeclared executable helper");
}

TEST(BootstrapContract, UpdateRulesAndBounds) {
  json lease = release();
  lease.erase("runtime_lease_abi");
  expect_contract(lease, "launcher_incompatible", "Bootstrap updates require the current native lifetime contract",
                  true);
  json schema = release();
  schema["application_schema"]["maximum"] = 2;
  expect_contract(schema, "launcher_incompatible", "Bootstrap update data contract is unsupported", true);
  // A Windows image fits the contract but not this machine.
  EXPECT_NO_THROW(validate_bootstrap_contract(SnapshotManifest::parse(release("windows-x86_64"))));
  expect_contract(release("windows-x86_64"), "launcher_incompatible", "Bootstrap update targets another platform",
                  true);

  // Exactly 4,096 files and 2^30 bytes pass; one file or byte more does not.
  const std::uint64_t gib = std::uint64_t{1} << 30;
  json largest = release();
  largest["files"] = json::array({file_entry("bin/trelk-bootstrap", 493, gib - 4095)});
  for (int i = 1; i < 4096; ++i) largest["files"].push_back(file_entry("data/f" + std::to_string(i), 420, 1));
  recount(largest);
  largest["archive"]["length"] = gib;
  EXPECT_NO_THROW(validate_bootstrap_update(SnapshotManifest::parse(largest)));
  const std::string size = "Bootstrap update exceeds its size limit";
  json more_files = largest;
  more_files["files"].push_back(file_entry("data/extra", 420, 0));
  expect_contract(more_files, "size_limit", size, true);
  json more_bytes = largest;
  more_bytes["files"][1]["length"] = 2;
  recount(more_bytes);
  expect_contract(more_bytes, "size_limit", size, true);
}

TEST(BootstrapContract, InstalledRootAndTheSharedLifetimeLock) {
  EXPECT_EQ(installed_data_root("/home/u/.local/share/trelk/native/bootstrap/bin/trelk-bootstrap"),
            fs::path("/home/u/.local/share/trelk"));
  EXPECT_EQ(installed_data_root("/opt/x/bin/trelk-bootstrap"), std::nullopt);
  EXPECT_TRELK_ERROR(installed_data_root("/r/x/../native/bootstrap/bin/trelk-bootstrap"), "unsafe_path",
                     "Bootstrap image path must be absolute and normalized");

  test::TempDir temp;
  const fs::path root = temp / "data";
  const fs::path image = root / installed_bootstrap_entry;
  test::write_file(image, "image");
  EXPECT_EQ(bootstrap_lifetime(temp / "elsewhere/bin/trelk-bootstrap"), nullptr);
  {
    // Two bootstraps may run at once on one installation; an installer or update may not.
    auto first = bootstrap_lifetime(image);
    auto second = bootstrap_lifetime(image);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    struct stat status {};
    ASSERT_EQ(::lstat((root / native_bootstrap_lock).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_TRELK_ERROR(
        NativeFileLock(root / native_bootstrap_lock, false, NativeLockSharing::none, LockMode::exclusive), "busy",
        "Another worker owns this native installation");
  }
  EXPECT_NO_THROW(NativeFileLock(root / native_bootstrap_lock, false, NativeLockSharing::none, LockMode::exclusive));
  test::write_file(root / native_setup_marker, "");
  EXPECT_TRELK_ERROR(bootstrap_lifetime(image), "native_install_incomplete", "");
}

}  // namespace
}  // namespace trelk
