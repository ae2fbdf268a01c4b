#pragma once

namespace trelk {

// Owns one open file descriptor and closes it when it goes away.
class Descriptor {
 public:
  Descriptor() noexcept = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() noexcept;
  // Closes the held descriptor (if any); returns the result of close (0 when none).
  int reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

}  // namespace trelk
