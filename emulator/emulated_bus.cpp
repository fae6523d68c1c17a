// The emulated bus and the platform's HID functions on it: every call finds
// the device behind a path or handle and reports failures with the
// last-error values that Windows would give.
#include "emulator/emulated_bus.h"

#include <algorithm>
#include <map>
#include <vector>

#include "emulator/emulated_device.h"
#include "platform/errors.h"
#include "platform/hid.h"

struct HidInterfaceList {
    std::vector<std::shared_ptr<EmulatedDevice>> devices;
};

namespace {

struct OpenInterface {
    std::shared_ptr<EmulatedDevice> device;
};

struct Bus {
    std::vector<std::shared_ptr<EmulatedDevice>> devices;
    std::map<HidHandle, OpenInterface> handles;
    std::map<std::wstring, std::uint32_t> openCounts;
    std::function<void(const BusEvent&)> listener;
    HidHandle nextHandle = 0x100;
    std::size_t openLists = 0;
    bool listingFails = false;
    std::uint32_t lastError = 0;
};

Bus& TheBus() {
    static Bus bus;
    return bus;
}

void Notify(BusEventKind kind, const std::wstring& path) {
    if (TheBus().listener) {
        TheBus().listener(BusEvent{kind, path});
    }
}

EmulatedDevice* DeviceOf(HidHandle handle) {
    auto it = TheBus().handles.find(handle);
    return it == TheBus().handles.end() ? nullptr : it->second.device.get();
}

// The device behind an open handle, for a transfer; null, with
// ERROR_INVALID_HANDLE, for a handle the host does not have open.
EmulatedDevice* OpenedDevice(HidHandle handle) {
    EmulatedDevice* device = DeviceOf(handle);
    if (device == nullptr) {
        TheBus().lastError = PLATFORM_ERROR_INVALID_HANDLE;
    }
    return device;
}

// The device behind an open handle, plugged in and with its `readable`
// property (attributes, capabilities) readable; null, with
// ERROR_GEN_FAILURE, otherwise.
const EmulatedDevice* ReadableDevice(HidHandle handle, bool EmulatedDevice::*readable) {
    const EmulatedDevice* device = DeviceOf(handle);
    if (device == nullptr || !device->plugged || !(device->*readable)) {
        TheBus().lastError = PLATFORM_ERROR_GEN_FAILURE;
        return nullptr;
    }
    return device;
}

}  // namespace

namespace emulated_bus {

void Reset() {
    Bus& bus = TheBus();
    for (const auto& [handle, open] : bus.handles) {
        open.device->HostClosed(handle);
    }
    for (const auto& device : bus.devices) {
        device->Unplugged();
    }
    bus = Bus{};
}

void Plug(const std::shared_ptr<EmulatedDevice>& device) {
    TheBus().devices.push_back(device);
    device->plugged = true;
    Notify(BusEventKind::Arrival, device->path);
}

void Unplug(EmulatedDevice* device) {
    Bus& bus = TheBus();
    auto it = std::find_if(bus.devices.begin(), bus.devices.end(),
                           [device](const auto& present) { return present.get() == device; });
    if (it == bus.devices.end()) {
        return;
    }
    const std::wstring path = device->path;
    device->Unplugged();
    bus.devices.erase(it);
    Notify(BusEventKind::Removal, path);
}

void Unplug(const std::shared_ptr<EmulatedDevice>& device) { Unplug(device.get()); }

void SetListener(std::function<void(const BusEvent&)> listener) {
    TheBus().listener = std::move(listener);
}

std::size_t OpenHandleCount() { return TheBus().handles.size(); }

std::uint32_t OpenCount(const std::wstring& path) {
    auto it = TheBus().openCounts.find(path);
    return it == TheBus().openCounts.end() ? 0 : it->second;
}

std::size_t OpenListCount() { return TheBus().openLists; }

void SetListingFails(bool fails) { TheBus().listingFails = fails; }


}  // namespace emulated_bus

HidInterfaceList* HidOpenInterfaceList() {
    if (TheBus().listingFails) {
        TheBus().lastError = PLATFORM_ERROR_INVALID_DATA;
        return nullptr;
    }
    ++TheBus().openLists;
    return new HidInterfaceList{TheBus().devices};
}

void HidCloseInterfaceList(HidInterfaceList* list) {
    if (list != nullptr) {
        --TheBus().openLists;
        delete list;
    }
}

HidInterfaceLookup HidGetInterfacePath(HidInterfaceList* list, std::uint32_t index,
                                       std::wstring& path) {
    if (index >= list->devices.size()) {
        TheBus().lastError = PLATFORM_ERROR_NO_MORE_ITEMS;
        return HID_INTERFACE_END;
    }
    const EmulatedDevice& device = *list->devices[index];
    if (!device.pathReadable) {
        TheBus().lastError = PLATFORM_ERROR_INSUFFICIENT_BUFFER;
        return HID_INTERFACE_NO_PATH;
    }
    path = device.path;
    return HID_INTERFACE_FOUND;
}

HidHandle HidOpenInterface(const std::wstring& path) {
    Bus& bus = TheBus();
    ++bus.openCounts[path];
    for (const auto& device : bus.devices) {
        if (device->path == path) {
            if (!device->openable) {
                bus.lastError = PLATFORM_ERROR_ACCESS_DENIED;
                return INVALID_HID_HANDLE;
            }
            const HidHandle handle = bus.nextHandle;
            bus.nextHandle += 4;
            bus.handles[handle] = OpenInterface{device};
            device->HostOpened(handle);
            return handle;
        }
    }
    bus.lastError = PLATFORM_ERROR_FILE_NOT_FOUND;
    return INVALID_HID_HANDLE;
}

void HidCloseInterface(HidHandle handle) {
    if (EmulatedDevice* device = DeviceOf(handle)) {
        device->HostClosed(handle);
    }
    TheBus().handles.erase(handle);
}

bool HidGetAttributes(HidHandle handle, std::uint16_t& vendorId, std::uint16_t& productId) {
    const EmulatedDevice* device = ReadableDevice(handle, &EmulatedDevice::attributesReadable);
    if (device == nullptr) {
        return false;
    }
    vendorId = device->vendorId;
    productId = device->productId;
    return true;
}

bool HidGetReportLengths(HidHandle handle, std::uint16_t& inputLength,
                         std::uint16_t& outputLength) {
    const EmulatedDevice* device = ReadableDevice(handle, &EmulatedDevice::capabilitiesReadable);
    if (device == nullptr) {
        return false;
    }
    inputLength = device->inputReportLength;
    outputLength = device->outputReportLength;
    return true;
}

bool HidWriteReport(HidHandle handle, const std::uint8_t* report, std::uint32_t length,
                    std::uint32_t timeoutMs) {
    EmulatedDevice* device = OpenedDevice(handle);
    return device != nullptr && device->HostWrite(report, length, timeoutMs, TheBus().lastError);
}

bool HidReadReport(HidHandle handle, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t timeoutMs) {
    EmulatedDevice* device = OpenedDevice(handle);
    return device != nullptr &&
           device->HostRead(handle, buffer, length, timeoutMs, TheBus().lastError);
}

std::uint32_t PlatformLastError() { return TheBus().lastError; }

void PlatformClearLastError() { TheBus().lastError = 0; }
