#include "snapshot/manifest.hpp"

#include <algorithm>
#include <set>
#include <string_view>
#include <vector>

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

struct PathForms {
  const std::string* folded;
  std::string_view original;
};

// True when two of these paths spell one directory in different case. Paths below one folded
// directory sit next to each other in folded order, and if two of them spell it differently, so
// do two neighbours, so only neighbours are compared. Nothing per directory is stored, which keeps
// deep paths from costing memory quadratic in their length.
bool directory_forms_differ(std::vector<PathForms> paths) {
  std::sort(paths.begin(), paths.end(), [](const PathForms& a, const PathForms& b) { return *a.folded < *b.folded; });
  for (std::size_t i = 1; i < paths.size(); ++i) {
    const std::string& a = *paths[i - 1].folded;
    const std::string& b = *paths[i].folded;
    const auto common =
        static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
    const std::string_view first = paths[i - 1].original.substr(0, common);
    const std::string_view second = paths[i].original.substr(0, common);
    const auto differs =
        static_cast<std::size_t>(std::mismatch(first.begin(), first.end(), second.begin()).first - first.begin());
    // A directory both paths share ends at a slash within the common part; it is spelt
    // differently if that slash comes after the first difference.
    if (differs < common && a.find('/', differs) < common) return true;
  }
  return false;
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
  // Every path that passed the duplicate check, in array order.
  std::vector<PathForms> checked;
  checked.reserve(files.size());
  std::uint64_t total = 0;
  try {
    for (const auto& entry : files) {
      const auto& path = entry.at("path").get_ref<const std::string&>();
      validate_relative_path(path, true);
      require(std::all_of(path.begin(), path.end(),
                          [](char c) {
                            auto byte = static_cast<unsigned char>(c);
                            return byte >= 0x20 && byte <= 0x7e;
                          }),
              "invalid_manifest", "The v1 package profile requires ASCII file paths");
      const auto [folded, inserted] = folded_files.insert(fold(path));
      require(inserted, "path_collision", "Package contains duplicate or case-colliding paths");
      checked.push_back({&*folded, path});
      auto length = size_value(entry.at("length"));
      require(length <= size_bound - total, "size_limit", "Expanded package exceeds size bounds");
      total += length;
      auto mode = entry.at("mode").get<std::int64_t>();
      require(mode == 0644 || mode == 0755, "invalid_manifest", "Package modes must be 0644 or 0755");
      result.files[path] = PackageFile{length, sha256(entry.at("sha256")), mode == 0755};
    }
  } catch (...) {
    // Directory spellings are compared right after the duplicate check, so among the paths that
    // got that far a case conflict would have been the first failure.
    require(!directory_forms_differ(checked), "path_collision", "Package directories differ only in case");
    throw;
  }
  require(!directory_forms_differ(std::move(checked)), "path_collision", "Package directories differ only in case");

  // Everything below a folded path sorts right after it followed by a slash.
  for (const auto& folded : folded_files) {
    const std::string parent = folded + '/';
    const auto below = folded_files.lower_bound(parent);
    require(below == folded_files.end() || !below->starts_with(parent), "path_collision",
            "Package file is another file's parent directory");
  }

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
