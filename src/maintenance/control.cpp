#include "maintenance/control.hpp"

#include <sys/stat.h>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "desktop/desktop_entry.hpp"
#include "launcher/store.hpp"
#include "native/brand.hpp"
#include "process/arguments.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr const char* shortcut_usage = "Use self shortcut create [--game GAME] or self shortcut remove";
constexpr const char* uninstall_usage = "Use self uninstall [--remove-data]";

bool regular_file(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

json path_list(const std::vector<fs::path>& paths) {
  json list = json::array();
  for (const auto& path : paths) list.push_back(path_utf8(path));
  return list;
}

}  // namespace

std::vector<std::string> without_json(const std::vector<std::string>& arguments, bool& json_flag) {
  json_flag = false;
  std::vector<std::string> rest;
  rest.reserve(arguments.size());
  for (const auto& argument : arguments) {
    if (argument == "--json")
      json_flag = true;
    else
      rest.push_back(argument);
  }
  return rest;
}

fs::path maintenance_data_root(const fs::path& data_root) {
  auto root = fs::absolute(data_root).lexically_normal();
  if (root.filename().empty() && root.has_relative_path()) root = root.parent_path();
  return root;
}

fs::path installed_bootstrap(const fs::path& data_root) {
  auto entry = maintenance_data_root(data_root) / "native/bootstrap/bin/trelk-bootstrap";
  if (regular_file(entry)) return entry;
  // An installation without its own bootstrap copy is served by the bootstrap that runs now; any other program
  // (a launcher payload, a temporary helper copy) would make entries that break with the next update.
  auto self = current_executable_path();
  require(self.filename() == "trelk-bootstrap", "shortcut_bootstrap", "Shortcuts need the installed Trelk bootstrap");
  return self;
}

fs::path create_installation_shortcut(const fs::path& data_root, std::string_view game, const fs::path& destination,
                                      std::string_view name) {
  DesktopShortcut shortcut;
  shortcut.data_root = maintenance_data_root(data_root);
  shortcut.bootstrap = installed_bootstrap(shortcut.data_root);
  shortcut.game_id = std::string(game);
  shortcut.name = !name.empty() ? std::string(name) : game.empty() ? product_name() : std::string(game);
  auto target = destination.empty() ? native_menu_entry(shortcut.data_root, game) : destination;
  auto result = create_owned_native_shortcut(shortcut, target);
  return path_from_utf8(result.at("path").get<std::string>());
}

ShortcutRemoval remove_installation_shortcuts(const fs::path& data_root) {
  return remove_owned_native_shortcuts(maintenance_data_root(data_root));
}

std::optional<json> native_maintenance_control(const fs::path& data_root, const std::vector<std::string>& arguments,
                                               const std::function<bool()>& /*interrupted*/) {
  bool json_flag = false;
  auto words = without_json(arguments, json_flag);
  if (words.size() < 2 || words[0] != "self" || words[1] != "shortcut") return std::nullopt;

  if (words.size() == 3 && words[2] == "remove") {
    auto removal = remove_installation_shortcuts(data_root);
    return json{
        {"schema_version", 1}, {"removed", path_list(removal.removed)}, {"changed", path_list(removal.preserved)}};
  }

  std::string game;
  if (words.size() == 5 && words[2] == "create" && words[3] == "--game" && !words[4].empty())
    game = words[4];
  else
    require(words.size() == 3 && words[2] == "create", "usage", shortcut_usage);
  if (!game.empty()) validate_identifier(game);

  auto created = create_installation_shortcut(data_root, game, {}, {});
  return json{{"schema_version", 1}, {"created", path_utf8(created)}};
}

std::vector<std::string> maintenance_arguments(const std::vector<std::string>& arguments, const fs::path& data_root) {
  bool json_flag = false;
  auto words = without_json(arguments, json_flag);
  if (words.size() < 2 || words[0] != "self" || words[1] != "uninstall") return {};

  std::vector<std::string> helper{"uninstall", "--data-dir", path_utf8(maintenance_data_root(data_root))};
  for (std::size_t i = 2; i < words.size(); ++i) {
    require(words[i] == "--remove-data", "usage", uninstall_usage);
    helper.push_back("--remove-data");
  }
  if (json_flag) helper.push_back("--json");
  return helper;
}

MaintenanceRuntime prepare_console_maintenance(const LauncherStore& store, const json& launcher_manifest_document,
                                               const fs::path& data_root, const std::function<bool()>& interrupted,
                                               bool /*json*/) {
  require(!(interrupted && interrupted()), "cancelled", "Uninstall cancelled");
  return MaintenanceRuntime::prepare(store, launcher_manifest_document, "maintenance", data_root, {});
}

}  // namespace trelk
