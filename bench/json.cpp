// parse_json + canonical_json of a metadata-like document against the JSON
// library's own parse + dump of the same text.
//   bench_json [size in KiB, default 4096] [rounds, default 10]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"

namespace {

using trelk::json;
using namespace trelk::bench;

std::string fake_hash(std::size_t seed, std::size_t bytes) {
  std::string data = std::to_string(seed);
  return trelk::digest(data, bytes == 32 ? "sha256" : "sha512");
}

// A targets document: one entry per file with hashes, length and nested custom fields.
std::string metadata_text(std::size_t target_bytes) {
  json targets = json::object();
  std::string text;
  std::size_t entry = 0;
  while (true) {
    for (int batch = 0; batch < 256; ++batch, ++entry) {
      std::string path =
          "content/pack-" + std::to_string(entry % 97) + "/assets/file-" + std::to_string(entry) + ".bin";
      targets[path] = {{"hashes", {{"sha256", fake_hash(entry, 32)}, {"sha512", fake_hash(entry, 64)}}},
                       {"length", 1000 + entry * 7919 % 100000000},
                       {"custom",
                        {{"mode", entry % 2 ? 420 : 493},
                         {"kind", entry % 3 ? "asset" : "binary"},
                         {"platforms", {"linux-x86_64", "windows-x86_64"}},
                         {"chunk", {{"index", entry % 64}, {"offset", entry * 65536}, {"compressed", entry % 5 == 0}}},
                         {"note", "quote \" and backslash \\ and caf\xc3\xa9"}}}};
    }
    json document = {{"signatures",
                      {{{"keyid", fake_hash(1, 32)}, {"sig", fake_hash(2, 64)}},
                       {{"keyid", fake_hash(3, 32)}, {"sig", fake_hash(4, 64)}}}},
                     {"signed",
                      {{"_type", "targets"},
                       {"expires", "2030-01-01T00:00:00Z"},
                       {"spec_version", "1.0.31"},
                       {"version", 42},
                       {"targets", targets}}}};
    text = document.dump();
    if (text.size() >= target_bytes) return text;
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    trelk::initialize_client_runtime();
    std::size_t kib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4096;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (kib == 0 || rounds <= 0) {
      std::fprintf(stderr, "usage: bench_json [KiB > 0] [rounds > 0]\n");
      return 2;
    }
    const std::string text = metadata_text(kib * 1024);

    // Both sides must agree on the value, or the comparison means nothing.
    if (trelk::parse_json(text, text.size()) != json::parse(text) ||
        trelk::canonical_json(trelk::parse_json(text, text.size())) != text) {
      std::fprintf(stderr, "bench_json: parse results differ\n");
      return 1;
    }
    std::size_t sink = 0;
    double reference = best_seconds(rounds, [&] { sink += json::parse(text).dump().size(); });
    double ours =
        best_seconds(rounds, [&] { sink += trelk::canonical_json(trelk::parse_json(text, text.size())).size(); });
    double parse_only = best_seconds(rounds, [&] { sink += trelk::parse_json(text, text.size()).size(); });
    double ratio = ours / reference;

    std::printf("document: %zu bytes, best of %d rounds (checksum %zu)\n", text.size(), rounds, sink);
    std::printf("reference  json::parse + dump:            %8.2f ms\n", reference * 1e3);
    std::printf("measured   parse_json + canonical_json:   %8.2f ms\n", ours * 1e3);
    std::printf("           of which parse_json:           %8.2f ms\n", parse_only * 1e3);
    std::printf("ratio %.3f (target <= 1.50): %s\n", ratio, ratio <= 1.5 ? "met" : "NOT met");
    return 0;
  } catch (const trelk::Error& error) {
    std::fprintf(stderr, "bench_json: %s (%s)\n", error.what(), error.code.c_str());
    return 1;
  }
}
