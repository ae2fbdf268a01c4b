// The progress line a person sees on a terminal, and its absence everywhere else.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>

#include "progress_line.hpp"

namespace trelk {
namespace {

TEST(TerminalProgress, OneThrottledLineWithPhaseOnATerminalAndNothingElsewhere) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  EXPECT_FALSE(terminal_progress(pipe_ends[1]));
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);

  int master = -1, terminal = -1;
  ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  {
    Progress progress = terminal_progress(terminal);
    ASSERT_TRUE(progress);
    progress_phase(progress, "download");
    for (std::uint64_t done = 0; done <= 64; ++done) EXPECT_TRUE(progress(done << 20, 64 << 20));
  }
  ::close(terminal);
  // A pty hands its writes over one read at a time; read until the closed side reports EIO.
  std::string shown;
  char chunk[4096];
  for (ssize_t got; (got = ::read(master, chunk, sizeof chunk)) > 0;) shown.append(chunk, static_cast<std::size_t>(got));
  ::close(master);
  ASSERT_FALSE(shown.empty());
  // The first counts and the last ones, not every call; the line is ended.
  std::size_t draws = 0;
  for (std::size_t at = shown.find("\rtrelk: "); at != std::string::npos; at = shown.find("\rtrelk: ", at + 1)) ++draws;
  EXPECT_GE(draws, 2u) << shown;
  EXPECT_LT(draws, 10u) << shown;
  EXPECT_NE(shown.find("\rtrelk: download  0.0 of 64.0 MiB"), std::string::npos) << shown;
  EXPECT_NE(shown.find("64.0 of 64.0 MiB"), std::string::npos) << shown;
  EXPECT_TRUE(shown.ends_with("\n")) << shown;
}

}  // namespace
}  // namespace trelk
