// Waiting and the monotonic clock in the browser.
//
// A wait suspends the program and lets the page run. Its timer runs in a
// worker of the page's (clock-worker.js): a desktop browser throttles the
// timers of a hidden tab's page (aligned to a second, worse after minutes),
// a dedicated worker's timers much less. The page checks the deadline against
// performance.now() on every wake-up and waits again if woken early, so a
// wait is never shorter than asked.
#include "platform/clock.h"
#include "platform/web/clock_speedup.h"
#include "platform/web/page_host.h"

void WaitMilliseconds(std::uint32_t milliseconds) {
    PageWait(static_cast<double>(milliseconds) / CLOCK_SPEEDUP);
}

std::uint64_t MonotonicMicroseconds() {
    return static_cast<std::uint64_t>(PageNow() * 1000.0 * CLOCK_SPEEDUP);
}
