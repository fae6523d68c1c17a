// The emulated unit's arrivals and removals reach the main window as the
// WM_DEVICECHANGE notifications that Windows sends for a real unit.
#pragma once

#include <functional>

// Listens on the emulated bus. Each event is queued to the calling thread,
// which must be the updater's thread, and handed to the main window as
// WM_DEVICECHANGE when that thread's message loop next runs: a unit pulled
// out in the middle of an update is handled once the update has returned, as
// on Windows, where the thread pumps no messages while it writes.
// (WM_DEVICECHANGE with a broadcast cannot be posted: the system refuses to
// post a message that carries a pointer.)
void ForwardBusEventsToMainWindow();

// Runs `work` on the updater's thread when its message loop next runs; for
// driving the emulator from another thread (the end-to-end tests).
void PostToUpdaterThread(std::function<void()> work);
