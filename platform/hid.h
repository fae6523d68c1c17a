// The operating system's HID interfaces, as the link needs them.
//
// Plain functions; one implementation is linked per program: platform/win32
// for the product, the emulated unit for the native tests and the demo.
// Nothing here interprets a report: the link decides what is sent and how a
// reply is judged, the platform only moves bytes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"

// An opened HID interface. On Windows this is the file HANDLE's value.
using HidHandle = std::uintptr_t;

// The invalid handle value (INVALID_HANDLE_VALUE on Windows).
constexpr HidHandle INVALID_HID_HANDLE = ~static_cast<HidHandle>(0);

// The list of present HID interfaces, owned by the platform.
struct HidInterfaceList;

// Takes the list of the HID interfaces present now.
// Returns null when the platform cannot list them.
HidInterfaceList* HidOpenInterfaceList();

// Releases a list from HidOpenInterfaceList. Null is allowed.
void HidCloseInterfaceList(HidInterfaceList* list);

enum HidInterfaceLookup {
    HID_INTERFACE_END,        // the index is past the last interface
    HID_INTERFACE_NO_PATH,    // the interface exists, but its path cannot be read
    HID_INTERFACE_FOUND,      // path holds the interface path
};

// Reads the path of the interface at `index` (0, 1, 2, ... in the platform's
// enumeration order).
HidInterfaceLookup HidGetInterfacePath(HidInterfaceList* list, std::uint32_t index,
                                       std::wstring& path);

// Opens an interface for reading and writing reports.
// Returns INVALID_HID_HANDLE when it cannot be opened.
HidHandle HidOpenInterface(const std::wstring& path);

// Closes a handle from HidOpenInterface. INVALID_HID_HANDLE is ignored.
void HidCloseInterface(HidHandle handle);

// Reads the USB vendor and product ID. Returns false when they cannot be read.
bool HidGetAttributes(HidHandle handle, std::uint16_t& vendorId, std::uint16_t& productId);

// Reads the input and output report lengths from the HID capabilities, in
// bytes, report ID included. Returns false when the capabilities cannot be read.
bool HidGetReportLengths(HidHandle handle, std::uint16_t& inputLength,
                         std::uint16_t& outputLength);

// Hands one output report of `length` bytes (byte 0 the report ID) to the
// device and waits at most `timeoutMs` for the write to complete. Returns
// false when the write fails or does not complete in time; an expired write
// is cancelled before this returns, and PlatformLastError() then reads
// PLATFORM_ERROR_TIMEOUT.
bool HidWriteReport(HidHandle handle, const std::uint8_t* report, std::uint32_t length,
                    std::uint32_t timeoutMs);

// Waits at most `timeoutMs` for one input report and places it, report ID
// first, into `buffer`, which holds `length` bytes. Returns false when the read
// fails or no report came in time; an expired read is cancelled and has
// finished with the buffer before this returns, and PlatformLastError() then
// reads PLATFORM_ERROR_TIMEOUT. Never writes more than `length` bytes into
// `buffer`.
bool HidReadReport(HidHandle handle, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t timeoutMs);

// The platform's last-error value (GetLastError on Windows; the values are
// named in platform/errors.h): after a failed call above, the code of the
// operation that failed. Cleaning up after a failure does not change it, and
// a call that succeeds leaves it as it was, so it may still hold the code of
// a failure long past.
std::uint32_t PlatformLastError();

// Sets the last-error value to 0 (SetLastError(0) on Windows). Called before
// an operation whose failure is reported with PlatformLastError(): the value
// then read is that operation's own, or 0 when no platform call failed (the
// device refused the command).
void PlatformClearLastError();

