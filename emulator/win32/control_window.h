// The demo's emulator control window: plug and unplug the emulated unit,
// choose what it is and what hangs on it, and arm a fault for the next
// update. A window of its own; the updater's main dialog is unchanged.
#pragma once

#include <windows.h>

HWND CreateControlWindow(HINSTANCE instance);
