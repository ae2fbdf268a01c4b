// Seeds the first launcher version into a new data directory from an initial package, as an
// installer does: trelk-seed DATA_DIR RELEASE_JSON ARCHIVE. Prints the seeded version's reference.
#include <iostream>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "launcher/store.hpp"
#include "process/arguments.hpp"

int main(int argc, char** argv) {
  try {
    trelk::initialize_client_runtime();
    auto arguments = trelk::process_arguments(argc, argv);
    trelk::require(arguments.size() == 3, "usage", "Usage: trelk-seed DATA_DIR RELEASE_JSON ARCHIVE");
    auto data_dir = trelk::path_from_utf8(arguments[0]);
    auto manifest_text = trelk::read_file(trelk::path_from_utf8(arguments[1]), trelk::launcher_manifest_limit);
    trelk::LauncherStore store(data_dir, true);
    auto reference = store.seed_initial(manifest_text, trelk::path_from_utf8(arguments[2]), {});
    std::cout << reference.dump() << '\n';
    return 0;
  } catch (const trelk::Error& error) {
    std::cerr << "trelk-seed: " << error.what() << " (" << error.code << ")\n";
    return error.code == "usage" ? 2 : 1;
  }
}
