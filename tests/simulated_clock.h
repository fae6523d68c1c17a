// A simulated clock for the native tests: WaitMilliseconds moves the time on
// at once and records the wait.
#pragma once

#include <cstdint>
#include <vector>

namespace simulated_clock {

void Reset();
// Every WaitMilliseconds call since the last Reset, in order.
const std::vector<std::uint32_t>& Waits();

}  // namespace simulated_clock
