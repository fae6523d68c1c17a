// Drives the real updater dialog in-process, as a person would: the dialog
// runs on a thread of its own with the emulated unit behind it, and the
// caller plugs units, presses buttons, answers message boxes and reads what
// the windows show. Used by the demo's tour and the end-to-end tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A message box as the user saw it.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;      // visible buttons (IDOK, IDCANCEL, IDYES, IDNO)
    int icon = 0;                  // 32513 error, 32515 warning, 32516 information, 0 none
    bool progressWindowOpen = false;
    HWND owner = nullptr;
    HWND window = nullptr;
    int answer = 0;
};

// The update's progress window as it was created, and the bar's positions.
struct SeenProgress {
    bool created = false;
    std::wstring className;
    std::wstring title;
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = 0, y = 0, width = 0, height = 0;
    HWND owner = nullptr;
    std::vector<std::uint32_t> positions;
};

namespace updater_session {

// Starts the dialog on its own thread; returns when the main window is shown
// (false after `timeoutMs`). `screenshots` is a folder for Screenshot(), or
// empty.
bool Start(const std::wstring& screenshots, DWORD timeoutMs = 20000);

// Runs `work` on the dialog's thread and waits for it.
void OnDialogThread(std::function<void()> work);

// The main window, handed over by the dialog's thread once the dialog has
// initialised; null before that and after Close. Safe from any thread.
HWND MainWindow();
std::wstring Title();
std::wstring ItemText(int id);
bool ItemEnabled(int id);

// Waits until `condition` holds (checked every 20 ms); false after `timeoutMs`.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = 10000);

// How many WM_DEVICECHANGE notifications of this kind (DBT_DEVICEARRIVAL,
// DBT_DEVICEREMOVECOMPLETE) the main window's procedure has handled and
// returned from. A test waits on it to know that a plug or an unplug has been
// dealt with, not merely that time has passed.
std::uint32_t DeviceEventsHandled(WPARAM kind);

// The answers for the coming message boxes, in order, each with an optional
// screenshot name taken while the box is on screen. A box is answered once it
// is on screen; one without a queued answer is closed with Cancel (or OK when
// it has no Cancel).
void Answer(int button, const std::wstring& screenshot = L"");
std::vector<SeenBox> Boxes();

// What went wrong in the session that no call could return: a message box
// that did not come on screen in time (it is answered all the same, so that
// the dialog does not hang). Empty when all went well.
std::vector<std::string> Problems();

// Presses a button of the main window as a click does; returns when the
// dialog has handled it (false after `timeoutMs`).
bool Press(int id, DWORD timeoutMs);

SeenProgress Progress();

// What is on screen of a window: its pixels, top row first.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgra;  // 4 bytes a pixel: blue, green, red, unused

    // The pixel at (x, y) of the window's rectangle, as a COLORREF.
    COLORREF At(int x, int y) const {
        const std::uint8_t* pixel = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
        return RGB(pixel[2], pixel[1], pixel[0]);
    }
};

// Reads what is on screen of `window` (false when it has no area).
bool CaptureWindow(HWND window, Capture& capture);

// Saves what is on screen of `window` as a BMP file in the screenshot folder.
bool Screenshot(HWND window, const std::wstring& name);

// Closes the updater with Close and waits for the dialog's thread; returns
// what the dialog's run returned.
int Close();

}  // namespace updater_session
