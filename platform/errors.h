// The platform's last-error values (PlatformLastError(), platform/hid.h):
// the Windows codes, which every platform reports, so that a failure box
// reads the same on each. The Windows implementation checks each against
// <windows.h>.
#pragma once

#include <cstdint>

// What a failed HID call leaves behind on every platform.
constexpr std::uint32_t PLATFORM_ERROR_TIMEOUT = 1460;               // ERROR_TIMEOUT
constexpr std::uint32_t PLATFORM_ERROR_DEVICE_NOT_CONNECTED = 1167;  // ERROR_DEVICE_NOT_CONNECTED
constexpr std::uint32_t PLATFORM_ERROR_GEN_FAILURE = 31;             // a device is not functioning
constexpr std::uint32_t PLATFORM_ERROR_INVALID_HANDLE = 6;           // ERROR_INVALID_HANDLE
constexpr std::uint32_t PLATFORM_ERROR_INVALID_PARAMETER = 87;       // ERROR_INVALID_PARAMETER

// What Windows' overlapped transfers set on their way: a cancelled
// transfer, and one that has not completed yet.
constexpr std::uint32_t PLATFORM_ERROR_OPERATION_ABORTED = 995;      // ERROR_OPERATION_ABORTED
constexpr std::uint32_t PLATFORM_ERROR_IO_PENDING = 997;             // ERROR_IO_PENDING

// What the emulated platform reports where SetupAPI and CreateFileW would.
constexpr std::uint32_t PLATFORM_ERROR_FILE_NOT_FOUND = 2;           // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t PLATFORM_ERROR_ACCESS_DENIED = 5;            // ERROR_ACCESS_DENIED
constexpr std::uint32_t PLATFORM_ERROR_INVALID_DATA = 13;            // ERROR_INVALID_DATA
constexpr std::uint32_t PLATFORM_ERROR_INSUFFICIENT_BUFFER = 122;    // ERROR_INSUFFICIENT_BUFFER
constexpr std::uint32_t PLATFORM_ERROR_NO_MORE_ITEMS = 259;          // ERROR_NO_MORE_ITEMS
// The HID class driver's answer to a read whose buffer is shorter than the
// input report.
constexpr std::uint32_t PLATFORM_ERROR_INVALID_USER_BUFFER = 1784;   // ERROR_INVALID_USER_BUFFER

// Other codes a failed transfer may leave on Windows; the tests hand them
// through a failing exchange to the failure box.
constexpr std::uint32_t PLATFORM_ERROR_BAD_COMMAND = 22;             // ERROR_BAD_COMMAND
constexpr std::uint32_t PLATFORM_ERROR_SEM_TIMEOUT = 121;            // ERROR_SEM_TIMEOUT
