// The precise wait underneath WaitMilliseconds on Windows.
#pragma once

#include <cstdint>

// Blocks for at least `microseconds` and not much more; keeps the last-error
// value.
void WaitMicroseconds(std::uint64_t microseconds);

// The performance counter in microseconds.
std::uint64_t CounterMicroseconds();
