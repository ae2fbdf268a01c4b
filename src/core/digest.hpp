#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using EVP_MD = struct evp_md_st;
using EVP_MD_CTX = struct evp_md_ctx_st;

namespace trelk {

// (done, total) -> false asks for cancellation at a safe boundary.
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

void initialize_client_runtime();
std::string hex(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> unhex(std::string_view text, std::size_t limit);
const EVP_MD* algorithm(std::string_view name);

// Incremental SHA-256/SHA-512 over one owned library context.
class DigestState {
 public:
  explicit DigestState(std::string_view name);
  DigestState(DigestState&& other) noexcept;
  DigestState& operator=(DigestState&& other) noexcept;
  DigestState(const DigestState&) = delete;
  DigestState& operator=(const DigestState&) = delete;
  ~DigestState();

  void update(std::string_view data);
  // The digest of everything fed so far; the state stays open.
  std::string value() const;

 private:
  EVP_MD_CTX* context_ = nullptr;
};

std::string digest(std::string_view data, std::string_view name);
std::string digest_file(const std::filesystem::path& file, std::string_view name);
std::string digest_file_progress(const std::filesystem::path& file, std::string_view name, const Progress& progress);
// The digest of an open file from its first byte to its end, read by position.
std::string digest_descriptor(int fd, std::string_view name, const Progress& progress);
std::string random_id();
std::size_t decrypt_chacha20_poly1305(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 12> nonce,
                                      std::string_view associated, std::string_view record, std::span<char> out,
                                      std::size_t limit);
std::array<std::uint8_t, 32> pbkdf2_sha256(std::string_view password, std::span<const std::uint8_t> salt,
                                           std::uint32_t iterations);

}  // namespace trelk
