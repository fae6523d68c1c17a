// The HID interfaces over WebHID.
//
// The interfaces are the devices that the user granted to the page
// (navigator.hid.getDevices(), in that order), each with the path
// "webhid:<n>" that the page gave its HIDDevice object. The page moves the
// bytes (page.js); this file keeps the seam's contract: handles, the
// last-error values of Windows, and time limits in the program's clock.
#include "platform/hid.h"
#include "platform/web/clock_speedup.h"
#include "platform/web/page_host.h"

struct HidInterfaceList {
    std::int32_t id;
};

namespace {

// The last-error value of the last failed call. A call that succeeds leaves
// it as it was, as Windows' transfers do.
std::uint32_t lastError = 0;

// The page's handles are 1, 2, 3, ...; 0 is none.
std::int32_t ToPageHandle(HidHandle handle) {
    if (handle == INVALID_HID_HANDLE || handle == 0 || handle > 0x7FFFFFFF) {
        return 0;
    }
    return static_cast<std::int32_t>(handle);
}

double RealTimeout(std::uint32_t timeoutMs) {
    return static_cast<double>(timeoutMs) / CLOCK_SPEEDUP;
}

}  // namespace

HidInterfaceList* HidOpenInterfaceList() {
#if ORVANTO_WEB_STAND_IN_ONLY
    // The demo's and the tests' updater carries the STAND-IN image, which is
    // not firmware: it lists no device unless the emulated unit's stand-in
    // WebHID is in place, so that it can never reach a real unit's ESC.
    if (!PageHidIsStandIn()) {
        lastError = PLATFORM_ERROR_GEN_FAILURE;
        return nullptr;
    }
#endif
    const std::int32_t id = PageHidOpenList();
    if (id == 0) {
        lastError = PLATFORM_ERROR_GEN_FAILURE;
        return nullptr;
    }
    return new HidInterfaceList{id};
}

void HidCloseInterfaceList(HidInterfaceList* list) {
    if (list == nullptr) {
        return;
    }
    PageHidCloseList(list->id);
    delete list;
}

// Every granted device has a path: HID_INTERFACE_NO_PATH never comes.
HidInterfaceLookup HidGetInterfacePath(HidInterfaceList* list, std::uint32_t index,
                                       std::wstring& path) {
    if (list == nullptr || !PageHidListPath(list->id, index, path)) {
        return HID_INTERFACE_END;
    }
    return HID_INTERFACE_FOUND;
}

HidHandle HidOpenInterface(const std::wstring& path) {
    const std::int32_t handle = PageHidOpen(path);
    if (handle == 0) {
        // The device is gone, or the browser refused to open it (another
        // program or tab holds it).
        lastError = PLATFORM_ERROR_GEN_FAILURE;
        return INVALID_HID_HANDLE;
    }
    return static_cast<HidHandle>(handle);
}

void HidCloseInterface(HidHandle handle) {
    const std::int32_t pageHandle = ToPageHandle(handle);
    if (pageHandle != 0) {
        PageHidClose(pageHandle);
    }
}

bool HidGetAttributes(HidHandle handle, std::uint16_t& vendorId, std::uint16_t& productId) {
    if (!PageHidAttributes(ToPageHandle(handle), vendorId, productId)) {
        lastError = PLATFORM_ERROR_INVALID_HANDLE;
        return false;
    }
    return true;
}

bool HidGetReportLengths(HidHandle handle, std::uint16_t& inputLength,
                         std::uint16_t& outputLength) {
    if (!PageHidReportLengths(ToPageHandle(handle), inputLength, outputLength)) {
        lastError = PLATFORM_ERROR_INVALID_HANDLE;
        return false;
    }
    return true;
}

namespace {

// A transfer of `length` bytes at `bytes` through the page: the handle and
// the buffer checked first, then `transfer` (the page's write or read),
// whose non-zero answer is the last error.
template <typename PageTransfer>
bool RunTransfer(HidHandle handle, const void* bytes, std::uint32_t length,
                 PageTransfer transfer) {
    const std::int32_t pageHandle = ToPageHandle(handle);
    if (pageHandle == 0) {
        lastError = PLATFORM_ERROR_INVALID_HANDLE;
        return false;
    }
    if (bytes == nullptr || length == 0) {
        lastError = PLATFORM_ERROR_INVALID_PARAMETER;
        return false;
    }
    const std::uint32_t error = transfer(pageHandle);
    if (error != 0) {
        lastError = error;
        return false;
    }
    return true;
}

}  // namespace

// The page answers PLATFORM_ERROR_TIMEOUT when the time limit passed (WebHID
// cannot cancel a sendReport; its late outcome is dropped),
// PLATFORM_ERROR_DEVICE_NOT_CONNECTED when the device went away or was closed
// before or during the write, and PLATFORM_ERROR_GEN_FAILURE when the browser
// rejected it.
bool HidWriteReport(HidHandle handle, const std::uint8_t* report, std::uint32_t length,
                    std::uint32_t timeoutMs) {
    return RunTransfer(handle, report, length, [&](std::int32_t pageHandle) {
        return PageHidWrite(pageHandle, report, length, RealTimeout(timeoutMs));
    });
}

// The page answers PLATFORM_ERROR_TIMEOUT when no report came in time and
// PLATFORM_ERROR_DEVICE_NOT_CONNECTED when the device went away or was closed
// before or during the wait.
bool HidReadReport(HidHandle handle, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t timeoutMs) {
    return RunTransfer(handle, buffer, length, [&](std::int32_t pageHandle) {
        return PageHidRead(pageHandle, buffer, length, RealTimeout(timeoutMs));
    });
}

std::uint32_t PlatformLastError() { return lastError; }

void PlatformClearLastError() { lastError = 0; }
