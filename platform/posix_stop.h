// POSIX only: a request to stop the whole run, such as a signal handler makes. Copies of file data
// check it between chunks and then fail with EINTR, so that a large copy under a temporary name is
// given up and removed like any failed copy instead of being seen through to its end.
#pragma once

#include <atomic>

namespace twinfold {

// Set from a signal handler, so it must be lock-free; never cleared.
extern std::atomic<bool> g_stopRequested;
static_assert(std::atomic<bool>::is_always_lock_free, "g_stopRequested is set from a signal handler");

}  // namespace twinfold
