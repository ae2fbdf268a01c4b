#include <sys/stat.h>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/directories.hpp"
#include "snapshot/allocated_file.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t max_reserved_files = 100000;

fs::path normal_absolute(const fs::path& path) { return fs::absolute(path).lexically_normal(); }

}  // namespace

ReservedTree ReservedTree::prepare(const SnapshotManifest& manifest, const fs::path& root) {
  ReservedTree tree;
  tree.root = normal_absolute(root);
  private_directory_new(tree.root);
  for (const auto& [relative, file] : manifest.files) {
    const fs::path target = safe_join(tree.root, relative, true);
    for (std::size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1))
      private_directory(tree.root / path_from_utf8(relative.substr(0, slash)));
    AllocatedFile allocation(target, file.length, ReservationCallback{});
    tree.files.emplace(relative, allocation.retain_reservation());
  }
  return tree;
}

ReservedTree ReservedTree::parse(const json& document) {
  const std::string malformed = "Reserved tree record is malformed";
  require(document.is_object(), "invalid_reservation", malformed);
  try {
    ReservedTree tree;
    tree.root = path_from_utf8(document.at("root").get_ref<const std::string&>());
    require(tree.root.is_absolute(), "invalid_reservation", malformed);
    const json& files = document.at("files");
    require(files.is_object() && files.size() <= max_reserved_files, "invalid_reservation", malformed);
    for (const auto& [relative, reservation] : files.items()) {
      validate_relative_path(relative, true);
      tree.files.emplace(relative, parse_reservation(reservation));
    }
    return tree;
  } catch (const json::exception&) {
    fail("invalid_reservation", malformed);
  }
}

json ReservedTree::document() const {
  json entries = json::object();
  for (const auto& [relative, reservation] : files) entries[relative] = reservation_document(reservation);
  return json{{"root", path_utf8(root)}, {"files", entries}};
}

void ReservedTree::validate(const SnapshotManifest& manifest, const fs::path& staging) const {
  const std::string changed = "Reserved tree does not match this snapshot";
  require(normal_absolute(staging) == root && files.size() == manifest.files.size(), "allocation_changed", changed);
  struct stat st {};
  require(::lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode), "allocation_changed", changed);
  auto reserved = files.begin();
  for (const auto& [relative, file] : manifest.files) {
    require(reserved->first == relative && reserved->second.length == file.length &&
                reserved->second.path == safe_join(root, relative, true),
            "allocation_changed", changed);
    AllocatedFile::verify_identity(reserved->second);
    ++reserved;
  }
}

FileReservation ReservedTree::file(std::string_view path, std::uint64_t length) const {
  const auto found = files.find(std::string(path));
  require(found != files.end() && found->second.length == length, "allocation_changed",
          "Reserved tree has no file of this path and length");
  return found->second;
}

}  // namespace trelk
