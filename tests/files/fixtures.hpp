#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

namespace trelk::test {

// A symbolic link that resolve_system_links must not follow. Tests run as root create
// root-owned links, which count as system links inside a private directory; handing the
// link to another user makes it a planted link again.
inline void plant_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_symlink(target, link);
  if (::geteuid() == 0 && ::lchown(link.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "cannot hand over " << link;
}

inline mode_t mode_bits(const std::filesystem::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

inline std::filesystem::path private_dir(const std::filesystem::path& path) {
  std::filesystem::create_directories(path);
  std::filesystem::permissions(path, std::filesystem::perms(0700));
  return path;
}

}  // namespace trelk::test
