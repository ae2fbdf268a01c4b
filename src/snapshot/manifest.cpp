#include "snapshot/manifest.hpp"

#include <algorithm>
#include <set>

#include "core/error.hpp"
#include "core/paths.hpp"

namespace trelk {

namespace {

constexpr std::uint64_t size_bound = std::uint64_t{1} << 42;
constexpr std::size_t file_bound = 100000;

std::string fold(std::string_view text) {
  std::string folded(text);
  for (auto& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

SnapshotManifest parse_members(const json& document) {
  SnapshotManifest result;
  result.document = document;
  result.build_id = document.at("build_id").get<std::string>();
  validate_identifier(result.build_id);
  result.platform = document.at("platform").get<std::string>();
  require(
      result.platform == "linux-x86_64" || result.platform == "windows-x86_64" || result.platform == "macos-aarch64",
      "invalid_manifest", "Unknown snapshot platform");
  result.executable = document.at("executable").get<std::string>();
  validate_relative_path(result.executable, true);

  const auto& archive = document.at("archive");
  require(archive.at("format").get<std::string>() == "tar.zst-v1", "invalid_manifest", "Unsupported snapshot format");
  result.archive_target = archive.at("target").get<std::string>();
  validate_relative_path(result.archive_target, true);
  result.archive_length = size_value(archive.at("length"));
  result.archive_sha256 = sha256(archive.at("sha256"));
  require(result.archive_length >= 1 && result.archive_length <= size_bound, "size_limit",
          "Snapshot exceeds archive size bounds");

  const auto& files = document.at("files");
  require(files.is_array() && !files.empty() && files.size() <= file_bound, "size_limit",
          "Package file count exceeds bounds");

  std::set<std::string> folded_files;
  std::map<std::string, std::string> directory_forms;  // folded prefix -> first form seen
  std::uint64_t total = 0;
  for (const auto& entry : files) {
    auto path = entry.at("path").get<std::string>();
    validate_relative_path(path, true);
    require(std::all_of(path.begin(), path.end(),
                        [](char c) {
                          auto byte = static_cast<unsigned char>(c);
                          return byte >= 0x20 && byte <= 0x7e;
                        }),
            "invalid_manifest", "The v1 package profile requires ASCII file paths");
    require(folded_files.insert(fold(path)).second, "path_collision",
            "Package contains duplicate or case-colliding paths");
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      auto prefix = path.substr(0, slash);
      auto [known, inserted] = directory_forms.emplace(fold(prefix), prefix);
      require(inserted || known->second == prefix, "path_collision", "Package directories differ only in case");
    }
    auto length = size_value(entry.at("length"));
    require(length <= size_bound - total, "size_limit", "Expanded package exceeds size bounds");
    total += length;
    auto mode = entry.at("mode").get<std::int64_t>();
    require(mode == 0644 || mode == 0755, "invalid_manifest", "Package modes must be 0644 or 0755");
    result.files[path] = PackageFile{length, sha256(entry.at("sha256")), mode == 0755};
  }

  for (const auto& [path, file] : result.files)
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
      require(!folded_files.contains(fold(path.substr(0, slash))), "path_collision",
              "Package file is another file's parent directory");

  auto executable = result.files.find(result.executable);
  require(executable != result.files.end() && executable->second.executable, "invalid_manifest",
          "Declared executable is missing or not executable");
  result.expanded_length = size_value(document.at("expanded_length"));
  require(result.expanded_length == total, "invalid_manifest", "Expanded length differs from file inventory");
  return result;
}

}  // namespace

SnapshotManifest SnapshotManifest::parse(const json& document) {
  require(document.is_object() && document.contains("schema_version") &&
              document["schema_version"].is_number_integer() && document["schema_version"] == 1,
          "unsupported_schema", "Unsupported snapshot schema; nothing was rewritten");
  try {
    return parse_members(document);
  } catch (const json::exception&) {
    fail("invalid_manifest", "Snapshot manifest has missing or malformed fields");
  }
}

std::uint64_t SnapshotManifest::longest_native_path() const {
  std::uint64_t longest = 0;
  for (const auto& [path, file] : files) longest = std::max<std::uint64_t>(longest, native_length(path));
  return longest;
}

}  // namespace trelk
