// What the browser's front end (app/web) needs from the web platform beyond
// the seam headers: the main window's handle, whether the dialog has ended,
// and where the device events go that come while a message box is open.
#pragma once

#include <cstdint>
#include <string>

#include "platform/window.h"

// The page has one main window, the updater's panel, and at most one
// progress panel.
constexpr WindowHandle PAGE_MAIN_WINDOW = 1;
constexpr WindowHandle PAGE_PROGRESS_WINDOW = 2;

// Handles one device arrival or removal (DEVICE_EVENT_ARRIVAL or
// DEVICE_EVENT_REMOVE_COMPLETE) of the interface `path`.
using DeviceEventHandler = void (*)(std::uint32_t event, const std::wstring& path);

// The handler that an open message box hands device events to, as a
// message box on Windows dispatches WM_DEVICECHANGE to the dialog's
// procedure. Set once by the front end before the dialog starts; null drops
// them.
void SetDeviceEventHandler(DeviceEventHandler handler);

// Whether EndDialogWith has ended the main dialog, and with which result.
bool MainDialogEnded();
int MainDialogResult();
