#include "files/locks.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "files/fixtures.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::plant_link;
using test::TempDir;

constexpr const char* state_busy = "Another Trelk operation is using this state";

// flock conflicts between open file descriptions even within one process, so one process plays every holder.
TEST(FileLock, SharedAndExclusiveHoldersAndRetainedOnes) {
  TempDir dir;
  const auto path = dir / "state" / "operation.lock";
  {
    std::optional<FileLock> reader_a(std::in_place, path, false, LockMode::shared);
    FileLock reader_b(path, false, LockMode::shared);
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
    reader_a.reset();
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
  }
  {
    FileLock writer(path, false, LockMode::exclusive);
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::shared), "busy", state_busy);
    EXPECT_TRELK_ERROR(FileLock(path, false, LockMode::exclusive), "busy", state_busy);
  }

  // A retained lock outlives its object and goes with its process.
  const pid_t child = ::fork();
  if (child == 0) {
    FileLock(path, false, LockMode::exclusive).retain_until_process_exit();
    ::_exit(test::fails_with([&] { FileLock(path, false, LockMode::shared); }, "busy") ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

TEST(Locks, RefuseLinksAndFilesThatAreNotEmptyAndPrivate) {
  TempDir dir;
  test::write_file(dir / "target", "keep");
  ::chmod((dir / "target").c_str(), 0600);
  plant_link(dir / "target", dir / "operation.lock");
  EXPECT_TRELK_ERROR(FileLock(dir / "operation.lock", false, LockMode::exclusive), "lock_failed",
                     "Cannot open operation lock");
  fs::create_directories(dir / "real");
  plant_link(dir / "real", dir / "state");
  EXPECT_TRELK_ERROR(FileLock(dir / "state" / "x.lock", false, LockMode::exclusive), "unsafe_path",
                     "Managed directory is a symbolic link");
  EXPECT_TRUE(fs::is_empty(dir / "real"));

  auto native = [](const fs::path& path) { NativeFileLock(path, false, NativeLockSharing::none, LockMode::exclusive); };
  const char* not_private = "Native ownership requires an ordinary empty private file";
  EXPECT_TRELK_ERROR(native(dir / "operation.lock"), "lock_failed", not_private);
  EXPECT_TRELK_ERROR(native(dir / "target"), "lock_failed", not_private);
  EXPECT_EQ(test::read_file(dir / "target"), "keep");  // never truncated
}

}  // namespace
}  // namespace trelk
