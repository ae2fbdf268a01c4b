#include "transport/response_admission.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "support/errors.hpp"

namespace trelk {
namespace {

struct Exchange {
  std::uint64_t total = 5000;
  std::uint64_t offset = 0;
  bool exact = true;
  std::string headers;  // lines as a server sends them, each with its line end
  std::vector<std::uint64_t> chunks;
  std::string after = {};  // header text the server sends after the body
};

// Hands the header text over line by line as the HTTPS library does; a trailing piece without
// a line feed is passed as it is.
void feed(DownloadResponseHeaders& headers, std::string_view text) {
  for (std::size_t size = 0; !text.empty(); text.remove_prefix(size)) {
    size = std::min(text.find('\n'), text.size() - 1) + 1;
    headers.line(text.substr(0, size));
  }
}

// The whole file requested, its length exact; or offset 1000 of the same 5000-byte file.
Exchange whole(std::string text, std::vector<std::uint64_t> sizes = {}) { return {.headers = text, .chunks = sizes}; }
Exchange resumed(std::string text, std::vector<std::uint64_t> sizes = {}) { return {5000, 1000, true, text, sizes}; }

DownloadResponseHeaders run(const Exchange& exchange) {
  DownloadResponseHeaders headers(exchange.total, exchange.offset, exchange.exact);
  feed(headers, exchange.headers);
  for (auto n : exchange.chunks) headers.body(n);
  feed(headers, exchange.after);
  headers.finish();
  return headers;
}

std::string filler(std::size_t lines, std::size_t line_size) {
  std::string text;
  for (std::size_t i = 0; i < lines; ++i) text += "X-Pad: " + std::string(line_size - 9, 'p') + "\r\n";
  return text;
}

TEST(ResponseAdmission, AdmitsExactlyTheResponsesFramingTheAuthenticatedBytes) {
  // Plain whole, chunked, upper-bounded and restarted answers come from the real servers in the transport and
  // resume stories; these are the shapes those servers never send.
  // A header section of exactly the transfer bound, with the most field lines a response may have.
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string bounded =
      ok + filler(127, 512) + "X-Last: " + std::string(65536 - 127 * 512 - ok.size() - 12, 'q') + "\r\n\r\n";
  ASSERT_EQ(bounded.size(), 65536u);

  // Each case's name, exchange and the file offset its body starts at.
  const std::vector<std::tuple<const char*, Exchange, std::uint64_t>> cases = {
      {"bare line feeds, no reason, http/2", whole("HTTP/2 200\nserver: x\n\n", {5000}), 0},
      {"interim block first, same field in both",
       whole("HTTP/1.1 100 Continue\r\nContent-Length: 7\r\n\r\n" + ok +
                 "content-length: 5000\r\nContent-Encoding: Identity\r\n\r\n",
             {5000}),
       0},
      {"exact resumed remainder",
       resumed("HTTP/1.1 206 Partial Content\r\nContent-Range: Bytes 1000-4999/5000\r\nContent-Length: 4000\r\n"
               "Content-Type: application/octet-stream\r\n\r\n",
               {4000}),
       1000},
      {"empty file", {0, 0, true, ok + "Content-Length: 0\r\n\r\n", {}}, 0},
      {"trailer of an ordinary field", {4, 0, true, ok + "\r\nX-Digest: abc\r\n\r\n", {4}}, 0},
      {"header section at its bound", {1, 0, true, bounded, {1}}, 0},
      {"longest line", {1, 0, true, "HTTP/3 200\r\nX-Long: " + std::string(8192 - 10, 'l') + "\r\n\r\n", {1}}, 0},
  };
  for (const auto& [name, exchange, start] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run(exchange).start(), start);  // run finishes the exchange, which throws unless it was admitted
  }

  // And these are refused.
  const std::string partial = "HTTP/1.1 206 Partial Content\r\n";
  const std::string range = "Content-Range: bytes 1000-4999/5000\r\n";
  std::string nine_statuses;
  for (int i = 0; i < 8; ++i) nine_statuses += "HTTP/1.1 100 Continue\r\n\r\n";
  nine_statuses += ok;

  const char *hdr = "download_headers", *rng = "download_range", *len = "length_mismatch";
  const std::string status_line = "Invalid download status line", number = "Invalid download length or range",
                    control = "Download header contains control bytes", fields = "Invalid or excessive download fields",
                    oversize = "Download headers exceed their bounded format",
                    coding = "Download content encoding changes authenticated bytes",
                    late = "Duplicate or late download framing field",
                    bound = "Server length differs from the authenticated download bound",
                    need_range = "A partial response requires the requested single range",
                    bad_range = "Invalid download content range",
                    other_range = "Server range differs from the authenticated remaining bytes",
                    shorter = "Download body is shorter than its authenticated response length";

  // Each refused exchange with its code and message.
  const std::vector<std::tuple<Exchange, const char*, std::string>> refusals = {
      // Statuses and status lines.
      {whole("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"), "redirect_rejected", "Server redirects are not permitted"},
      {whole("HTTP/1.1 404 Not Found\r\n\r\n"), "http_status", "Download failed with status 404"},
      {whole("HTTP/1.1 101 Switching\r\n\r\n"), hdr, "Download protocol upgrades are not supported"},
      {whole("HTTP/1.1 200OK\r\n"), hdr, status_line},
      {whole("HTTP/1.2 200 OK\r\n"), hdr, status_line},
      {whole("HTTP/1.1 099 Low\r\n"), hdr, "Invalid download status"},
      {whole("HTTP/1.1 2x0\r\n"), hdr, number},
      {whole(nine_statuses), hdr, "Unexpected download response sequence"},
      {whole("HTTP/1.1 100 Continue\r\n\r\n"), hdr, "Download has no admitted final response"},
      // Line syntax and bounds.
      {whole("Content-Length: 5\r\n"), hdr, "Download headers precede their status"},
      {whole(ok + "Content-Length: 5000"), hdr, "Download header line is incomplete"},
      {whole(ok + "X-A: a\x01z\r\n"), hdr, control},
      {whole(ok + "X-A: \x7f\r\n"), hdr, control},
      {whole(ok + "X-A: a\r\n b\r\n"), hdr, fields},
      {whole(ok + filler(129, 16)), hdr, fields},
      {whole(ok + "Content-Length 5000\r\n"), hdr, "Invalid download field"},
      {whole(ok + "Content Length: 5\r\n"), hdr, "Invalid download field name"},
      {whole(ok + "X-Long: " + std::string(8192 - 9, 'l') + "\r\n"), hdr, oversize},
      {whole(ok + filler(127, 512) + "X-Last: " + std::string(8192 - 10, 'q') + "\r\n"), hdr, oversize},
      // Codings and framing fields.
      {whole(ok + "Content-Encoding: gzip\r\n\r\n"), hdr, coding},
      {whole(ok + "Content-Encoding:\r\n\r\n"), hdr, coding},
      {whole(ok + "Transfer-Encoding: chunked\r\nContent-Length: 5000\r\n\r\n"), hdr,
       "Unsupported download transfer framing"},
      {whole(ok + "Content-Length: 5000\r\ncontent-length: 5000\r\n"), hdr, late},
      {whole(ok + "Content-Length: 5000\r\n\r\nContent-Length: 5000\r\n"), hdr, late},
      {whole(ok + "Content-Length: 18446744073709551616\r\n"), hdr, number},
      {whole(ok + "Content-Length:\r\n"), hdr, number},
      {whole(ok + "Content-Length: 4999\r\n\r\n"), len, bound},
      {{5000, 0, false, ok + "Content-Length: 5001\r\n\r\n", {}}, len, bound},
      // Ranges.
      {resumed(ok + range + "\r\n"), rng, "A full response contains an unexpected range"},
      {whole(partial + "Content-Range: bytes 0-4999/5000\r\n\r\n"), rng, need_range},
      {resumed(partial + "\r\n"), rng, need_range},
      {resumed(partial + "Content-Type: Multipart/ByteRanges; boundary=x\r\n\r\n"), rng,
       "Multipart download ranges are not supported"},
      {resumed(partial + "Content-Range: bytes 1000-4998/5000\r\n\r\n"), rng, other_range},
      {resumed(partial + "Content-Range: bytes 999-4999/5000\r\n\r\n"), rng, other_range},
      {{5000, 5000, true, partial + "Content-Range: bytes 5000-4999/5000\r\n\r\n", {}}, rng, other_range},
      {resumed(partial + "Content-Range: bytes 1000-4999/*\r\n\r\n"), hdr, number},
      {resumed(partial + "Content-Range: items 1000-4999/5000\r\n\r\n"), rng, bad_range},
      {resumed(partial + "Content-Range: bytes 1000/5000\r\n\r\n"), rng, bad_range},
      {resumed(partial + range + "Content-Length: 5000\r\n\r\n"), len, bound},
      // Body.
      {{5000, 0, true, ok + "\r\n", {4999, 2}}, "size_limit", "Download exceeds its authenticated length"},
      {{5000, 0, false, ok + "Content-Length: 10\r\n\r\n", {6, 5}},
       len,
       "Download exceeds its declared response length"},
      {{5000, 0, true, ok + "\r\n", {4999}}, len, shorter},
      {{5000, 0, false, ok + "Content-Length: 10\r\n\r\n", {9}}, len, shorter},
      {{5000, 0, true, ok, {1}}, hdr, "Download body precedes admitted headers"},
      {{10, 0, true, ok + "\r\n", {4}, ok}, hdr, "Unexpected download response sequence"},  // a response after the body
      {{10, 11, false, "", {}}, rng, "Resume offset exceeds authenticated length"},
  };
  for (std::size_t i = 0; i < refusals.size(); ++i) {
    const auto& [exchange, code, message] = refusals[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + exchange.headers.substr(0, 120));
    EXPECT_TRUE(test::fails_with([&] { run(exchange); }, code, message));
  }
}

}  // namespace
}  // namespace trelk
