// Waiting on Windows.
//
// Sleep() rounds to the system timer tick, 15.6 ms on a stock system, so a
// Sleep(20) lasts anywhere from 15.6 to 31.3 ms: too short for the ESC's flash
// writes, or half as long again over two thousand blocks. A high-resolution
// waitable timer (Windows 10 1803 and later) wakes within a fraction of a
// millisecond; where it is missing, the wait sleeps whole ticks and yields
// for the rest. Either way the elapsed time is checked on the performance
// counter, so a wait never ends early.
#include <windows.h>

#include "platform/win32/precise_wait.h"

namespace {

// Missing from mingw's headers.
constexpr DWORD CREATE_WAITABLE_TIMER_HIGH_RESOLUTION_FLAG = 0x00000002;

// The longest a Sleep(1) may oversleep on a stock timer, in microseconds.
constexpr LONGLONG TICK_US = 16000;

// A waitable timer may wake a few hundred microseconds late; the last stretch
// of a wait is spent yielding on the performance counter instead.
constexpr LONGLONG TIMER_SLACK_US = 1000;

LONGLONG CounterFrequency() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return frequency;
}

LONGLONG CounterNow() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

HANDLE HighResolutionTimer() {
    static const HANDLE timer = CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION_FLAG, TIMER_ALL_ACCESS);
    return timer;
}

}  // namespace

void WaitMicroseconds(std::uint64_t microseconds) {
    const DWORD savedError = GetLastError();
    const LONGLONG frequency = CounterFrequency();
    const LONGLONG deadline = CounterNow() + static_cast<LONGLONG>(microseconds / 1000000) * frequency +
                              static_cast<LONGLONG>(microseconds % 1000000) * frequency / 1000000;
    const HANDLE timer = HighResolutionTimer();
    bool timerWorks = timer != nullptr;
    for (;;) {
        const LONGLONG remaining = deadline - CounterNow();
        if (remaining <= 0) {
            break;
        }
        const LONGLONG remainingUs = remaining * 1000000 / frequency;
        if (timerWorks && remainingUs > TIMER_SLACK_US) {
            LARGE_INTEGER due;
            due.QuadPart = -(remainingUs - TIMER_SLACK_US) * 10;  // relative, in 100 ns
            if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
                WaitForSingleObject(timer, INFINITE);
                continue;
            }
            timerWorks = false;
        }
        if (!timerWorks && remainingUs > TICK_US) {
            Sleep(static_cast<DWORD>((remainingUs - TICK_US) / 1000));
        } else {
            SwitchToThread();
        }
    }
    SetLastError(savedError);
}

std::uint64_t CounterMicroseconds() {
    const LONGLONG frequency = CounterFrequency();
    const LONGLONG now = CounterNow();
    return static_cast<std::uint64_t>(now / frequency * 1000000 +
                                      now % frequency * 1000000 / frequency);
}
