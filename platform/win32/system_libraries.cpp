#include "platform/win32/system_libraries.h"

namespace {

// Loads `dll` from System32 once; null when it cannot be loaded.
HMODULE SystemModule(const wchar_t* dll, HMODULE& cache) {
    if (cache == nullptr) {
        cache = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    return cache;
}

HMODULE Hid() {
    static HMODULE module = nullptr;
    return SystemModule(L"hid.dll", module);
}

HMODULE Msimg32() {
    static HMODULE module = nullptr;
    return SystemModule(L"msimg32.dll", module);
}

HMODULE Comctl32() {
    static HMODULE module = nullptr;
    return SystemModule(L"comctl32.dll", module);
}

// The function `name` of `module`, as the type `Function`; null when missing.
template <typename Function>
Function Resolve(HMODULE module, const char* name) {
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

void RestrictDllSearchToSystem32() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Loaded now, so that a later load of the same name finds them loaded,
    // also one that a system DLL makes by name on its own: Wine's uxtheme
    // loads msimg32.dll when it first draws a themed control's parent
    // background, searching the program's folder first.
    Hid();
    Msimg32();
    Comctl32();
}

namespace system32 {

bool HidD_GetHidGuid(GUID* guid) {
    using Function = void(WINAPI*)(GUID*);
    static const auto function = Resolve<Function>(Hid(), "HidD_GetHidGuid");
    if (function == nullptr) {
        *guid = GUID{};
        return false;
    }
    function(guid);
    return true;
}

BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    using Function = BOOLEAN(WINAPI*)(HANDLE, PHIDD_ATTRIBUTES);
    static const auto function = Resolve<Function>(Hid(), "HidD_GetAttributes");
    return function != nullptr ? function(device, attributes) : FALSE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
    using Function = BOOLEAN(WINAPI*)(HANDLE, PHIDP_PREPARSED_DATA*);
    static const auto function = Resolve<Function>(Hid(), "HidD_GetPreparsedData");
    return function != nullptr ? function(device, data) : FALSE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    using Function = BOOLEAN(WINAPI*)(PHIDP_PREPARSED_DATA);
    static const auto function = Resolve<Function>(Hid(), "HidD_FreePreparsedData");
    return function != nullptr ? function(data) : FALSE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    using Function = NTSTATUS(WINAPI*)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
    static const auto function = Resolve<Function>(Hid(), "HidP_GetCaps");
    return function != nullptr ? function(data, caps) : HIDP_STATUS_NOT_IMPLEMENTED;
}

BOOL TransparentBlt(HDC destination, int x, int y, int width, int height, HDC source,
                    int sourceX, int sourceY, int sourceWidth, int sourceHeight, UINT transparent) {
    using Function = BOOL(WINAPI*)(HDC, int, int, int, int, HDC, int, int, int, int, UINT);
    static const auto function = Resolve<Function>(Msimg32(), "TransparentBlt");
    return function != nullptr ? function(destination, x, y, width, height, source, sourceX, sourceY,
                                          sourceWidth, sourceHeight, transparent)
                               : FALSE;
}

void InitCommonControls() {
    using Function = void(WINAPI*)();
    static const auto function = Resolve<Function>(Comctl32(), "InitCommonControls");
    if (function != nullptr) {
        function();
    }
}

}  // namespace system32
