// The trusted-metadata client as a command, for operators and for checking any TUF repository over HTTPS:
//   trelk-tuf --metadata-dir DIR init ROOT_FILE
//   trelk-tuf --metadata-url URL --metadata-dir DIR [--ca-bundle FILE] refresh
//   trelk-tuf --metadata-url URL --metadata-dir DIR --target-name PATH [--target-name PATH ...]
//             --target-dir DIR --target-base-url URL [--ca-bundle FILE] [--resume-scope KIND]
//             [--download-limit BYTES_PER_SECOND] download
// Exit status 0 on success, 1 on any failure with "trelk-tuf: MESSAGE (CODE)" on standard error, so a script
// can tell a network failure from an integrity failure by its code. It makes no request beyond what refresh
// and lookup need: no retries, no prefetching of delegations.
#include <algorithm>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "process/arguments.hpp"
#include "progress_line.hpp"
#include "transport/https_transport.hpp"
#include "transport/resume.hpp"
#include "tuf/client.hpp"

namespace {

struct Options {
  std::map<std::string, std::string> single;
  std::vector<std::string> target_names;
  std::string command;
  std::vector<std::string> operands;
};

const std::string usage =
    "Usage: trelk-tuf --metadata-dir DIR init ROOT_FILE\n"
    "       trelk-tuf --metadata-url URL --metadata-dir DIR [--ca-bundle FILE] refresh\n"
    "       trelk-tuf --metadata-url URL --metadata-dir DIR --target-name PATH [--target-name PATH ...]\n"
    "                 --target-dir DIR --target-base-url URL [--ca-bundle FILE] [--resume-scope KIND]\n"
    "                 [--download-limit BYTES_PER_SECOND] download";

Options parse(const std::vector<std::string>& arguments) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word.starts_with("--")) {
      trelk::require(i + 1 < arguments.size(), "usage", usage);
      const std::string& value = arguments[++i];
      if (word == "--target-name") {
        options.target_names.push_back(value);
        continue;
      }
      static const char* known[] = {"--metadata-dir",    "--metadata-url", "--ca-bundle",     "--target-dir",
                                    "--target-base-url", "--resume-scope", "--download-limit"};
      trelk::require(std::find(std::begin(known), std::end(known), word) != std::end(known), "usage", usage);
      trelk::require(options.single.emplace(word, value).second, "usage", usage);
    } else if (options.command.empty()) {
      options.command = word;
    } else {
      options.operands.push_back(word);
    }
  }
  return options;
}

std::string required(const Options& options, const std::string& name) {
  const auto found = options.single.find(name);
  trelk::require(found != options.single.end(), "usage", usage);
  return found->second;
}

std::string optional(const Options& options, const std::string& name) {
  const auto found = options.single.find(name);
  return found == options.single.end() ? std::string() : found->second;
}

int run(const std::vector<std::string>& arguments) {
  const Options options = parse(arguments);
  const auto metadata_dir = trelk::path_from_utf8(required(options, "--metadata-dir"));
  if (options.command == "init") {
    trelk::require(options.operands.size() == 1 && options.target_names.empty(), "usage", usage);
    trelk::TufClient::initialize(metadata_dir, trelk::read_file(trelk::path_from_utf8(options.operands[0]), 524288));
    return 0;
  }
  trelk::require((options.command == "refresh" || options.command == "download") && options.operands.empty(), "usage",
                 usage);
  const auto ca_bundle = trelk::path_from_utf8(optional(options, "--ca-bundle"));
  trelk::HttpsTransport metadata(required(options, "--metadata-url"), ca_bundle, 0, nullptr);
  if (options.command == "refresh") {
    trelk::require(options.target_names.empty(), "usage", usage);
    trelk::TufClient client(metadata_dir, metadata, metadata, trelk::default_tuf_limits, trelk::system_tuf_time);
    client.refresh();
    return 0;
  }
  trelk::require(!options.target_names.empty(), "usage", usage);
  const std::string limit = optional(options, "--download-limit");
  trelk::HttpsTransport targets(required(options, "--target-base-url"), ca_bundle,
                                limit.empty() ? 0 : std::stoull(limit), nullptr);
  const auto target_dir = trelk::path_from_utf8(required(options, "--target-dir"));
  trelk::TufClient client(metadata_dir, metadata, targets, trelk::default_tuf_limits, trelk::system_tuf_time);
  client.refresh();
  // With --resume-scope, an interrupted download continues from its last checkpoint when it is run again
  // with the same scope; the scope names what a partial file may be reused for.
  const std::string scope_kind = optional(options, "--resume-scope");
  const trelk::Progress progress = trelk::terminal_progress();
  for (const auto& name : options.target_names) {
    trelk::TufDownloadOptions download_options;
    if (!scope_kind.empty())
      download_options.resume_scope = trelk::target_download_resume_scope(scope_kind, nullptr, name);
    client.download(name, trelk::safe_join(target_dir, name, true), progress, {}, download_options);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    trelk::initialize_client_runtime();
    return run(trelk::process_arguments(argc, argv));
  } catch (const trelk::Error& error) {
    std::cerr << "trelk-tuf: " << error.what() << " (" << error.code << ")\n";
    return 1;
  } catch (const std::exception& error) {
    std::cerr << "trelk-tuf: " << error.what() << '\n';
    return 1;
  }
}
