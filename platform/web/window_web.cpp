// The shell's window operations on the page: the main window is the
// updater's panel, a message box the page's modal dialog, the progress
// window the page's modal progress panel (page.js owns the elements).
#include "platform/web/page_host.h"
#include "platform/web/page_window.h"
#include "platform/window.h"

namespace {

DeviceEventHandler deviceEventHandler = nullptr;
bool dialogEnded = false;
int dialogResult = 0;

}  // namespace

void SetDeviceEventHandler(DeviceEventHandler handler) { deviceEventHandler = handler; }

bool MainDialogEnded() { return dialogEnded; }

int MainDialogResult() { return dialogResult; }

void SetItemText(WindowHandle, int id, const std::wstring& text) { PageSetItemText(id, text); }

std::wstring GetItemText(WindowHandle, int id) { return PageGetItemText(id); }

void EnableItem(WindowHandle, int id, bool enable) { PageEnableItem(id, enable); }

void SetWindowTitle(WindowHandle window, const std::wstring& title) {
    if (window == PAGE_MAIN_WINDOW) {
        PageSetTitle(title);
    }
}

// The box stays open until it is answered. Device events that come meanwhile
// go to the front end's handler at once, as MessageBoxW's own loop dispatches
// WM_DEVICECHANGE to the dialog: a unit pulled out during the confirmation is
// closed before the answer comes back. A handler may open a box of its own,
// which then lies over this one until it is answered.
int ShowMessageBox(WindowHandle, const std::wstring& text, const std::wstring& caption,
                   std::uint32_t style) {
    PageOpenMessageBox(text, caption, style);
    for (;;) {
        PageEvent event = PageNextMessageBoxEvent();
        if (event.kind == PAGE_EVENT_ANSWER) {
            PageCloseMessageBox();
            return static_cast<int>(event.value);
        }
        if (event.kind == PAGE_EVENT_DEVICE && deviceEventHandler != nullptr) {
            deviceEventHandler(event.value, event.path);
        }
    }
}

void EndDialogWith(WindowHandle dialog, int result) {
    if (dialog == PAGE_MAIN_WINDOW) {
        dialogEnded = true;
        dialogResult = result;
    }
}

// The page's icon is its favicon and the web app manifest's: nothing to set.
void SetApplicationIcon(WindowHandle) {}

NotificationHandle RegisterHidNotifications(WindowHandle) {
    return PageRegisterDeviceEvents() ? 1 : 0;
}

void UnregisterHidNotifications(NotificationHandle notification) {
    if (notification != 0) {
        PageUnregisterDeviceEvents();
    }
}

ScreenRect GetWindowRectangle(WindowHandle window) {
    ScreenRect rect{0, 0, 0, 0};
    if (window == PAGE_MAIN_WINDOW) {
        PageMainRectangle(rect.left, rect.top, rect.right, rect.bottom);
    }
    return rect;
}

// The panel is laid out by the page, centred over the main panel: the
// position and size asked for are not needed.
WindowHandle CreateProgressWindow(WindowHandle, const std::wstring& title, int, int, int, int) {
    PageOpenProgress(title);
    return PAGE_PROGRESS_WINDOW;
}

// The page paints it while the update waits after each block.
void SetProgressPosition(WindowHandle progress, std::uint32_t position) {
    if (progress == PAGE_PROGRESS_WINDOW) {
        PageSetProgress(position > 100 ? 100 : position);
    }
}

// A page cannot raise itself or its tab above other windows, and its modal
// panels already lie above the main panel: nothing to do.
void RaiseWindowToTop(WindowHandle) {}

// The main window while the page is visible and has the focus.
WindowHandle ForegroundWindow() { return PageIsForeground() ? PAGE_MAIN_WINDOW : 0; }

// The panels show from the moment they are made: nothing to do.
void ShowWindowNormally(WindowHandle) {}

void DestroyWindowNow(WindowHandle window) {
    if (window == PAGE_PROGRESS_WINDOW) {
        PageCloseProgress();
    }
}
