#include "transport/https_transfer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <string_view>

#include "core/error.hpp"
#include "snapshot/allocated_file.hpp"

namespace trelk {

namespace {

constexpr std::size_t upload_block = 65536;

// Any value other than the chunk size makes libcurl abort the transfer.
std::size_t abort_value(std::size_t n) { return n == 0 ? 1 : 0; }

bool multiply(std::size_t size, std::size_t count, std::size_t& product) {
  if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return false;
  product = size * count;
  return true;
}

}  // namespace

void HttpsTransfer::capture(std::exception_ptr error) {
  if (!failure) failure = std::move(error);
}

// Every header line goes through the admission rules; only an admitted final response reaches the file.
std::size_t HttpsTransfer::on_header(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto& self = *static_cast<HttpsTransfer*>(user);
  std::size_t n = 0;
  if (!multiply(size, count, n)) return abort_value(n);
  try {
    const bool was_admitted = self.headers->admitted();
    self.headers->line(std::string_view(buffer, n));
    // A resume answered with the whole file: start the file again from its first byte.
    if (!was_admitted && self.headers->admitted() && self.offset > 0 && self.headers->start() == 0) {
      // The caller first stops vouching for the old prefix, then the file is cut back.
      if (self.on_restart && *self.on_restart) (*self.on_restart)();
      self.file->restart();
      self.offset = 0;
      self.maximum = self.total;
      self.received = 0;
    }
    return n;
  } catch (...) {
    self.capture(std::current_exception());
    return abort_value(n);
  }
}

std::size_t HttpsTransfer::on_body(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto& self = *static_cast<HttpsTransfer*>(user);
  std::size_t n = 0;
  if (!multiply(size, count, n)) return abort_value(n);
  try {
    if (self.budget) {
      if (self.budget->bytes_used > self.budget->byte_limit || n > self.budget->byte_limit - self.budget->bytes_used) {
        self.budget_exhausted = true;
        return abort_value(n);
      }
      self.budget->bytes_used += n;
    }
    if (n > self.maximum - self.received) {
      self.too_large = true;
      return abort_value(n);
    }
    const std::string_view chunk(buffer, n);
    if (self.mode == TransferMode::file) {
      self.headers->body(n);
      self.file->write(chunk);
      self.received += n;
      if (self.on_data && *self.on_data) (*self.on_data)(chunk);
    } else {
      // A large document is held once at its announced length instead of growing through copies of itself.
      curl_off_t announced = -1;
      if (self.received == 0 && self.handle &&
          curl_easy_getinfo(self.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK && announced > 0 &&
          static_cast<std::uint64_t>(announced) <= self.maximum)
        self.body.reserve(static_cast<std::size_t>(announced));
      self.received += n;
      self.body.append(chunk);
    }
    return n;
  } catch (...) {
    self.capture(std::current_exception());
    return abort_value(n);
  }
}

int HttpsTransfer::on_progress(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t upload_total,
                               curl_off_t upload_now) {
  auto& self = *static_cast<HttpsTransfer*>(user);
  try {
    if (self.budget) {
      if (self.budget->cancel && self.budget->cancel()) {
        self.cancelled = true;
        return 1;
      }
      if (std::chrono::steady_clock::now() >= self.budget->deadline) {
        self.time_exhausted = true;
        return 1;
      }
    }
    if (!self.progress || !*self.progress) return 0;
    auto clamp = [](curl_off_t value) { return static_cast<std::uint64_t>(std::max<curl_off_t>(value, 0)); };
    std::uint64_t done = clamp(download_now), total = clamp(download_total);
    if (self.mode == TransferMode::upload) {
      done = clamp(upload_now);
      total = clamp(upload_total);
    } else if (self.mode == TransferMode::file) {
      done = self.offset + self.received;
      total = self.total;
    }
    if (!(*self.progress)(done, total)) {
      self.cancelled = true;
      return 1;
    }
    return 0;
  } catch (...) {
    self.capture(std::current_exception());
    return 1;
  }
}

// The report must be exactly the reviewed snapshot: a file that shrinks or grows stops the upload.
std::size_t HttpsTransfer::on_upload(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto& self = *static_cast<HttpsTransfer*>(user);
  const Error changed("crash_changed", "Frozen upload snapshot changed during transfer");
  std::size_t requested = 0;
  if (!multiply(size, count, requested)) return CURL_READFUNC_ABORT;
  if (self.upload_remaining == 0) {
    char extra = 0;
    ssize_t got = 0;
    do {
      got = ::read(self.upload_fd, &extra, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return 0;
    if (!self.upload_failure) self.upload_failure = std::make_exception_ptr(changed);
    return CURL_READFUNC_ABORT;
  }
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>({requested, upload_block, self.upload_remaining}));
  std::size_t have = 0;
  while (have < want) {
    const ssize_t got = ::read(self.upload_fd, buffer + have, want - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (!self.upload_failure) self.upload_failure = std::make_exception_ptr(changed);
      return CURL_READFUNC_ABORT;
    }
    have += static_cast<std::size_t>(got);
  }
  self.upload_remaining -= have;
  return have;
}

}  // namespace trelk
