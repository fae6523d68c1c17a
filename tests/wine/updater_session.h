// Drives the real updater dialog in-process, as a person would: the dialog
// runs on a thread of its own with the emulated unit behind it, and the
// caller plugs units, presses buttons, answers message boxes and reads what
// the windows show. Used by the end-to-end tests (and through them by the
// tour of tools/run.sh).
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
struct ShownBox {
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;      // visible buttons (IDOK, IDCANCEL, IDYES, IDNO)
    int defaultButton = 0;         // the one of them with the default button's style
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

// The folder that the environment variable ORVANTO_SCREENSHOTS names, made
// when it is missing; empty when the variable is not set.
std::wstring ScreenshotFolderFromEnvironment();

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

// Runs `work` on the dialog's thread (a unit plugged in or pulled out) and
// waits until the main window has handled one more device notification of
// `kind` than before it; false after `timeoutMs`.
bool AwaitDeviceEvent(WPARAM kind, const std::function<void()>& work, DWORD timeoutMs = 10000);

// The answers for the coming message boxes, in order, each with an optional
// screenshot name taken while the box is on screen. A box is answered once it
// is on screen; one without a queued answer is closed with Cancel (or OK when
// it has no Cancel).
void Answer(int button, const std::wstring& screenshot = L"");

// An answer as Answer queues it, given only after `work` has run on the
// dialog's thread while the box is on screen and the main window, inside the
// box's message loop, has handled one more device notification of
// `awaitEvent` (DBT_DEVICEREMOVECOMPLETE for a unit pulled out; 0: work that
// sets off no notification) than before the work; the screenshot shows the
// box then, and `look` (where given) runs on the dialog's thread right
// before the answer. A notification not handled
// within 5 s is noted in Problems() and the box answered regardless.
void AnswerAfter(int button, std::function<void()> work, WPARAM awaitEvent,
                 const std::wstring& screenshot = L"", std::function<void()> look = nullptr);
std::vector<ShownBox> Boxes();

// What went wrong in the session that no call could return: a message box
// that did not come on screen in time (it is answered all the same, so that
// the dialog does not hang). Empty when all went well.
std::vector<std::string> Problems();

// Presses a button of the main window as a click does; returns when the
// dialog has handled it (false after `timeoutMs`).
bool Press(int id, DWORD timeoutMs);

SeenProgress Progress();

// Invalidates the main window and its controls, erasing the background, and
// paints them through on the dialog's thread.
void PaintThrough();

// Saves what is on screen of `window` as a BMP file in the screenshot folder
// (tests/wine/screen_capture.h).
bool Screenshot(HWND window, const std::wstring& name);

// Closes the updater with Close and waits for the dialog's thread; returns
// what the dialog's run returned.
int Close();

// Closes the updater as Close does and tells what went wrong in the session:
// a run that did not return 0, and the problems noted (Problems()).
std::vector<std::string> Finish();

}  // namespace updater_session
