// What a person at a terminal sees of long work: one line redrawn in place.
#pragma once

#include <unistd.h>

#include "core/progress.hpp"

namespace trelk {

// The phase (download, check, unpack, verify), bytes, rate and time left on one line of fd, redrawn at
// most ten times a second and ended with a newline once the last copy of the callable is gone. Empty, and
// so free, when fd is not a terminal.
Progress terminal_progress(int fd = STDERR_FILENO);

}  // namespace trelk
