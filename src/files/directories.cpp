#include "files/directories.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/descriptor.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t path_bound = 4096;
constexpr int system_link_bound = 16;
constexpr std::size_t ancestry_bound = 128;
constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Walking an ancestry needs only the right to traverse it: shared roots are often 0711.
constexpr int ancestry_flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool bounded(const fs::path& path) { return path_utf8(path).size() <= path_bound; }

bool same_entry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool private_owned_directory(const struct stat& status, mode_t bits_mask) {
  return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & bits_mask) == 0700;
}

std::vector<fs::path> components(const fs::path& path) {
  std::vector<fs::path> parts;
  for (const auto& part : path.relative_path())
    if (!part.empty() && part != ".") parts.push_back(part);
  return parts;
}

enum class Ancestry { opened, root_failed, too_deep, not_ordinary };

// Opens an absolute directory by walking from the root with no-follow openat, so no
// component can be a symbolic link or be swapped for one between checks.
Ancestry open_ancestry(const fs::path& directory, Descriptor& out) {
  auto parts = components(directory);
  if (parts.size() > ancestry_bound) return Ancestry::too_deep;
  Descriptor current(::open(directory.root_path().c_str(), ancestry_flags));
  if (!current.valid()) return Ancestry::root_failed;
  for (const auto& part : parts) {
    Descriptor next(::openat(current.get(), part.c_str(), ancestry_flags));
    if (!next.valid()) return Ancestry::not_ordinary;
    current = std::move(next);
  }
  out = std::move(current);
  return Ancestry::opened;
}

// Synchronises a directory reached by an ancestry walk, which only needed to traverse it; syncing needs it open
// for reading. A directory we may not read (a shared 0711 root) cannot be synchronised by us and is skipped.
void sync_walked(const Descriptor& walked) {
  Descriptor readable(::openat(walked.get(), ".", directory_flags));
  require(readable.valid() ? posix_files::sync(readable.get()) == 0 : errno == EACCES, "file_sync",
          "Cannot synchronize a directory whose entries changed");
}

}  // namespace

fs::path resolve_system_links(const fs::path& path) {
  fs::path start = fs::absolute(path).lexically_normal();
  int followed = 0;
  for (;;) {
    auto parts = components(start);
    fs::path result = start.root_path();
    bool restarted = false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      fs::path candidate = result / parts[i];
      struct stat entry {};
      if (::lstat(candidate.c_str(), &entry) != 0) {
        for (std::size_t j = i + 1; j < parts.size(); ++j) candidate /= parts[j];
        return candidate;
      }
      struct stat holder {};
      if (S_ISLNK(entry.st_mode) && entry.st_uid == 0 && ::stat(result.c_str(), &holder) == 0 && holder.st_uid == 0 &&
          (holder.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        require(++followed <= system_link_bound, "unsafe_path", "Too many system links in a path");
        std::array<char, path_bound> buffer{};
        auto length = ::readlink(candidate.c_str(), buffer.data(), path_bound - 1);
        require(length > 0, "unsafe_path", "Cannot read a system link");
        fs::path text(std::string(buffer.data(), static_cast<std::size_t>(length)));
        fs::path next = text.has_root_directory() ? text : result / text;
        for (std::size_t j = i + 1; j < parts.size(); ++j) next /= parts[j];
        start = next.lexically_normal();
        restarted = true;
        break;
      }
      result = std::move(candidate);
    }
    if (!restarted) return result;
  }
}

void private_directory(const fs::path& path) {
  struct stat entry {};
  require(!(::lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)), "unsafe_path",
          "Managed directory is a symbolic link");
  // Each directory made here is synchronised into its parent, so a power cut cannot lose it while a file
  // written into it later survives.
  std::vector<fs::path> created;
  for (fs::path missing = path.filename().empty() ? path.parent_path() : path;
       !missing.empty() && !entry_exists(missing) && created.size() < ancestry_bound; missing = missing.parent_path())
    created.push_back(missing);
  fs::create_directories(path);
  for (auto it = created.rbegin(); it != created.rend(); ++it)
    sync_directory(it->has_parent_path() ? it->parent_path() : fs::path("."));
  // fchmod on a no-follow descriptor: a link planted after the check above is refused, not chmod'ed through.
  Descriptor fd(::open(path.c_str(), directory_flags));
  if (!fd.valid() && errno == ELOOP) fail("unsafe_path", "Managed directory is a symbolic link");
  require(fd.valid() && ::fchmod(fd.get(), 0700) == 0, "permissions", "Cannot restrict directory permissions");
}

void private_directory_new(const fs::path& path) {
  const auto& native = path.native();
  require(!native.empty() && native.find('\0') == std::string::npos && bounded(path), "unsafe_path",
          "New private directory requires a bounded path without NUL bytes");
  for (const auto& part : path) require(part != "..", "unsafe_path", "New private directory cannot traverse parents");
  const fs::path target = resolve_system_links(fs::absolute(path).lexically_normal());
  const fs::path name = target.filename();
  require(target != target.root_path() && !name.empty() && bounded(target), "unsafe_path",
          "New private directory cannot be a filesystem root or exceed its absolute path bound");

  auto open_parent = [&](Descriptor& parent) {
    switch (open_ancestry(target.parent_path(), parent)) {
      case Ancestry::opened:
        return;
      case Ancestry::root_failed:
        fail("unsafe_path", "Cannot open new private directory ancestry");
      case Ancestry::too_deep:
        fail("size_limit", "New private directory ancestry exceeds its bound");
      case Ancestry::not_ordinary:
        fail("unsafe_path", "New private directory requires ordinary existing parents");
    }
  };
  Descriptor parent;
  open_parent(parent);
  require(::mkdirat(parent.get(), name.c_str(), 0700) == 0, "native_install_commit",
          "Cannot reserve new private staging directory");
  Descriptor created(::openat(parent.get(), name.c_str(), directory_flags));
  struct stat made {};
  require(created.valid() && ::fstat(created.get(), &made) == 0 && private_owned_directory(made, 0777), "permissions",
          "New private staging directory permissions changed");

  Descriptor again;
  open_parent(again);
  struct stat first {};
  struct stat second {};
  struct stat named {};
  require(::fstat(parent.get(), &first) == 0 && ::fstat(again.get(), &second) == 0 && same_entry(first, second) &&
              ::fstatat(again.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
              private_owned_directory(named, 0777) && same_entry(named, made),
          "native_install_commit", "New private staging directory path changed");
  sync_walked(again);
}

void commit_private_path_new(const fs::path& source, const fs::path& destination, const std::function<void()>& verify) {
  const fs::path src = resolve_system_links(fs::absolute(source).lexically_normal());
  const fs::path dst = resolve_system_links(fs::absolute(destination).lexically_normal());
  require(src != src.root_path() && dst != dst.root_path() && src != dst && !src.filename().empty() &&
              !dst.filename().empty() && bounded(src) && bounded(dst),
          "unsafe_path", "Directory commit requires distinct bounded paths");

  // Both ends are reached through no-follow descriptor walks and the rename is issued relative
  // to those descriptors, so the checked ancestry is the one the rename acts on.
  Descriptor src_parent;
  Descriptor dst_parent;
  require(open_ancestry(src.parent_path(), src_parent) == Ancestry::opened &&
              open_ancestry(dst.parent_path(), dst_parent) == Ancestry::opened,
          "unsafe_path", "Directory commit requires ordinary existing ancestry");
  const std::string src_name = src.filename().native();
  const std::string dst_name = dst.filename().native();

  Descriptor held(::openat(src_parent.get(), src_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat before {};
  auto private_source = [](const struct stat& s) {
    if (s.st_uid != ::geteuid()) return false;
    if (S_ISDIR(s.st_mode)) return (s.st_mode & 0777) == 0700;
    return S_ISREG(s.st_mode) && s.st_nlink == 1 && (s.st_mode & 0777) == 0600;
  };
  require(held.valid() && ::fstat(held.get(), &before) == 0 && private_source(before), "native_install_commit",
          "Commit source must be private and owned by this user");

  if (verify) verify();

  struct stat after {};
  require(::fstatat(src_parent.get(), src_name.c_str(), &after, AT_SYMLINK_NOFOLLOW) == 0 &&
              (after.st_mode & S_IFMT) == (before.st_mode & S_IFMT) && after.st_uid == before.st_uid &&
              (after.st_mode & 0777) == (before.st_mode & 0777) && same_entry(after, before) &&
              (S_ISDIR(after.st_mode) || after.st_nlink == 1),
          "native_install_commit", "Source identity changed during verification");

  if (::renameat2(src_parent.get(), src_name.c_str(), dst_parent.get(), dst_name.c_str(), RENAME_NOREPLACE) != 0)
    fail(errno == EEXIST ? "already_installed" : "native_install_commit",
         "Cannot atomically install without replacing an existing destination");
  // The new name reaches the disk before the caller records it; the old one's removal with it.
  struct stat from {};
  struct stat into {};
  const bool one_parent =
      ::fstat(src_parent.get(), &from) == 0 && ::fstat(dst_parent.get(), &into) == 0 && same_entry(from, into);
  sync_walked(dst_parent);
  if (!one_parent) sync_walked(src_parent);
}

void exchange_private_directories(const fs::path& first, const fs::path& second, const std::function<void()>& verify) {
  const fs::path a = fs::absolute(first).lexically_normal();
  const fs::path b = fs::absolute(second).lexically_normal();
  require(a != a.root_path() && b != b.root_path() && a != b && !a.filename().empty() && !b.filename().empty() &&
              bounded(a) && bounded(b),
          "unsafe_path", "Directory exchange needs distinct bounded paths");

  const std::array<fs::path, 4> paths{a, b, a.parent_path(), b.parent_path()};
  std::array<Descriptor, 4> handles;
  std::array<struct stat, 4> recorded{};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    safe_join(paths[i], "exchange-ancestry", true);
    handles[i] = Descriptor(::open(paths[i].c_str(), directory_flags));
    require(handles[i].valid() && ::fstat(handles[i].get(), &recorded[i]) == 0 &&
                private_owned_directory(recorded[i], 07777),
            "native_install_commit", "Directory exchange requires private owned roots and parents");
  }
  require(recorded[0].st_dev == recorded[1].st_dev && recorded[0].st_ino != recorded[1].st_ino, "native_install_commit",
          "Directory exchange requires distinct roots on one volume");

  if (verify) verify();

  auto still = [&](std::size_t i, const struct stat& expected, bool roots_private) {
    struct stat now {};
    return ::lstat(paths[i].c_str(), &now) == 0 && S_ISDIR(now.st_mode) && same_entry(now, expected) &&
           now.st_uid == expected.st_uid && (!roots_private || (now.st_mode & 07777) == 0700);
  };
  require(still(0, recorded[0], true) && still(1, recorded[1], true) && still(2, recorded[2], false) &&
              still(3, recorded[3], false),
          "native_install_commit", "Directory exchange identities changed during verification");

  if (::syscall(SYS_renameat2, handles[2].get(), a.filename().c_str(), handles[3].get(), b.filename().c_str(),
                RENAME_EXCHANGE) != 0)
    fail("native_install_commit", "Cannot atomically exchange native directories");
  require(posix_files::sync(handles[2].get()) == 0 && posix_files::sync(handles[3].get()) == 0, "file_sync",
          "Cannot synchronize exchanged native directories");
  require(still(0, recorded[1], true) && still(1, recorded[0], true) && still(2, recorded[2], true) &&
              still(3, recorded[3], true),
          "native_install_commit",
          "Native directory exchange committed with changed ownership; recover its recorded identities");
}

namespace native_files {

void rename_replace(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) fail("file_write", "Cannot move " + path_utf8(from) + " into place");
}

bool remove_or_trash(const fs::path& path, const fs::path& /*trash*/) {
  if (::remove(path.c_str()) != 0 && errno != ENOENT) fail("file_remove", "Cannot remove " + path_utf8(path));
  return true;
}

void remove_after_exit(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

fs::path temporary_directory(const fs::path& /*path*/) {
  // Resolved, so a program started from below it finds the same path in /proc/self/exe.
  const fs::path temporary = fs::temp_directory_path();
  std::error_code error;
  fs::path resolved = fs::canonical(temporary, error);
  return error ? temporary : resolved;
}

}  // namespace native_files

}  // namespace trelk
