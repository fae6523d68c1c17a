// orvanto-wine-box-icon.dll: which system icon a message box of
// orvanto-updater.exe shows, for orvanto-wine-driver. Under Wine a system
// icon is an object of the process that loaded it: the driver, in a process
// of its own, gets other handles for the error, warning and information
// icons than the program does and cannot read the program's. The driver
// hooks the program's window thread with BoxIconHook (SetWindowsHookExW,
// WH_CBT); Wine then loads this DLL into the program, where the hook
// compares the icon in each message box with the system's icons as the
// program itself loads them, and writes the one it shows into the box's
// window property "orvanto-box-icon", which any process can read: the
// icon's resource id (IDI_ERROR, IDI_WARNING, IDI_INFORMATION), or 1 for
// none. Nothing else of the program is touched.
#include <windows.h>

namespace {

constexpr int BOX_TEXT_ID = 0xFFFF;  // the static control of a message box's text
// The static control of a message box's icon: 20 on Windows, 1088 under Wine.
constexpr int BOX_ICON_IDS[] = {20, 1088};
const wchar_t* const SYSTEM_ICONS[] = {IDI_ERROR, IDI_WARNING, IDI_INFORMATION};
constexpr ULONG_PTR NO_SYSTEM_ICON = 1;

void MarkIcon(HWND box) {
    wchar_t name[16] = {};
    GetClassNameW(box, name, 16);
    if (lstrcmpW(name, L"#32770") != 0 || GetDlgItem(box, BOX_TEXT_ID) == nullptr ||
        GetPropW(box, L"orvanto-box-icon") != nullptr) {
        return;
    }
    ULONG_PTR shown = NO_SYSTEM_ICON;
    for (int control : BOX_ICON_IDS) {
        const auto icon =
            reinterpret_cast<HICON>(SendDlgItemMessageW(box, control, STM_GETICON, 0, 0));
        for (const wchar_t* id : SYSTEM_ICONS) {
            if (icon != nullptr && icon == LoadIconW(nullptr, id)) {
                shown = reinterpret_cast<ULONG_PTR>(id);
            }
        }
    }
    SetPropW(box, L"orvanto-box-icon", reinterpret_cast<HANDLE>(shown));
}

}  // namespace

// A message box's icon is in place once the box is activated or given the
// focus; under Wine without a window manager the focus comes first.
extern "C" __declspec(dllexport) LRESULT CALLBACK BoxIconHook(int code, WPARAM wParam,
                                                              LPARAM lParam) {
    if (code == HCBT_ACTIVATE || code == HCBT_SETFOCUS) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        if (window != nullptr) {
            MarkIcon(GetAncestor(window, GA_ROOT));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
