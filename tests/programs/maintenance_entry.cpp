// Stands in for the bootstrap's maintenance branch: "maintenance_entry DATA_ROOT ARGS..." answers a shortcut
// request or replaces itself with the console maintenance helper of the store's active version.

#include <iostream>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "launcher/store.hpp"
#include "maintenance/control.hpp"
#include "process/arguments.hpp"

int main(int argc, char** argv) {
  try {
    auto arguments = trelk::process_arguments(argc, argv);
    trelk::require(!arguments.empty(), "usage", "maintenance_entry DATA_ROOT ARGS...");
    const auto data_root = trelk::path_from_utf8(arguments.front());
    arguments.erase(arguments.begin());
    if (auto answer = trelk::native_maintenance_control(data_root, arguments, {})) {
      std::cout << answer->dump() << '\n';
      return 0;
    }
    auto helper = trelk::maintenance_arguments(arguments, data_root);
    trelk::require(!helper.empty(), "usage", "Expected a native maintenance command");
    bool json_flag = false;
    trelk::without_json(arguments, json_flag);

    trelk::LauncherStore store(data_root);
    auto owner = store.owner();
    auto version = store.status()["active"];
    if (version.is_null()) version = store.fallback_active();
    auto runtime = trelk::prepare_console_maintenance(store, version, data_root, {}, json_flag);
    runtime.replace(helper);
  } catch (const trelk::Error& error) {
    std::cerr << error.code << ": " << error.what() << '\n';
    return error.code == "usage" ? 2 : 1;
  }
}
