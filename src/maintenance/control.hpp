#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "desktop/shortcut_ledger.hpp"
#include "maintenance/runtime.hpp"

namespace trelk {

class LauncherStore;

// The arguments without every "--json"; json_flag tells whether one was there.
std::vector<std::string> without_json(const std::vector<std::string>& arguments, bool& json_flag);

// Carries out "self shortcut create [--game GAME]" and "self shortcut remove" and returns their result document;
// empty for every other command. interrupted is accepted for symmetry with the other maintenance entries.
std::optional<json> native_maintenance_control(const std::filesystem::path& data_root,
                                               const std::vector<std::string>& arguments,
                                               const std::function<bool()>& interrupted);

// The maintenance helper's argument list for "self uninstall [--remove-data]..."; empty for other commands.
std::vector<std::string> maintenance_arguments(const std::vector<std::string>& arguments,
                                               const std::filesystem::path& data_root);

// The console helper of the version the reference names, unless the user already asked to stop.
MaintenanceRuntime prepare_console_maintenance(const LauncherStore& store, const json& launcher_manifest_document,
                                               const std::filesystem::path& data_root,
                                               const std::function<bool()>& interrupted, bool json);

// Launcher side of the same commands: a shortcut request is answered with its document; an uninstall replaces
// the running launcher with the console helper of its own verified version.
json run_cli_maintenance(const std::filesystem::path& data_root, const std::vector<std::string>& arguments,
                         std::string_view interface, const std::function<bool()>& interrupted);

// The installation's shortcut operations for a data root: the stable bootstrap that entries start and the menu
// entry (or the given destination) they are written to; removal takes only entries still exactly as written.
std::filesystem::path installed_bootstrap(const std::filesystem::path& data_root);
std::filesystem::path create_installation_shortcut(const std::filesystem::path& data_root, std::string_view game,
                                                   const std::filesystem::path& destination, std::string_view name);
ShortcutRemoval remove_installation_shortcuts(const std::filesystem::path& data_root);
// Absolute, lexically normal data root without a trailing separator.
std::filesystem::path maintenance_data_root(const std::filesystem::path& data_root);

}  // namespace trelk
