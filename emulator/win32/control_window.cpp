#include "emulator/win32/control_window.h"

#include <cwchar>
#include <string>

#include "emulator/demo_unit.h"

namespace {

enum ControlId {
    ID_PLUG = 100,
    ID_UNIT_KIND,
    ID_MODE,
    ID_ESC,
    ID_TYPE_CODE,
    ID_VERSION,
    ID_FAULT_KIND,
    ID_FAULT_STEP,
    ID_FAULT_BLOCK,
    ID_FAULT_CODE,
    ID_ARM,
    ID_STATUS,
};

HWND controlWindow = nullptr;

// The faults and steps of the two lists, in their order.
constexpr DemoFaultKind FAULT_KINDS[] = {DemoFaultKind::None, DemoFaultKind::UnitError,
                                         DemoFaultKind::NoReply, DemoFaultKind::WriteFails,
                                         DemoFaultKind::Unplug};
constexpr DemoFaultStep FAULT_STEPS[] = {DemoFaultStep::SystemLock, DemoFaultStep::ProtectionOff,
                                         DemoFaultStep::Purge, DemoFaultStep::SetAddress,
                                         DemoFaultStep::DataBlock};

HWND Item(int id) { return GetDlgItem(controlWindow, id); }

std::wstring ItemText(int id) {
    wchar_t text[64] = {};
    GetWindowTextW(Item(id), text, 64);
    return text;
}

std::uint32_t ItemHex(int id, std::uint32_t fallback) {
    const std::wstring text = ItemText(id);
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text.c_str(), &end, 16);
    return (end == text.c_str()) ? fallback : static_cast<std::uint32_t>(value);
}

int Selection(int id) { return static_cast<int>(SendMessageW(Item(id), CB_GETCURSEL, 0, 0)); }

void SetStatus(const std::wstring& text) { SetWindowTextW(Item(ID_STATUS), text.c_str()); }

void Add(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
         int width, int height, int id) {
    const HWND control =
        CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 TRUE);
}

void Label(HWND parent, const wchar_t* text, int x, int y) {
    Add(parent, L"STATIC", text, SS_LEFT, x, y + 3, 110, 18, -1);
}

void Combo(HWND parent, int id, int x, int y, std::initializer_list<const wchar_t*> choices,
           int selected = 0) {
    Add(parent, L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_TABSTOP | WS_VSCROLL, x, y, 200, 200, id);
    for (const wchar_t* choice : choices) {
        SendMessageW(Item(id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    }
    SendMessageW(Item(id), CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void Edit(HWND parent, int id, int x, int y, const wchar_t* text) {
    Add(parent, L"EDIT", text, WS_BORDER | ES_UPPERCASE | WS_TABSTOP, x, y, 200, 22, id);
}

// `value` in `digits` upper-case hexadecimal digits.
std::wstring Hex(std::uint32_t value, int digits) {
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"%0*X", digits, value);
    return text;
}

// The unit's controls start as the demo's unit does (DemoUnitSettings{}).
void BuildControls(HWND window) {
    controlWindow = window;
    const DemoUnitSettings start;
    int y = 12;
    Label(window, L"Unit:", 12, y);
    Combo(window, ID_UNIT_KIND, 130, y, {L"LINK-BOX (product ID 2)", L"ORBICON (product ID 1)"},
          start.productId == PRODUCT_ID_ORBICON ? 1 : 0);
    y += 30;
    Label(window, L"Unit runs:", 12, y);
    Combo(window, ID_MODE, 130, y, {L"its normal firmware", L"its own bootloader"},
          start.inBootloader ? 1 : 0);
    y += 30;
    Label(window, L"ESC:", 12, y);
    Combo(window, ID_ESC, 130, y, {L"updatable ESC attached", L"no ESC"},
          start.escAttached ? 0 : 1);
    y += 30;
    Label(window, L"ESC type (hex):", 12, y);
    Edit(window, ID_TYPE_CODE, 130, y, Hex(start.escTypeCode, 8).c_str());
    y += 30;
    Label(window, L"ESC version (hex):", 12, y);
    Edit(window, ID_VERSION, 130, y, Hex(start.escFirmwareVersion, 4).c_str());
    y += 34;
    Add(window, L"BUTTON", L"Plug in", BS_PUSHBUTTON | WS_TABSTOP, 130, y, 200, 26, ID_PLUG);
    y += 44;
    Label(window, L"Next update:", 12, y);
    Combo(window, ID_FAULT_KIND, 130, y,
          {L"no fault", L"unit reports an error code", L"reply never comes", L"write fails",
           L"unit pulled out"});
    y += 30;
    Label(window, L"at step:", 12, y);
    Combo(window, ID_FAULT_STEP, 130, y,
          {L"system lock", L"write protection off", L"purge", L"set address", L"data block N"});
    y += 30;
    Label(window, L"N (data block):", 12, y);
    Edit(window, ID_FAULT_BLOCK, 130, y, L"1000");
    SetWindowLongPtrW(Item(ID_FAULT_BLOCK), GWL_STYLE,
                      GetWindowLongPtrW(Item(ID_FAULT_BLOCK), GWL_STYLE) | ES_NUMBER);
    y += 30;
    Label(window, L"error code (hex):", 12, y);
    Edit(window, ID_FAULT_CODE, 130, y, L"0000ABCD");
    y += 34;
    Add(window, L"BUTTON", L"Arm fault", BS_PUSHBUTTON | WS_TABSTOP, 130, y, 200, 26, ID_ARM);
    y += 40;
    Add(window, L"STATIC", L"No unit plugged in.", SS_LEFT, 12, y, 320, 36, ID_STATUS);
}

void TogglePlug() {
    if (DemoUnit()) {
        UnplugDemoUnit();
        SetWindowTextW(Item(ID_PLUG), L"Plug in");
        SetStatus(L"Unit pulled out.");
        return;
    }
    const DemoUnitSettings start;
    DemoUnitSettings settings;
    settings.productId = Selection(ID_UNIT_KIND) == 1 ? PRODUCT_ID_ORBICON : PRODUCT_ID_LINK_BOX;
    settings.inBootloader = Selection(ID_MODE) == 1;
    settings.escAttached = Selection(ID_ESC) == 0;
    settings.escTypeCode = ItemHex(ID_TYPE_CODE, start.escTypeCode);
    settings.escFirmwareVersion =
        static_cast<std::uint16_t>(ItemHex(ID_VERSION, start.escFirmwareVersion));
    PlugDemoUnit(settings);
    SetWindowTextW(Item(ID_PLUG), L"Pull out");
    SetStatus(L"Unit plugged in.");
}

void ArmFault() {
    const DemoFaultKind kind = FAULT_KINDS[Selection(ID_FAULT_KIND)];
    const DemoFaultStep step = FAULT_STEPS[Selection(ID_FAULT_STEP)];
    const std::uint32_t block = static_cast<std::uint32_t>(std::wcstoul(ItemText(ID_FAULT_BLOCK).c_str(), nullptr, 10));
    if (!ArmDemoFault(kind, step, block, ItemHex(ID_FAULT_CODE, 0xABCD))) {
        SetStatus(L"Plug a unit in first: faults are armed on the plugged unit.");
        return;
    }
    SetStatus(kind == DemoFaultKind::None ? L"No fault armed." : L"Fault armed for the next update.");
}

LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        BuildControls(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == ID_PLUG && HIWORD(wParam) == BN_CLICKED) {
            TogglePlug();
        } else if (LOWORD(wParam) == ID_ARM && HIWORD(wParam) == BN_CLICKED) {
            ArmFault();
        }
        return 0;
    case WM_CLOSE:
        // The demo ends with the updater's window, not with this one.
        ShowWindow(window, SW_MINIMIZE);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

HWND CreateControlWindow(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ControlWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"OrvantoEmulatorControls";
    RegisterClassExW(&windowClass);
    RECT area{0, 0, 350, 470};
    AdjustWindowRect(&area, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE);
    return CreateWindowExW(0, windowClass.lpszClassName, L"Emulated programming unit",
                           WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE,
                           20, 20, area.right - area.left, area.bottom - area.top, nullptr, nullptr,
                           instance, nullptr);
}
