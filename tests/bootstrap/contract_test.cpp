#include "bootstrap/contract.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

json file_entry(const std::string& path, int mode, std::uint64_t length = 10) {
  return json{{"path", path}, {"length", length}, {"mode", mode}, {"sha256", std::string(64, 'a')}};
}

// A valid update document for this machine with these extra files; tests then break one rule each.
json release(const std::vector<json>& extra = {}, const std::string& platform = "linux-x86_64") {
  const std::string entry = platform == "windows-x86_64" ? "bin/trelk-bootstrap.exe" : "bin/trelk-bootstrap";
  json document = json::parse(R"({"schema_version": 1, "kind": "trelk-bootstrap-release", "bootstrap_abi": 1,
      "build_id": "b1", "runtime_lease_abi": 1, "application_schema": {"minimum": 1, "maximum": 1}})");
  document["archive"] = {{"format", "tar.zst-v1"}, {"target", "b"}, {"length", 5}, {"sha256", std::string(64, 'b')}};
  document["platform"] = platform;
  document["executable"] = entry;
  document["files"] = json::array({file_entry(entry, 493)});
  std::uint64_t total = 10;
  for (const json& file : extra) document["files"].push_back(file), total += file["length"].get<std::uint64_t>();
  document["expanded_length"] = total;
  return document;
}

void expect_refused(const json& document, const std::string& code, const std::string& message, bool update = true) {
  const SnapshotManifest manifest = SnapshotManifest::parse(document);
  EXPECT_TRUE(test::fails_with(
      [&] { update ? validate_bootstrap_update(manifest) : validate_bootstrap_contract(manifest); }, code, message))
      << document.dump();
}

TEST(BootstrapContract, ContractUpdateRulesBoundsAndTheInstalledRoot) {
  EXPECT_NO_THROW(validate_bootstrap_update(SnapshotManifest::parse(release())));
  for (const auto& [op, member, value, message, update] :
       std::vector<std::tuple<std::string, std::string, json, std::string, bool>>{
           {"replace", "/bootstrap_abi", 2, "Initial bootstrap schema or ABI is unsupported", false},
           {"remove", "/runtime_lease_abi", nullptr, "Bootstrap updates require the current native lifetime contract",
            true},
           {"replace", "/application_schema/maximum", 2, "Bootstrap update data contract is unsupported", true}})
    expect_refused(release().patch(json::array({{{"op", op}, {"path", member}, {"value", value}}})),
                   "launcher_incompatible", message, update);
  expect_refused(release({file_entry("bin/helper", 493)}), "invalid_native_package",
                 "Initial bootstrap snapshot contains an undeclared executable helper", false);
  // A Windows image fits the contract but not this machine.
  EXPECT_NO_THROW(validate_bootstrap_contract(SnapshotManifest::parse(release({}, "windows-x86_64"))));
  expect_refused(release({}, "windows-x86_64"), "launcher_incompatible", "Bootstrap update targets another platform");

  // Exactly 4,096 files and 2^30 bytes pass; one file or byte more does not.
  const std::uint64_t gib = std::uint64_t{1} << 30;
  std::vector<json> data{file_entry("data/big", 420, gib - 10 - 4094)};
  for (int i = 2; i < 4096; ++i) data.push_back(file_entry("data/f" + std::to_string(i), 420, 1));
  json largest = release(data);
  largest["archive"]["length"] = gib;
  EXPECT_NO_THROW(validate_bootstrap_update(SnapshotManifest::parse(largest)));
  data.push_back(file_entry("data/extra", 420, 0));
  expect_refused(release(data), "size_limit", "Bootstrap update exceeds its size limit");
  data.pop_back();
  data[1]["length"] = 2;
  expect_refused(release(data), "size_limit", "Bootstrap update exceeds its size limit");

  // The installed path itself is the update cycle's, the lifetime lock of running bootstraps the uninstall story's.
  EXPECT_EQ(installed_data_root("/opt/x/bin/trelk-bootstrap"), std::nullopt);
  EXPECT_TRELK_ERROR(installed_data_root("/r/x/../native/bootstrap/bin/trelk-bootstrap"), "unsafe_path",
                     "Bootstrap image path must be absolute and normalized");
  test::TempDir temp;
  test::write_file(temp / "data" / native_setup_marker, "");
  EXPECT_TRELK_ERROR(bootstrap_lifetime(temp / "data" / installed_bootstrap_entry), "native_install_incomplete", "");
}

}  // namespace
}  // namespace trelk
