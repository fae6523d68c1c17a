// The shell's window operations with the dialog manager and USER.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>

#include "platform/window.h"
#include "platform/win32/system_libraries.h"
#include "platform/win32/module.h"
#include "res/resource.h"

// The seam's message box styles and answers, and the device events, are
// the values of <windows.h> and <dbt.h>.
static_assert(BOX_OK == MB_OK && BOX_OK_CANCEL == MB_OKCANCEL && BOX_YES_NO == MB_YESNO,
              "message box buttons");
static_assert(BOX_ICON_ERROR == MB_ICONERROR && BOX_ICON_EXCLAMATION == MB_ICONEXCLAMATION &&
                  BOX_ICON_INFORMATION == MB_ICONINFORMATION,
              "message box icons");
static_assert(ANSWER_OK == IDOK && ANSWER_CANCEL == IDCANCEL && ANSWER_YES == IDYES &&
                  ANSWER_NO == IDNO,
              "message box answers");
static_assert(DEVICE_EVENT_ARRIVAL == DBT_DEVICEARRIVAL &&
                  DEVICE_EVENT_REMOVE_COMPLETE == DBT_DEVICEREMOVECOMPLETE &&
                  DEVICE_TYPE_INTERFACE == DBT_DEVTYP_DEVICEINTERFACE,
              "device events");

namespace {

HWND ToWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }

}  // namespace

void SetItemText(WindowHandle dialog, int id, const std::wstring& text) {
    SetDlgItemTextW(ToWindow(dialog), id, text.c_str());
}

std::wstring GetItemText(WindowHandle dialog, int id) {
    const HWND item = GetDlgItem(ToWindow(dialog), id);
    const int length = GetWindowTextLengthW(item);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(item, &text[0], length + 1);
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

void EnableItem(WindowHandle dialog, int id, bool enable) {
    EnableWindow(GetDlgItem(ToWindow(dialog), id), enable ? TRUE : FALSE);
}

void SetWindowTitle(WindowHandle window, const std::wstring& title) {
    SendMessageW(ToWindow(window), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(title.c_str()));
}

int ShowMessageBox(WindowHandle owner, const std::wstring& text, const std::wstring& caption,
                   std::uint32_t style) {
    return MessageBoxW(ToWindow(owner), text.c_str(), caption.c_str(), style);
}

void EndDialogWith(WindowHandle dialog, int result) { EndDialog(ToWindow(dialog), result); }

void SetApplicationIcon(WindowHandle window) {
    const HICON icon = LoadIconW(moduleInstance, MAKEINTRESOURCEW(IDI_APP));
    SetClassLongPtrW(ToWindow(window), GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
}

// Without hid.dll there is no HID class to ask for: registering for the zero
// GUID would succeed and announce nothing, and the program would never find
// a unit without saying why. That counts as a failed registration.
NotificationHandle RegisterHidNotifications(WindowHandle window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    if (!system32::HidD_GetHidGuid(&filter.dbcc_classguid)) {
        return 0;
    }
    const HDEVNOTIFY notification =
        RegisterDeviceNotificationW(ToWindow(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return reinterpret_cast<NotificationHandle>(notification);
}

void UnregisterHidNotifications(NotificationHandle notification) {
    UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(notification));
}

ScreenRect GetWindowRectangle(WindowHandle window) {
    RECT rect{};
    GetWindowRect(ToWindow(window), &rect);
    return ScreenRect{rect.left, rect.top, rect.right, rect.bottom};
}

// A top-level progress bar: neither child nor pop-up, so it has a caption
// that shows `title`.
WindowHandle CreateProgressWindow(WindowHandle owner, const std::wstring& title, int x, int y,
                                  int width, int height) {
    const HWND progress =
        CreateWindowExW(0, PROGRESS_CLASSW, title.c_str(), WS_VISIBLE | PBS_SMOOTH, x, y, width,
                        height, ToWindow(owner), nullptr, moduleInstance, nullptr);
    return reinterpret_cast<WindowHandle>(progress);
}

// Not every progress control repaints on PBM_SETPOS by itself, and the update
// runs no message loop while it writes: paint it now.
void SetProgressPosition(WindowHandle progress, std::uint32_t position) {
    SendMessageW(ToWindow(progress), PBM_SETPOS, position, 0);
    UpdateWindow(ToWindow(progress));
}

void RaiseWindowToTop(WindowHandle window) {
    SetWindowPos(ToWindow(window), HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
}

WindowHandle ForegroundWindow() { return reinterpret_cast<WindowHandle>(GetForegroundWindow()); }

void ShowWindowNormally(WindowHandle window) { ShowWindow(ToWindow(window), SW_SHOW); }

void DestroyWindowNow(WindowHandle window) { DestroyWindow(ToWindow(window)); }
