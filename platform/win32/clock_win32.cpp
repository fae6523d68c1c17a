// The product's clock on Windows: real time, waited precisely.
#include "platform/clock.h"
#include "platform/win32/precise_wait.h"

void WaitMilliseconds(std::uint32_t milliseconds) {
    WaitMicroseconds(std::uint64_t{milliseconds} * 1000);
}

std::uint64_t MonotonicMicroseconds() { return CounterMicroseconds(); }
