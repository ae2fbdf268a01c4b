#include "desktop/shortcut_ledger.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "files/locks.hpp"
#include "native/completeness.hpp"

namespace trelk {

namespace {

constexpr std::size_t kLedgerBound = 262144;
constexpr std::size_t kEntryReadBound = 65536;
constexpr std::size_t kRowLimit = 128;

bool is_one(const json& value) { return value.is_number_integer() && value == 1; }

bool exists_unfollowed(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) return true;
  // A parent that became a file hides the entry as surely as a removed one.
  if (errno == ENOENT || errno == ENOTDIR) return false;
  fail("file_read", "Cannot inspect shortcut: " + path_utf8(path));
}

json result(bool created, const fs::path& path, const std::string& game_id) {
  return json{{"schema_version", 1}, {"created", created}, {"path", path_utf8(path)}, {"game_id", game_id}};
}

FileLock take_ledger_lock(const fs::path& root) {
  return FileLock(desktop::ledger_lock(root), true, LockMode::exclusive);
}

}  // namespace

namespace desktop {

fs::path ledger_path(const fs::path& root) { return root / "native" / "shortcuts.json"; }

fs::path ledger_lock(const fs::path& root) { return root / "native" / "shortcuts.lock"; }

std::vector<OwnedShortcut> read_ledger(const fs::path& root) {
  const fs::path path = ledger_path(root);
  if (!exists_unfollowed(path)) return {};
  const std::string bytes = read_file(path, kLedgerBound);
  const std::string malformed = "Shortcut list is malformed: " + path_utf8(path);
  json document;
  try {
    document = parse_json(bytes, kLedgerBound);
  } catch (const Error&) {
    fail("shortcut_ledger", malformed);
  }
  require(document.is_object() && document.contains("schema_version") && is_one(document["schema_version"]) &&
              document.contains("kind") && document["kind"] == "trelk-shortcuts" && document.contains("entries") &&
              document["entries"].is_array() && document["entries"].size() <= kRowLimit,
          "shortcut_ledger", "Unsupported shortcut list " + path_utf8(path));
  std::vector<OwnedShortcut> rows;
  try {
    for (const auto& entry : document.at("entries")) {
      OwnedShortcut row;
      row.path = path_from_utf8(entry.at("path").get_ref<const std::string&>());
      absolute_path(row.path);
      row.game = entry.at("game").get<std::string>();
      row.name = entry.at("name").get<std::string>();
      row.sha256 = entry.at("sha256").get<std::string>();
      rows.push_back(std::move(row));
    }
  } catch (const json::exception&) {
    fail("shortcut_ledger", malformed);
  }
  return rows;
}

void write_ledger(const fs::path& root, const std::vector<OwnedShortcut>& rows) {
  json entries = json::array();
  for (const auto& row : rows) {
    entries.push_back({{"game", row.game}, {"name", row.name}, {"path", path_utf8(row.path)}, {"sha256", row.sha256}});
  }
  const json document{{"entries", entries}, {"kind", "trelk-shortcuts"}, {"schema_version", 1}};
  atomic_write(ledger_path(root), canonical_json(document));
}

bool unchanged(const OwnedShortcut& row) {
  std::error_code error;
  if (fs::symlink_status(row.path, error).type() != fs::file_type::regular) return false;
  std::string bytes;
  try {
    bytes = read_file(row.path, kEntryReadBound);
  } catch (const Error& failure) {
    // A file grown past any entry we could have written is not ours any more.
    if (failure.code == "size_limit") return false;
    throw;
  }
  return digest(bytes, "sha256") == row.sha256;
}

OwnedShortcut create_recorded(const DesktopShortcut& shortcut, const fs::path& destination) {
  create_linux_desktop_entry(shortcut, destination);
  const std::string bytes = read_file(destination, kEntryReadBound);
  return OwnedShortcut{destination, shortcut.game_id, shortcut.name, digest(bytes, "sha256")};
}

}  // namespace desktop

json create_owned_native_shortcut(const DesktopShortcut& shortcut, const fs::path& destination) {
  const fs::path& root = desktop::absolute_path(shortcut.data_root);
  require_complete_native_install(root);
  const fs::path& dest = desktop::absolute_path(destination);
  require(!desktop::within(dest, root), "shortcut_path", "Shortcuts must be outside the data folder");

  const FileLock lock = take_ledger_lock(root);
  auto rows = desktop::read_ledger(root);
  auto recorded = std::find_if(rows.begin(), rows.end(), [&](const auto& row) { return row.path == dest; });
  if (recorded != rows.end() && desktop::unchanged(*recorded)) return result(false, dest, recorded->game);
  require(recorded != rows.end() || rows.size() < kRowLimit, "size_limit", "Too many recorded shortcuts");

  // Fails with "already_exists" when a file is in the way, such as a recorded
  // entry the user changed: that file is preserved.
  OwnedShortcut row = desktop::create_recorded(shortcut, dest);
  if (recorded != rows.end()) {
    *recorded = std::move(row);
  } else {
    rows.push_back(std::move(row));
  }
  desktop::write_ledger(root, rows);
  return result(true, dest, shortcut.game_id);
}

std::vector<OwnedShortcut> owned_native_shortcuts(const fs::path& data_root) {
  return desktop::read_ledger(desktop::absolute_path(data_root));
}

ShortcutRemoval remove_owned_native_shortcuts(const fs::path& data_root) {
  const fs::path& root = desktop::absolute_path(data_root);
  ShortcutRemoval removal;
  std::error_code error;
  if (fs::symlink_status(root / "native", error).type() != fs::file_type::directory) return removal;

  const FileLock lock = take_ledger_lock(root);
  for (const auto& row : desktop::read_ledger(root)) {
    if (!exists_unfollowed(row.path)) continue;
    if (desktop::unchanged(row)) {
      native_files::remove_or_trash(row.path, {});
      removal.removed.push_back(row.path);
    } else {
      removal.preserved.push_back(row.path);
    }
  }
  desktop::write_ledger(root, {});
  return removal;
}

std::vector<fs::path> restore_owned_native_shortcuts(const fs::path& data_root, const fs::path& bootstrap) {
  const fs::path& root = desktop::absolute_path(data_root);
  const FileLock lock = take_ledger_lock(root);
  auto rows = desktop::read_ledger(root);
  std::vector<fs::path> restored;
  try {
    for (auto& row : rows) {
      if (exists_unfollowed(row.path)) continue;
      row = desktop::create_recorded(DesktopShortcut{bootstrap, root, row.game, row.name}, row.path);
      restored.push_back(row.path);
    }
    desktop::write_ledger(root, rows);
  } catch (const Error&) {
    // All or nothing: the entries made by this restore go again, so the ledger as it was still
    // describes what is on disk.
    for (const auto& row : rows) {
      if (std::find(restored.begin(), restored.end(), row.path) == restored.end()) continue;
      try {
        if (desktop::unchanged(row)) native_files::remove_or_trash(row.path, {});
      } catch (const Error&) {
      }
    }
    throw;
  }
  return restored;
}

}  // namespace trelk
