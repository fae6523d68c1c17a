// The connection status and device events: what the shell does when HID
// interfaces arrive and leave, and what the hint box then says.
#pragma once

#include <cstdint>
#include <string>

// What the platform's WM_DEVICECHANGE carries: the broadcast's device type
// and, for an interface broadcast, the interface's name.
struct DeviceBroadcast {
    std::uint32_t deviceType;
    std::wstring name;
};

// The first discovery, once the dialog is initialised, and what the window
// then shows: the unit found, as after it was plugged in; or, when none is
// found or it cannot be identified, the unit closed, Update off, the no-unit
// status with the instructions and the rows without a unit.
void ShowConnectionAtStart();

// WM_DEVICECHANGE: 1 for the arrival and removal events (whatever was done),
// 0 for any other event. `broadcast` may be null for other events.
int OnDeviceChange(std::uint32_t event, const DeviceBroadcast* broadcast);

// Puts the status text `statusId`, an empty line and the connection
// instructions into the hint box.
void ShowStatusAndInstructions(std::uint32_t statusId);

// The window for the open unit as identification last read it, as after it
// was plugged in: Ready with its rows and Update on; or, for a unit in its
// bootloader, one without an updatable ESC or an incompatible ESC (after its
// box), the unit closed, Update off, the status with the instructions and
// the rows without a unit.
void ShowOpenUnit();

// Whether a unit is open and, by what identification read of it, one whose
// ESC Update may write: its normal firmware, an updatable ESC of an accepted
// type. Exactly the units for which discovery enables Update; a unit whose
// identification failed (it stays open until removed) is not one.
bool OpenUnitIsReady();

// How the removal of the opened unit is recognised by its device path:
// case-insensitive for the letters A to Z only; every other character
// compares by its code.
bool SamePathIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);
