// A clock for the end-to-end tests that runs `scale` times faster than real
// time: every wait lasts 1/scale of its length, and the monotonic clock
// advances `scale` microseconds per real microsecond, so the emulated unit's
// own delays shrink alike. Scale 1 is real time. Test builds only.
#pragma once

#include <cstdint>

void SetClockScale(std::uint32_t scale);
