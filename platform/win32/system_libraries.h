// The system DLLs that Windows does not protect as KnownDLLs, loaded from the
// System32 folder only: never from the program's own folder or the current
// one, where somebody may have put a DLL of the same name.
//
// The program imports only KnownDLLs (kernel32, user32, gdi32, setupapi,
// msvcrt); hid.dll, msimg32.dll and comctl32.dll are reached through the
// functions below, whose DLL RestrictDllSearchToSystem32 loads with
// LOAD_LIBRARY_SEARCH_SYSTEM32 (or the first use, should that load have
// failed). When a DLL or a function cannot be had, the
// call fails the way the function itself reports failure, with the last
// error of the failed load.
#pragma once

#include <windows.h>

extern "C" {
#include <hidsdi.h>
}

// First thing at start-up: every later load searches System32 only, and
// hid.dll, msimg32.dll and comctl32.dll are loaded from there at once.
void RestrictDllSearchToSystem32();

namespace system32 {

// The HID interface class. False, with the GUID zero, when hid.dll cannot be
// had: then no HID interface can be listed or announced.
bool HidD_GetHidGuid(GUID* guid);
BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);

BOOL TransparentBlt(HDC destination, int x, int y, int width, int height, HDC source,
                    int sourceX, int sourceY, int sourceWidth, int sourceHeight, UINT transparent);

// Loads comctl32.dll, which registers the common control classes, and calls
// its InitCommonControls.
void InitCommonControls();

}  // namespace system32
