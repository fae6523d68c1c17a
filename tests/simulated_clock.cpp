#include "tests/simulated_clock.h"

#include "emulator/emulated_device.h"
#include "platform/clock.h"

namespace {

struct Clock {
    std::uint64_t nowUs = 1'000'000;
    std::vector<std::uint32_t> waits;
};

Clock& TheClock() {
    static Clock clock;
    return clock;
}

}  // namespace

namespace simulated_clock {

void Reset() { TheClock() = Clock{}; }

const std::vector<std::uint32_t>& Waits() { return TheClock().waits; }

}  // namespace simulated_clock

void WaitMilliseconds(std::uint32_t milliseconds) {
    TheClock().waits.push_back(milliseconds);
    TheClock().nowUs += std::uint64_t{milliseconds} * 1000;
}

std::uint64_t MonotonicMicroseconds() { return TheClock().nowUs; }

// The device's own time passes without a wait of the host's.
void DeviceWaitUntil(std::uint64_t deadlineUs) {
    if (deadlineUs > TheClock().nowUs) {
        TheClock().nowUs = deadlineUs;
    }
}
