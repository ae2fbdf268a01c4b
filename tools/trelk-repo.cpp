// The publisher's TUF 1.x repository: keys, targets, delegations, signed metadata and root rotation.
#include <cstdint>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "repository.hpp"

namespace {

constexpr const char* usage_text = R"(usage: trelk-repo REPO COMMAND [options]

REPO holds keys/ (private keys, never published), plan.json (the publisher's state), staged/ (targets
added since the last publish) and published/: point clients at REPO/published/metadata/ for metadata
and REPO/published/targets/ for targets. Metadata files are canonical JSON.

commands:
  init [--root SCHEMES] [--root-threshold N] [--timestamp SCHEMES] [--timestamp-threshold N]
       [--snapshot SCHEMES] [--snapshot-threshold N] [--targets SCHEMES] [--targets-threshold N]
       [--consistent] [--no-meta-length] [--no-meta-hashes] [--expires ROLE=TIME]...
      New keys for the four roles (default one ed25519 key, threshold 1) and version 1 of each.
      --consistent publishes N.ROLE.json and DIR/HASH.NAME copies; --no-meta-length and
      --no-meta-hashes leave those fields out of snapshot entries; --expires sets the lifetime of
      ROLE at every signing.
  add-target PATH FILE [--role NAME|auto] [--custom JSON] [--outside-delegation]
      Stages FILE as target PATH of role NAME (default targets; auto: the role a client's search
      reaches along the first delegations claiming PATH) for the next publish; prints the role.
      A path outside the delegation of NAME is refused unless --outside-delegation.
  remove-target PATH [--role NAME]
  delegate NAME --from ROLE [--keys SCHEMES] [--threshold N]
           (--paths P,... | --hash-prefixes H,... | --bins N) [--terminating] [--expires TIME]
      A new role delegated from ROLE (targets or a delegated role) with new keys. --bins N makes N
      roles NAME-FIRST[-LAST] sharing the keys, each claiming hash prefixes of one width; prints the
      role names. Takes effect at the next publish.
  publish [--expires ROLE=TIME]...
      A new version of every targets role whose content or keys changed, of snapshot when what it
      lists changed, and always of timestamp; --expires ROLE=TIME also re-signs ROLE (root included)
      with that expiry. Prints "ROLE VERSION" for every document written.
  rotate-root [--root SCHEMES] [--root-threshold N] [--keep-old] [--unsigned-by-old] [--expires TIME]
      A new root version with new root keys (default: of the current schemes), signed by the old
      and the new keys. --keep-old keeps the old keys authorised too; --unsigned-by-old signs with
      the new keys only (a root clients must refuse).
  rotate-key timestamp|snapshot|targets SCHEMES
      A new root version giving the role new keys (threshold 1), then a publish.
  resign-timestamp [--expires TIME]
      A new timestamp version over the current snapshot.
  root-file
      Prints the path of the current root (REPO/published/metadata/root.json).

SCHEMES  comma-separated, one new key each: ed25519, ecdsa-sha2-nistp256, ecdsa-sha2-nistp384,
         ecdsa-sha2-nistp521, rsassa-pss-sha256, rsassa-pss-sha384, rsassa-pss-sha512,
         ml-dsa-44/1, ml-dsa-65/1, ml-dsa-87/1
TIME     YYYY-MM-DDTHH:MM:SSZ (UTC) or relative to now: +Nd, +Nh, +Nm, +Ns (-N... is in the past)
         defaults: root +365d, targets and delegated roles +90d, snapshot +7d, timestamp +1d
Exit status: 0 on success, 1 with a message on standard error.
)";

const std::set<std::string> flags = {"--consistent",      "--no-meta-length",     "--no-meta-hashes", "--keep-old",
                                     "--unsigned-by-old", "--outside-delegation", "--terminating"};

struct Command {
  std::string name;
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;

  bool has(const std::string& option) const { return options.contains(option); }
  std::string value(const std::string& option, const std::string& fallback = "") const {
    auto found = options.find(option);
    return found == options.end() ? fallback : found->second.back();
  }
};

const std::map<std::string, std::set<std::string>> allowed = {
    {"init",
     {"--root", "--root-threshold", "--timestamp", "--timestamp-threshold", "--snapshot", "--snapshot-threshold",
      "--targets", "--targets-threshold", "--consistent", "--no-meta-length", "--no-meta-hashes", "--expires"}},
    {"add-target", {"--role", "--custom", "--outside-delegation"}},
    {"remove-target", {"--role"}},
    {"delegate",
     {"--from", "--keys", "--threshold", "--paths", "--hash-prefixes", "--bins", "--terminating", "--expires"}},
    {"publish", {"--expires"}},
    {"rotate-root", {"--root", "--root-threshold", "--keep-old", "--unsigned-by-old", "--expires"}},
    {"rotate-key", {}},
    {"resign-timestamp", {"--expires"}},
    {"root-file", {}},
};

const std::map<std::string, std::size_t> positional_count = {
    {"init", 0},        {"add-target", 2}, {"remove-target", 1},    {"delegate", 1}, {"publish", 0},
    {"rotate-root", 0}, {"rotate-key", 2}, {"resign-timestamp", 0}, {"root-file", 0}};

Command parse(const std::vector<std::string>& args) {
  Command command;
  command.name = args.at(0);
  auto options = allowed.find(command.name);
  trelk::require(options != allowed.end(), "usage", "Unknown command " + command.name);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      command.positional.push_back(arg);
      continue;
    }
    trelk::require(options->second.contains(arg), "usage", "Unknown option " + arg + " for " + command.name);
    if (flags.contains(arg)) {
      command.options[arg].push_back("");
      continue;
    }
    trelk::require(i + 1 < args.size(), "usage", "Option " + arg + " needs a value");
    command.options[arg].push_back(args[++i]);
  }
  trelk::require(command.positional.size() == positional_count.at(command.name), "usage",
                 "Wrong number of arguments for " + command.name);
  return command;
}

std::vector<std::string> list(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    trelk::require(!items.back().empty(), "usage", "Empty item in list " + text);
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

std::uint64_t number(const std::string& text) {
  trelk::require(!text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos,
                 "usage", "Not a number: " + text);
  return std::stoull(text);
}

// ROLE=TIME options as a map.
std::map<std::string, std::string> expiries(const Command& command) {
  std::map<std::string, std::string> result;
  if (!command.has("--expires")) return result;
  for (const std::string& item : command.options.at("--expires")) {
    const std::size_t equals = item.find('=');
    trelk::require(equals != std::string::npos && equals > 0, "usage", "--expires needs ROLE=TIME");
    result[item.substr(0, equals)] = item.substr(equals + 1);
  }
  return result;
}

trelk::RoleKeys role_keys(const Command& command, const std::string& keys, const std::string& threshold) {
  trelk::RoleKeys result;
  if (command.has(keys)) result.schemes = list(command.value(keys));
  if (command.has(threshold)) result.threshold = number(command.value(threshold));
  return result;
}

void run(const std::filesystem::path& dir, const Command& command) {
  if (command.name == "init") {
    trelk::RepositorySetup setup;
    setup.root = role_keys(command, "--root", "--root-threshold");
    setup.timestamp = role_keys(command, "--timestamp", "--timestamp-threshold");
    setup.snapshot = role_keys(command, "--snapshot", "--snapshot-threshold");
    setup.targets = role_keys(command, "--targets", "--targets-threshold");
    setup.consistent_snapshot = command.has("--consistent");
    setup.snapshot_lengths = !command.has("--no-meta-length");
    setup.snapshot_hashes = !command.has("--no-meta-hashes");
    setup.expires = expiries(command);
    trelk::Repository::create(dir, setup);
    return;
  }
  trelk::Repository repository = trelk::Repository::open(dir);
  if (command.name == "add-target") {
    const std::string custom = command.value("--custom");
    std::cout << repository.add_target(command.positional[0], trelk::path_from_utf8(command.positional[1]),
                                       command.value("--role", "targets"),
                                       custom.empty() ? trelk::json() : trelk::parse_json(custom, 1 << 20),
                                       !command.has("--outside-delegation"))
              << "\n";
  } else if (command.name == "remove-target") {
    repository.remove_target(command.positional[0], command.value("--role", "targets"));
  } else if (command.name == "delegate") {
    trelk::require(command.has("--from"), "usage", "delegate needs --from ROLE");
    trelk::DelegationSetup setup;
    setup.keys = role_keys(command, "--keys", "--threshold");
    setup.terminating = command.has("--terminating");
    setup.expires = command.value("--expires", setup.expires);
    trelk::require(command.has("--paths") + command.has("--hash-prefixes") + command.has("--bins") == 1, "usage",
                   "delegate needs one of --paths, --hash-prefixes and --bins");
    if (command.has("--bins")) {
      for (const std::string& name : repository.delegate_bins(command.positional[0], command.value("--from"),
                                                              number(command.value("--bins")), setup))
        std::cout << name << "\n";
      return;
    }
    if (command.has("--paths")) setup.paths = list(command.value("--paths"));
    if (command.has("--hash-prefixes")) setup.hash_prefixes = list(command.value("--hash-prefixes"));
    repository.delegate(command.positional[0], command.value("--from"), setup);
  } else if (command.name == "publish") {
    for (const auto& [role, version] : repository.publish(expiries(command)))
      std::cout << role << " " << version << "\n";
  } else if (command.name == "rotate-root") {
    trelk::RootRotation rotation;
    if (command.has("--root")) rotation.schemes = list(command.value("--root"));
    if (command.has("--root-threshold")) rotation.threshold = number(command.value("--root-threshold"));
    rotation.keep_old = command.has("--keep-old");
    rotation.signed_by_old = !command.has("--unsigned-by-old");
    rotation.expires = command.value("--expires");
    repository.rotate_root(rotation);
  } else if (command.name == "rotate-key") {
    repository.rotate_key(command.positional[0], list(command.positional[1]));
  } else if (command.name == "resign-timestamp") {
    repository.resign_timestamp(command.value("--expires"));
  } else if (command.name == "root-file") {
    std::cout << trelk::path_utf8(std::filesystem::absolute(repository.root_file())) << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args)
    if (arg == "--help" || arg == "-h") {
      std::cout << usage_text;
      return 0;
    }
  try {
    trelk::initialize_client_runtime();
    trelk::require(args.size() >= 2, "usage", "Give a repository directory and a command (see --help)");
    run(trelk::path_from_utf8(args[0]), parse({args.begin() + 1, args.end()}));
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "trelk-repo: " << error.what() << "\n";
    return 1;
  }
}
