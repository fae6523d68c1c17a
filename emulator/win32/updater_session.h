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

// The system icons that a message box shows, by their resource ids
// (IDI_ERROR, IDI_WARNING, IDI_INFORMATION).
constexpr int SEEN_ICON_ERROR = 32513;
constexpr int SEEN_ICON_WARNING = 32515;
constexpr int SEEN_ICON_INFORMATION = 32516;

// A message box as the user saw it.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;      // visible buttons (IDOK, IDCANCEL, IDYES, IDNO)
    int icon = 0;                  // one of the SEEN_ICON_ ids, 0 none
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

// Saves what is on screen of `window` as a BMP file in the screenshot folder
// (emulator/win32/screen_capture.h).
bool Screenshot(HWND window, const std::wstring& name);

// Closes the updater with Close and waits for the dialog's thread; returns
// what the dialog's run returned.
int Close();

}  // namespace updater_session
