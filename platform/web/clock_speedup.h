// How much faster than real time the program's clock runs in this build.
//
// 1 in the product and the demo. The build of the browser tests defines
// ORVANTO_WEB_CLOCK_SPEEDUP as 50 for its own wasm: its waits and its HID
// time limits then pass 50 times faster (the 15 s reply limit in 0.3 s), so
// that a whole update takes about a second. Nothing at run time can change it.
#pragma once

#ifndef ORVANTO_WEB_CLOCK_SPEEDUP
#define ORVANTO_WEB_CLOCK_SPEEDUP 1
#endif

constexpr double CLOCK_SPEEDUP = ORVANTO_WEB_CLOCK_SPEEDUP;
static_assert(CLOCK_SPEEDUP >= 1, "the clock never runs slower than real time");
