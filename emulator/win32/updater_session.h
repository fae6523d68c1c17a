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

HWND MainWindow();
std::wstring Title();
std::wstring ItemText(int id);
bool ItemEnabled(int id);

// Waits until `condition` holds (checked every 20 ms); false after `timeoutMs`.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = 10000);

// The answers for the coming message boxes, in order, each with an optional
// screenshot name taken while the box is on screen. A box without a queued
// answer is closed with Cancel (or OK when it has no Cancel).
void Answer(int button, const std::wstring& screenshot = L"");
std::vector<SeenBox> Boxes();

// Presses a button of the main window as a click does; returns when the
// dialog has handled it (false after `timeoutMs`).
bool Press(int id, DWORD timeoutMs);

SeenProgress Progress();

// Saves what is on screen of `window` as a BMP file in the screenshot folder.
bool Screenshot(HWND window, const std::wstring& name);

// Closes the updater with Close and waits for the dialog's thread; returns
// what the dialog's run returned.
int Close();

}  // namespace updater_session
