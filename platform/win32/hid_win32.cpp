// The HID functions on Windows: SetupAPI lists the interfaces, HID.DLL reads
// attributes and capabilities, and reports move with WriteFile and ReadFile.
//
// The interface is opened for overlapped I/O so that every write and read can
// be given a time limit: a unit pulled out mid-transfer, or one that stops
// answering, must not hang the program. An expired transfer is cancelled, and
// the cancelled operation is waited for before the caller's buffer is given
// back. Clean-up never changes the last-error value of the call that failed.
#include <windows.h>

#include <setupapi.h>

#include "platform/win32/system_libraries.h"

#include <cstddef>
#include <cwchar>
#include <memory>

#include "platform/hid.h"

// The platform's last-error values are Windows' own.
static_assert(PLATFORM_ERROR_TIMEOUT == ERROR_TIMEOUT, "ERROR_TIMEOUT");
static_assert(PLATFORM_ERROR_DEVICE_NOT_CONNECTED == ERROR_DEVICE_NOT_CONNECTED,
              "ERROR_DEVICE_NOT_CONNECTED");
static_assert(PLATFORM_ERROR_GEN_FAILURE == ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE");
static_assert(PLATFORM_ERROR_INVALID_HANDLE == ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE");
static_assert(PLATFORM_ERROR_INVALID_PARAMETER == ERROR_INVALID_PARAMETER,
              "ERROR_INVALID_PARAMETER");
static_assert(PLATFORM_ERROR_OPERATION_ABORTED == ERROR_OPERATION_ABORTED,
              "ERROR_OPERATION_ABORTED");
static_assert(PLATFORM_ERROR_IO_PENDING == ERROR_IO_PENDING, "ERROR_IO_PENDING");
static_assert(PLATFORM_ERROR_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND");
static_assert(PLATFORM_ERROR_ACCESS_DENIED == ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED");
static_assert(PLATFORM_ERROR_INVALID_DATA == ERROR_INVALID_DATA, "ERROR_INVALID_DATA");
static_assert(PLATFORM_ERROR_INSUFFICIENT_BUFFER == ERROR_INSUFFICIENT_BUFFER,
              "ERROR_INSUFFICIENT_BUFFER");
static_assert(PLATFORM_ERROR_NO_MORE_ITEMS == ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS");
static_assert(PLATFORM_ERROR_INVALID_USER_BUFFER == ERROR_INVALID_USER_BUFFER,
              "ERROR_INVALID_USER_BUFFER");
static_assert(PLATFORM_ERROR_BAD_COMMAND == ERROR_BAD_COMMAND, "ERROR_BAD_COMMAND");
static_assert(PLATFORM_ERROR_SEM_TIMEOUT == ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT");

struct HidInterfaceList {
    HDEVINFO deviceInfo;
    GUID hidGuid;
};

namespace {

HANDLE ToHandle(HidHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// Restores the last-error value when it goes out of scope.
class LastErrorKeeper {
public:
    LastErrorKeeper() : error_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD error_;
};

// A manual-reset event for one overlapped transfer.
class TransferEvent {
public:
    TransferEvent() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~TransferEvent() {
        if (event_ != nullptr) {
            LastErrorKeeper keep;
            CloseHandle(event_);
        }
    }
    TransferEvent(const TransferEvent&) = delete;
    TransferEvent& operator=(const TransferEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

// The transfer's own outcome, with the last-error value of its failure.
bool FinishTransfer(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (!started) {
        const DWORD waited = WaitForSingleObject(overlapped.hEvent, timeoutMs);
        if (waited != WAIT_OBJECT_0) {
            const DWORD error = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
            CancelIoEx(handle, &overlapped);
            // The driver may still hold the buffer until the cancellation has
            // gone through; wait for that. A transfer that completed in the
            // meantime counts as done, and one that failed on its own in the
            // meantime (the device pulled out) keeps its own error: only the
            // cancellation's own outcome reads as the expiry.
            DWORD transferred = 0;
            if (GetOverlappedResult(handle, &overlapped, &transferred, TRUE)) {
                return true;
            }
            if (GetLastError() == ERROR_OPERATION_ABORTED) {
                SetLastError(error);
            }
            return false;
        }
    }
    DWORD transferred = 0;
    return GetOverlappedResult(handle, &overlapped, &transferred, FALSE) != FALSE;
}

// Waits at most `timeoutMs` for an overlapped transfer that `started` began.
// On expiry the transfer is cancelled and waited for, and the last-error value
// is ERROR_TIMEOUT; on any other failure it is the failing call's. On success
// the last-error value is left as the caller had it: a transfer that went
// pending sets ERROR_IO_PENDING on its way, and a later failure that the unit
// reports (not the platform) must not show that value as its cause.
bool CompleteTransfer(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs,
                      DWORD callerError) {
    if (FinishTransfer(handle, overlapped, started, timeoutMs)) {
        SetLastError(callerError);
        return true;
    }
    return false;
}

// One report through WriteFile or ReadFile, which `start` calls with the
// file and the transfer's OVERLAPPED; the rest as CompleteTransfer says.
template <typename StartTransfer>
bool RunTransfer(HidHandle handle, DWORD timeoutMs, StartTransfer start) {
    const DWORD callerError = GetLastError();
    TransferEvent event;
    if (event.get() == nullptr) {
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    const BOOL started = start(ToHandle(handle), overlapped);
    return CompleteTransfer(ToHandle(handle), overlapped, started, timeoutMs, callerError);
}

}  // namespace

HidInterfaceList* HidOpenInterfaceList() {
    GUID hidGuid;
    if (!system32::HidD_GetHidGuid(&hidGuid)) {
        return nullptr;
    }
    const HDEVINFO deviceInfo =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (deviceInfo == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return new HidInterfaceList{deviceInfo, hidGuid};
}

void HidCloseInterfaceList(HidInterfaceList* list) {
    if (list != nullptr) {
        LastErrorKeeper keep;
        SetupDiDestroyDeviceInfoList(list->deviceInfo);
        delete list;
    }
}

HidInterfaceLookup HidGetInterfacePath(HidInterfaceList* list, std::uint32_t index,
                                       std::wstring& path) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(list->deviceInfo, nullptr, &list->hidGuid, index,
                                     &interfaceData)) {
        return HID_INTERFACE_END;
    }

    // First ask for the size, then read the detail into a buffer of that size.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(list->deviceInfo, &interfaceData, nullptr, 0, &required,
                                     nullptr);
    constexpr DWORD pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return HID_INTERFACE_NO_PATH;
    }
    std::unique_ptr<BYTE[]> buffer(new BYTE[required]);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list->deviceInfo, &interfaceData, detail, required,
                                          nullptr, nullptr)) {
        return HID_INTERFACE_NO_PATH;
    }
    // The path ends at its terminator, and never past the buffer.
    const std::size_t maxChars = (required - pathOffset) / sizeof(WCHAR);
    path.assign(detail->DevicePath, wcsnlen(detail->DevicePath, maxChars));
    return HID_INTERFACE_FOUND;
}

HidHandle HidOpenInterface(const std::wstring& path) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return INVALID_HID_HANDLE;
    }
    return reinterpret_cast<HidHandle>(handle);
}

void HidCloseInterface(HidHandle handle) {
    if (handle != INVALID_HID_HANDLE) {
        LastErrorKeeper keep;
        CloseHandle(ToHandle(handle));
    }
}

bool HidGetAttributes(HidHandle handle, std::uint16_t& vendorId, std::uint16_t& productId) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!system32::HidD_GetAttributes(ToHandle(handle), &attributes)) {
        return false;
    }
    vendorId = attributes.VendorID;
    productId = attributes.ProductID;
    return true;
}

bool HidGetReportLengths(HidHandle handle, std::uint16_t& inputLength,
                         std::uint16_t& outputLength) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!system32::HidD_GetPreparsedData(ToHandle(handle), &preparsed)) {
        return false;
    }
    HIDP_CAPS caps{};
    const NTSTATUS status = system32::HidP_GetCaps(preparsed, &caps);
    system32::HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) {
        return false;
    }
    inputLength = caps.InputReportByteLength;
    outputLength = caps.OutputReportByteLength;
    return true;
}

bool HidWriteReport(HidHandle handle, const std::uint8_t* report, std::uint32_t length,
                    std::uint32_t timeoutMs) {
    return RunTransfer(handle, timeoutMs, [&](HANDLE file, OVERLAPPED& overlapped) {
        return WriteFile(file, report, length, nullptr, &overlapped);
    });
}

// A read waits in slices of READ_SLICE_MS; after each slice without a report
// it is cancelled and issued afresh, until the caller's limit is reached. A
// read issued afresh takes a report that is already queued for the handle at
// once, and that matters: Wine's hidclass (8.0) checks the handle's queue and
// then queues the read without a lock between the two, so a reply that comes
// in between waits in the queue while the read waits for the next report
// (about one reply in a few thousand there). Without the fresh read that
// exchange would fail after the whole limit. A read that completes while it
// is being cancelled counts as done, so no report is lost or taken twice; one
// that fails on its own then keeps its own error.
constexpr DWORD READ_SLICE_MS = 200;

bool HidReadReport(HidHandle handle, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t timeoutMs) {
    const DWORD callerError = GetLastError();
    const HANDLE file = ToHandle(handle);
    TransferEvent event;
    if (event.get() == nullptr) {
        return false;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        ResetEvent(event.get());
        const BOOL started = ReadFile(file, buffer, length, nullptr, &overlapped);
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (left <= READ_SLICE_MS) {
            return CompleteTransfer(file, overlapped, started, left, callerError);
        }
        if (CompleteTransfer(file, overlapped, started, READ_SLICE_MS, callerError)) {
            return true;
        }
        if (GetLastError() != ERROR_TIMEOUT) {
            return false;  // the read failed on its own: the device is gone
        }
    }
}

std::uint32_t PlatformLastError() { return GetLastError(); }

void PlatformClearLastError() { SetLastError(0); }
