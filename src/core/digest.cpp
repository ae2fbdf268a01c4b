// The one-shot digest uses OpenSSL's low-level SHA-2 functions, deprecated in favour of EVP: their first EVP
// use builds the provider name table (about three million instructions), most of a direct start's own work.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "core/digest.hpp"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/error.hpp"
#include "core/paths.hpp"

namespace trelk {

namespace {

constexpr std::size_t file_chunk = 65536;
constexpr const char* unsupported_hash = "Only SHA-256 and SHA-512 hashes are supported";
constexpr std::size_t max_aead_limit = 2147483631;  // the ciphertext length must fit an int with the tag
constexpr std::size_t aead_tag = 16;
constexpr std::size_t max_associated = 4096;
constexpr std::size_t max_kdf_input = 4096;

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// A file read from its first byte by position: opened (and closed) here, or a descriptor the caller keeps.
class ReadFile {
 public:
  explicit ReadFile(const fs::path& file) : fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)), owned_(true) {}
  explicit ReadFile(int fd) : fd_(fd), owned_(false) {}
  ~ReadFile() {
    if (owned_ && fd_ >= 0) ::close(fd_);
  }
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Reads until the buffer is full or the file ends, like a stream read does;
  // returns the bytes read, or -1 on a read error.
  ssize_t fill(char* buffer, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
      ssize_t got = ::pread(fd_, buffer + filled, size - filled, static_cast<off_t>(offset_));
      if (got > 0) offset_ += static_cast<std::uint64_t>(got);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      if (got == 0) break;
      filled += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(filled);
  }

 private:
  int fd_;
  bool owned_;
  std::uint64_t offset_ = 0;  // read by position, so a shared descriptor's offset stays untouched
};

std::string final_hex(EVP_MD_CTX* context, const std::string& message) {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  require(EVP_DigestFinal_ex(context, value, &length) == 1, "crypto_failure", message);
  return hex({value, length});
}

template <typename Context, std::size_t length>
std::string one_shot(std::string_view data, int (*init)(Context*), int (*update)(Context*, const void*, std::size_t),
                     int (*finish)(unsigned char*, Context*)) {
  Context context;
  unsigned char value[length];
  require(init(&context) == 1 && update(&context, data.data(), data.size()) == 1 && finish(value, &context) == 1,
          "crypto_failure", "Could not hash content");
  return hex({value, length});
}

}  // namespace

void initialize_client_runtime() {
  static std::once_flag once;
  // A throwing attempt leaves the flag unset, so a later caller tries again.
  std::call_once(once, [] {
    require(OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1, "crypto_failure",
            "Cannot initialize native cryptography");
  });
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char alphabet[] = "0123456789abcdef";
  std::string text(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = alphabet[bytes[i] >> 4];
    text[2 * i + 1] = alphabet[bytes[i] & 0x0f];
  }
  return text;
}

std::vector<std::uint8_t> unhex(std::string_view text, std::size_t limit) {
  require(text.size() <= limit && text.size() % 2 == 0, "invalid_hex", "Invalid hexadecimal data");
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    fail("invalid_hex", "Invalid hexadecimal character");
  };
  std::vector<std::uint8_t> bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
  return bytes;
}

const EVP_MD* algorithm(std::string_view name) {
  initialize_client_runtime();
  if (name == "sha256") return EVP_sha256();
  if (name == "sha512") return EVP_sha512();
  fail("unsupported_hash", unsupported_hash);
}

DigestState::DigestState(std::string_view name) {
  const EVP_MD* md = algorithm(name);
  DigestContext context(EVP_MD_CTX_new());
  require(context && EVP_DigestInit_ex(context.get(), md, nullptr) == 1, "crypto_failure",
          "Cannot initialize incremental target hash");
  context_ = context.release();
}

DigestState::DigestState(DigestState&& other) noexcept : context_(other.context_) { other.context_ = nullptr; }

DigestState& DigestState::operator=(DigestState&& other) noexcept {
  if (this != &other) {
    EVP_MD_CTX_free(context_);
    context_ = other.context_;
    other.context_ = nullptr;
  }
  return *this;
}

DigestState::~DigestState() { EVP_MD_CTX_free(context_); }

void DigestState::update(std::string_view data) {
  require(context_ != nullptr && EVP_DigestUpdate(context_, data.data(), data.size()) == 1, "crypto_failure",
          "Cannot update target hash");
}

std::string DigestState::value() const {
  const std::string message = "Cannot snapshot incremental target hash";
  DigestContext copy(EVP_MD_CTX_new());
  require(context_ != nullptr && copy && EVP_MD_CTX_copy_ex(copy.get(), context_) == 1, "crypto_failure", message);
  return final_hex(copy.get(), message);
}

std::string digest(std::string_view data, std::string_view name) {
  if (name == "sha256")
    return one_shot<SHA256_CTX, SHA256_DIGEST_LENGTH>(data, SHA256_Init, SHA256_Update, SHA256_Final);
  if (name == "sha512")
    return one_shot<SHA512_CTX, SHA512_DIGEST_LENGTH>(data, SHA512_Init, SHA512_Update, SHA512_Final);
  fail("unsupported_hash", unsupported_hash);
}

std::string digest_file(const fs::path& file, std::string_view name) { return digest_file_progress(file, name, {}); }

std::string digest_file_progress(const fs::path& file, std::string_view name, const Progress& progress) {
  ReadFile input(file);
  require(input.is_open(), "file_read", "Could not open file for verification: " + path_utf8(file));
  return digest_descriptor(input.fd(), name, progress);
}

std::string digest_descriptor(int fd, std::string_view name, const Progress& progress) {
  ReadFile input(fd);
  const EVP_MD* md = algorithm(name);
  DigestContext context(EVP_MD_CTX_new());
  require(context && EVP_DigestInit_ex(context.get(), md, nullptr) == 1, "crypto_failure",
          "Could not initialize file hash");

  std::uint64_t done = 0;
  std::uint64_t total = 0;
  auto report = [&] { require(progress(done, total), "cancelled", "File verification cancelled"); };
  if (progress) {
    struct stat info {};
    require(::fstat(input.fd(), &info) == 0, "file_read", "Error reading file during verification");
    total = static_cast<std::uint64_t>(info.st_size);
    report();
  }
  (void)::posix_fadvise(input.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);

  auto buffer = std::make_unique_for_overwrite<char[]>(file_chunk);
  while (true) {
    ssize_t got = input.fill(buffer.get(), file_chunk);
    require(got >= 0, "file_read", "Error reading file during verification");
    auto count = static_cast<std::size_t>(got);
    require(EVP_DigestUpdate(context.get(), buffer.get(), count) == 1, "crypto_failure", "Could not hash file");
    done += count;
    if (progress) {
      require(done <= total, "content_mismatch", "File grew beyond its verification bound");
      report();
    }
    // A short read met the end of the file.
    if (count < file_chunk) break;
  }
  return final_hex(context.get(), "Could not finish file hash");
}

std::string random_id() {
  initialize_client_runtime();
  std::array<std::uint8_t, 16> bytes{};
  require(RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1, "crypto_failure",
          "Could not create random identifier");
  return hex(bytes);
}

std::size_t decrypt_chacha20_poly1305(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 12> nonce,
                                      std::string_view associated, std::string_view record, std::span<char> out,
                                      std::size_t limit) {
  require(limit <= max_aead_limit && record.size() >= aead_tag && record.size() - aead_tag <= limit &&
              associated.size() <= max_associated && out.size() >= record.size() - aead_tag,
          "encrypted_format", "AEAD record or associated data exceeds its bound");
  const std::size_t cipher_length = record.size() - aead_tag;
  initialize_client_runtime();
  try {
    CipherContext context(EVP_CIPHER_CTX_new());
    require(context && EVP_DecryptInit_ex(context.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr) == 1,
            "crypto_failure", "Cannot initialize authenticated chunk decryption");

    std::uint8_t tag[aead_tag];
    std::memcpy(tag, record.data() + cipher_length, aead_tag);
    require(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(aead_tag), tag) == 1 &&
                EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.data(), nonce.data()) == 1,
            "crypto_failure", "Cannot set authenticated chunk parameters");

    int length = 0;
    const std::string failed = "Cannot decrypt authenticated chunk";
    if (!associated.empty())
      require(
          EVP_DecryptUpdate(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(associated.data()),
                            static_cast<int>(associated.size())) == 1,
          "crypto_failure", failed);
    length = 0;
    // A null output pointer would mean associated data, so an empty ciphertext is not fed at all.
    if (cipher_length > 0)
      require(EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(out.data()), &length,
                                reinterpret_cast<const unsigned char*>(record.data()),
                                static_cast<int>(cipher_length)) == 1,
              "crypto_failure", failed);
    require(length >= 0 && static_cast<std::size_t>(length) <= cipher_length, "crypto_failure",
            "Unexpected authenticated chunk output");

    unsigned char scratch[aead_tag];
    int final_length = 0;
    int verified = EVP_DecryptFinal_ex(context.get(), scratch, &final_length);
    OPENSSL_cleanse(scratch, sizeof scratch);
    require(verified == 1, "authentication_failed", "Encrypted chunk authentication failed");
    require(
        final_length >= 0 && static_cast<std::size_t>(length) + static_cast<std::size_t>(final_length) == cipher_length,
        "crypto_failure", "Authenticated chunk length differs");
    return cipher_length;
  } catch (...) {
    // No unauthenticated plaintext may survive a failure.
    OPENSSL_cleanse(out.data(), out.size());
    throw;
  }
}

std::array<std::uint8_t, 32> pbkdf2_sha256(std::string_view password, std::span<const std::uint8_t> salt,
                                           std::uint32_t iterations) {
  require(salt.size() <= max_kdf_input && password.size() <= max_kdf_input && iterations >= 1, "crypto_failure",
          "Key derivation input exceeds its bound");
  initialize_client_runtime();
  std::array<std::uint8_t, 32> key{};
  // The library counts iterations in an int.
  require(iterations <= static_cast<std::uint32_t>(INT_MAX) &&
              PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                                static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                                static_cast<int>(key.size()), key.data()) == 1,
          "crypto_failure", "Cannot derive a key");
  return key;
}

}  // namespace trelk
