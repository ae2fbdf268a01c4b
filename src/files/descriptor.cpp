#include "files/descriptor.hpp"

#include <unistd.h>

namespace trelk {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Descriptor::release() noexcept {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

int Descriptor::reset(int fd) noexcept {
  int result = 0;
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (fd_ >= 0) result = ::close(fd_);
  fd_ = fd;
  return result;
}

}  // namespace trelk
