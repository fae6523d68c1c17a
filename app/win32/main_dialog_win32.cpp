// The main dialog's procedure and the run of the program. The procedure only
// dispatches: the shell's logic is portable (app/); what stays here is what
// only Windows does, painting the logo and colouring the ESC row.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>

#include <cwchar>

#include "app/connection_status.h"
#include "app/main_window_painting.h"
#include "app/shell.h"
#include "app/win32/main_dialog_win32.h"
#include "platform/win32/module.h"
#include "platform/win32/system_libraries.h"

namespace {

// The brush behind the red ESC row, made at its first use.
HBRUSH escRowBrush = nullptr;

// The logo's pure green is transparent.
constexpr COLORREF LOGO_TRANSPARENT = RGB(0, 255, 0);

ScreenRect ToScreenRect(const RECT& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }

// The logo, loaded for this paint and released at its end. Without it the
// window is drawn as it is.
void PaintLogo(HWND window) {
    PAINTSTRUCT paint;
    const HDC context = BeginPaint(window, &paint);
    const HBITMAP logo = LoadBitmapW(moduleInstance, MAKEINTRESOURCEW(IDB_LOGO));
    if (logo != nullptr) {
        BITMAP info{};
        GetObjectW(logo, sizeof(info), &info);
        const HDC memory = CreateCompatibleDC(context);
        const HGDIOBJ previous = SelectObject(memory, logo);
        RECT windowRect{};
        RECT groupRect{};
        GetWindowRect(window, &windowRect);
        GetWindowRect(GetDlgItem(window, IDC_VERSION_GROUP), &groupRect);
        const LogoPlacement place =
            PlaceLogo(info.bmWidth, info.bmHeight, ToScreenRect(windowRect), ToScreenRect(groupRect),
                      GetSystemMetrics(SM_CXDLGFRAME), GetSystemMetrics(SM_CYCAPTION));
        system32::TransparentBlt(context, place.x, place.y, place.width, place.height, memory, 0, 0,
                       info.bmWidth, info.bmHeight, LOGO_TRANSPARENT);
        SelectObject(memory, previous);
        DeleteDC(memory);
        DeleteObject(logo);
    }
    EndPaint(window, &paint);
}

// The dialog erases its background around its controls, never under them:
// each control paints its own background and text in one go. Erased by the
// dialog, a control would stay blank until its own paint reached the screen,
// and the ESC row, the last control painted, showed empty after an update.
// The group box is left out of the clipping, so that the dialog still erases
// the space inside it.
void KeepControlsOutOfTheErase(HWND window) {
    SetWindowLongPtrW(window, GWL_STYLE, GetWindowLongPtrW(window, GWL_STYLE) | WS_CLIPCHILDREN);
    const HWND group = GetDlgItem(window, IDC_VERSION_GROUP);
    SetWindowLongPtrW(group, GWL_EXSTYLE, GetWindowLongPtrW(group, GWL_EXSTYLE) | WS_EX_TRANSPARENT);
}

INT_PTR ColourEscRow(HDC context, HWND control) {
    if (!IsEscRowControl(GetDlgCtrlID(control))) {
        return FALSE;
    }
    SetTextColor(context, RGB(255, 0, 0));
    SetBkMode(context, TRANSPARENT);
    if (escRowBrush == nullptr) {
        escRowBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    }
    return reinterpret_cast<INT_PTR>(escRowBrush);
}

// WM_DEVICECHANGE. Only the arrival and removal events carry a broadcast;
// for every other event code lParam is not looked at, since any program may
// send WM_DEVICECHANGE with whatever lParam it likes. For those two: the
// device type at offset 4 of the header and, for an interface, its name from
// offset 28, never read past the size the header gives.
INT_PTR DeviceChange(WPARAM event, LPARAM data) {
    const auto code = static_cast<std::uint32_t>(event);
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if ((event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) || header == nullptr ||
        header->dbch_size < sizeof(DEV_BROADCAST_HDR)) {
        return OnDeviceChange(code, nullptr) != 0;
    }
    DeviceBroadcast broadcast{header->dbch_devicetype, std::wstring()};
    constexpr DWORD nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE && header->dbch_size > nameOffset) {
        const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
        const std::size_t maxChars = (header->dbch_size - nameOffset) / sizeof(wchar_t);
        broadcast.name.assign(device->dbcc_name, wcsnlen(device->dbcc_name, maxChars));
    }
    return OnDeviceChange(code, &broadcast) != 0;
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        KeepControlsOutOfTheErase(window);
        OnInitDialog(reinterpret_cast<WindowHandle>(window));
        return TRUE;
    case WM_PAINT:
        PaintLogo(window);
        return FALSE;
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam)) ? TRUE : FALSE;
    case WM_CTLCOLORSTATIC:
        return ColourEscRow(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_DEVICECHANGE:
        return DeviceChange(wParam, lParam);
    default:
        return FALSE;
    }
}

}  // namespace

int RunUpdater(HINSTANCE instance) {
    // Before anything can load a DLL: no DLL from the program's folder.
    RestrictDllSearchToSystem32();
    // A window that pumps no messages for 5 s would otherwise be replaced by
    // a "Not Responding" ghost inviting the user to end the program in the
    // middle of a flash write.
    DisableProcessWindowsGhosting();
    system32::InitCommonControls();
    SetModuleInstance(instance);
    StartShell();
    DialogBoxParamW(moduleInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (escRowBrush != nullptr) {
        DeleteObject(escRowBrush);
        escRowBrush = nullptr;
    }
    return 0;
}
