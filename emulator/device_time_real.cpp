// The device's own time on a real clock: the host's call blocks for real.
#include "emulator/emulated_device.h"
#include "platform/clock.h"

void DeviceWaitUntil(std::uint64_t deadlineUs) {
    const std::uint64_t now = MonotonicMicroseconds();
    if (deadlineUs > now) {
        WaitMilliseconds(static_cast<std::uint32_t>((deadlineUs - now + 999) / 1000));
    }
}
