// The publisher's side of the snapshot format: packs a directory into a tar.zst-v1 archive and
// prints its snapshot manifest, or the release document of a launcher or bootstrap payload; or makes the
// delta patch between two packed releases and prints the custom object of its target.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "delta.hpp"
#include "files/atomic.hpp"
#include "pack.hpp"

namespace {

constexpr const char* usage_text =
    "usage: trelk-pack snapshot SOURCE ARCHIVE --build-id ID --executable PATH [options]\n"
    "       trelk-pack launcher SOURCE ARCHIVE --build-id ID --executable PATH --gui PATH\n"
    "                  [--helper PATH=ROLE]... [options]\n"
    "       trelk-pack bootstrap SOURCE ARCHIVE --build-id ID [options]   (executable bin/trelk-bootstrap)\n"
    "       trelk-pack delta BASE_ARCHIVE RESULT_ARCHIVE OUT.patch [--manifest-base B.json]\n"
    "                  [--manifest-result R.json] [--level N]   (documents default to ARCHIVE minus .tar.zst\n"
    "                  plus .json; prints the custom object of the patch target)\n"
    "options: --platform NAME (default linux-x86_64), --target NAME (default ID.tar.zst),\n"
    "         --level N (Zstandard level, default 3), --manifest FILE (default: standard output)\n";

constexpr const char* bootstrap_executable = "bin/trelk-bootstrap";

struct Arguments {
  std::string command;
  std::vector<std::string> positional;
  trelk::PackOptions pack;
  std::string gui;
  std::vector<std::pair<std::string, std::string>> helpers;
  std::optional<std::string> manifest;
  std::optional<std::string> manifest_base;
  std::optional<std::string> manifest_result;
};

Arguments parse(int argc, char** argv) {
  Arguments result;
  std::vector<std::string> args(argv + 1, argv + argc);
  trelk::require(
      !args.empty() && (args[0] == "snapshot" || args[0] == "launcher" || args[0] == "bootstrap" || args[0] == "delta"),
      "usage", "Unknown command");
  result.command = args[0];
  // An installed bootstrap starts only this entry point.
  if (result.command == "bootstrap") result.pack.executable = bootstrap_executable;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      result.positional.push_back(arg);
      continue;
    }
    trelk::require(i + 1 < args.size(), "usage", "Option " + arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--build-id") {
      result.pack.build_id = value;
    } else if (arg == "--executable" && result.command != "bootstrap") {
      result.pack.executable = value;
    } else if (arg == "--platform") {
      result.pack.platform = value;
    } else if (arg == "--target") {
      result.pack.target = value;
    } else if (arg == "--level") {
      try {
        result.pack.level = std::stoi(value);
      } catch (const std::exception&) {
        trelk::fail("usage", "--level needs a number");
      }
    } else if (arg == "--manifest" && result.command != "delta") {
      result.manifest = value;
    } else if (arg == "--manifest-base" && result.command == "delta") {
      result.manifest_base = value;
    } else if (arg == "--manifest-result" && result.command == "delta") {
      result.manifest_result = value;
    } else if (arg == "--gui" && result.command == "launcher") {
      result.gui = value;
    } else if (arg == "--helper" && result.command == "launcher") {
      const auto equals = value.find('=');
      trelk::require(equals != std::string::npos, "usage", "--helper needs PATH=ROLE");
      result.helpers.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else {
      trelk::fail("usage", "Unknown option " + arg);
    }
  }
  if (result.command == "delta") {
    trelk::require(result.positional.size() == 3, "usage", "Give the base archive, the result archive and the patch");
    return result;
  }
  trelk::require(result.positional.size() == 2, "usage", "Give a source directory and an archive path");
  trelk::require(!result.pack.build_id.empty() && !result.pack.executable.empty(), "usage",
                 "--build-id and --executable are required");
  trelk::require(result.command != "launcher" || !result.gui.empty(), "usage", "--gui is required for a launcher");
  return result;
}

// The release document beside an archive: the same name with .json in place of .tar.zst.
std::filesystem::path document_of(const std::string& archive, const std::optional<std::string>& given) {
  if (given) return trelk::path_from_utf8(*given);
  trelk::require(archive.ends_with(".tar.zst"), "usage", "Name the release document of " + archive);
  return trelk::path_from_utf8(archive.substr(0, archive.size() - 8) + ".json");
}

int delta(const Arguments& args) {
  const auto& [base, result, patch] = std::tie(args.positional[0], args.positional[1], args.positional[2]);
  const trelk::json custom =
      trelk::make_delta({trelk::path_from_utf8(base), document_of(base, args.manifest_base)},
                        {trelk::path_from_utf8(result), document_of(result, args.manifest_result)},
                        trelk::path_from_utf8(patch), args.pack.level);
  std::cout << trelk::canonical_json(custom) << "\n" << std::flush;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    trelk::initialize_client_runtime();
    const Arguments args = parse(argc, argv);
    if (args.command == "delta") return delta(args);
    trelk::json document = trelk::pack_snapshot(trelk::path_from_utf8(args.positional[0]),
                                                trelk::path_from_utf8(args.positional[1]), args.pack);
    if (args.command == "launcher") document = trelk::launcher_release(document, args.gui, args.helpers);
    if (args.command == "bootstrap") {
      try {
        document = trelk::bootstrap_release(document);
      } catch (const trelk::Error&) {
        // An archive whose tree no installed bootstrap would take is not left to be published.
        std::error_code ignored;
        std::filesystem::remove(trelk::path_from_utf8(args.positional[1]), ignored);
        throw;
      }
    }
    const std::string text = trelk::canonical_json(document) + "\n";
    if (args.manifest)
      trelk::atomic_create(trelk::path_from_utf8(*args.manifest), text);
    else
      std::cout << text << std::flush;
    return 0;
  } catch (const trelk::Error& error) {
    std::cerr << "trelk-pack: " << error.what() << "\n";
    if (error.code == "usage") {
      std::cerr << usage_text;
      return 2;
    }
    return 1;
  } catch (const std::exception& error) {
    std::cerr << "trelk-pack: " << error.what() << "\n";
    return 1;
  }
}
