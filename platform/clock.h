// Waiting and reading a monotonic clock.
//
// The product waits in real time; the native tests link a simulated clock in
// which a wait only moves the time on, so that a whole update runs in well
// under a second.
#pragma once

#include <cstdint>

// Blocks the calling thread for at least `milliseconds`.
void WaitMilliseconds(std::uint32_t milliseconds);

// Microseconds on a monotonic clock with an arbitrary origin.
std::uint64_t MonotonicMicroseconds();
