#include "tests/wine/scaled_clock.h"

#include <atomic>

#include "platform/clock.h"
#include "platform/win32/precise_wait.h"

namespace {

std::atomic<std::uint32_t> clockScale{1};

}  // namespace

void SetClockScale(std::uint32_t scale) { clockScale = scale == 0 ? 1 : scale; }

void WaitMilliseconds(std::uint32_t milliseconds) {
    WaitMicroseconds(std::uint64_t{milliseconds} * 1000 / clockScale);
}

std::uint64_t MonotonicMicroseconds() { return CounterMicroseconds() * clockScale; }
