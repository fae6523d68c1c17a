// The updater shell: the main window's state and what it does at start-up,
// on device events and on the user's commands. Portable; the dialog
// procedure of the platform hands every message here.
#pragma once

#include <cstdint>
#include <string>

#include "platform/window.h"
#include "res/resource.h"

// The model this updater serves. Update is offered only for its ESCs, by
// their type codes (ESC_TYPE_ORVANTO_A and _B, link/report.h).
constexpr const wchar_t* MODEL_NAME = L"ORVANTO";

// The main dialog, once it is initialised; 0 before.
extern WindowHandle mainWindow;
// The HID interface notification registration; 0 before or when it failed.
extern NotificationHandle deviceNotification;

// What the platform's WM_DEVICECHANGE carries: the broadcast's device type
// and, for an interface broadcast, the interface's name.
struct DeviceBroadcast {
    std::uint32_t deviceType;
    std::wstring name;
};

// Start of the program: no unit open.
void StartShell();

// WM_INITDIALOG.
void OnInitDialog(WindowHandle window);

// WM_DEVICECHANGE: 1 for the arrival and removal events (whatever was done),
// 0 for any other event. `broadcast` may be null for other events.
int OnDeviceChange(std::uint32_t event, const DeviceBroadcast* broadcast);

// Puts the status text `statusId`, an empty line and the connection
// instructions into the hint box.
void ShowStatusAndInstructions(std::uint32_t statusId);

// Brings the three version rows in line with the open unit.
void RefreshVersionDisplay();

// WM_COMMAND with this control id: Close, or Update (RunFirmwareUpdate,
// update/firmware_update.h). Returns true when the command was handled.
bool OnCommand(int id);

// Close: unregister, close the unit, end the dialog with IDCANCEL.
void CloseMainDialog();

// The two controls of the ESC row are drawn in red.
bool IsEscRowControl(int id);

// Where the logo goes, in the main window's client coordinates, from the
// logo's size, the window's and the group box's screen rectangles and the
// dialog frame and caption metrics.
struct LogoPlacement {
    int x, y, width, height;
};
LogoPlacement PlaceLogo(int logoWidth, int logoHeight, const ScreenRect& window,
                        const ScreenRect& group, int dialogFrameWidth, int captionHeight);

// Case-insensitive for the letters A to Z only; every other character
// compares by its code.
bool SamePathIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

// The version texts of the rows.
std::wstring UnitVersionText(std::uint32_t version);
std::wstring BootloaderVersionText(std::uint32_t version);
std::wstring EscVersionText(std::uint16_t version);
