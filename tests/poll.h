// The tests' one way of waiting for something in C++: a condition polled
// until it holds or the time is up.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

// Asks `done` every `everyMs` until it holds (true) or `limitMs` have passed
// (false).
template <typename Condition>
bool PollUntil(Condition&& done, std::uint32_t limitMs, std::uint32_t everyMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
    }
    return true;
}
