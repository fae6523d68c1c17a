// The window operations that the shell and the update need.
//
// Windows implements them with the dialog manager and USER; the native tests
// record them in order, so that a test can state what the user saw.
#pragma once

#include <cstdint>
#include <string>

// A window (HWND on Windows); 0 for none.
using WindowHandle = std::uintptr_t;

// The device-notification registration (HDEVNOTIFY on Windows); 0 for none.
using NotificationHandle = std::uintptr_t;

// Message box styles and answers (the values of MessageBoxW).
constexpr std::uint32_t BOX_OK = 0x00;
constexpr std::uint32_t BOX_OK_CANCEL = 0x01;
constexpr std::uint32_t BOX_YES_NO = 0x04;
constexpr std::uint32_t BOX_ICON_ERROR = 0x10;
constexpr std::uint32_t BOX_ICON_EXCLAMATION = 0x30;
constexpr std::uint32_t BOX_ICON_INFORMATION = 0x40;
constexpr int ANSWER_OK = 1;
constexpr int ANSWER_CANCEL = 2;
constexpr int ANSWER_YES = 6;
constexpr int ANSWER_NO = 7;

// Device-change events and broadcast types of WM_DEVICECHANGE.
constexpr std::uint32_t DEVICE_EVENT_ARRIVAL = 0x8000;         // DBT_DEVICEARRIVAL
constexpr std::uint32_t DEVICE_EVENT_REMOVE_COMPLETE = 0x8004; // DBT_DEVICEREMOVECOMPLETE
constexpr std::uint32_t DEVICE_TYPE_INTERFACE = 5;             // DBT_DEVTYP_DEVICEINTERFACE

// A window's rectangle in screen coordinates.
struct ScreenRect {
    int left, top, right, bottom;
};

// A dialog control's text.
void SetItemText(WindowHandle dialog, int id, const std::wstring& text);
std::wstring GetItemText(WindowHandle dialog, int id);
void EnableItem(WindowHandle dialog, int id, bool enable);

// The window's own text (its caption).
void SetWindowTitle(WindowHandle window, const std::wstring& title);

// Shows a modal message box owned by `owner` and returns the button pressed.
// The box dispatches the window's messages while it is open.
int ShowMessageBox(WindowHandle owner, const std::wstring& text, const std::wstring& caption,
                   std::uint32_t style);

void EndDialogWith(WindowHandle dialog, int result);

// Puts the application icon on the window's class.
void SetApplicationIcon(WindowHandle window);

// Asks for arrival and removal messages of HID interfaces. Returns 0 when
// the registration fails.
NotificationHandle RegisterHidNotifications(WindowHandle window);
void UnregisterHidNotifications(NotificationHandle notification);

// The window's rectangle in screen coordinates (GetWindowRect).
ScreenRect GetWindowRectangle(WindowHandle window);

// Creates the update's progress window: a top-level progress bar
// ("msctls_progress32", WS_VISIBLE | PBS_SMOOTH) with `title` in its caption,
// owned by `owner`. Returns 0 when it cannot be created.
WindowHandle CreateProgressWindow(WindowHandle owner, const std::wstring& title, int x, int y,
                                  int width, int height);

// Moves the bar (PBM_SETPOS, range 0 to 100) and paints it at once: the
// update pumps no messages while it writes.
void SetProgressPosition(WindowHandle progress, std::uint32_t position);

// SetWindowPos(HWND_TOP, SWP_NOSIZE | SWP_NOMOVE), which also activates it.
void RaiseWindowToTop(WindowHandle window);

// The window in the foreground now (GetForegroundWindow); 0 for none.
WindowHandle ForegroundWindow();

// ShowWindow(SW_SHOW).
void ShowWindowNormally(WindowHandle window);

void DestroyWindowNow(WindowHandle window);
