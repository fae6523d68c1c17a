#include "emulator/emulated_device.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/clock.h"
#include "platform/hid.h"

namespace {

constexpr std::uint32_t ERROR_INVALID_USER_BUFFER = 1784;

}  // namespace

EmulatedDevice::EmulatedDevice(std::wstring devicePath, std::uint16_t vendor,
                               std::uint16_t product)
    : path(std::move(devicePath)), vendorId(vendor), productId(product) {}

EmulatedDevice::~EmulatedDevice() = default;

std::vector<std::vector<std::uint8_t>> EmulatedDevice::Commands() const {
    std::vector<std::vector<std::uint8_t>> commands;
    for (const LoggedReport& entry : log_) {
        if (entry.fromHost) {
            commands.push_back(entry.bytes);
        }
    }
    return commands;
}

std::uint64_t EmulatedDevice::HostWaitBetween(std::size_t from, std::size_t to) const {
    const std::uint64_t start = log_.at(from).completedAtUs;
    const std::uint64_t end = log_.at(to).requestedAtUs;
    return end > start ? end - start : 0;
}

std::optional<Fault> EmulatedDevice::TakeFault(const std::vector<std::uint8_t>& report) {
    const std::uint8_t command = report.size() > 1 ? report[1] : 0;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const bool byExchange = it->exchange != 0 && it->exchange == exchanges_;
        const bool byCommand = it->exchange == 0 && it->command == command &&
                               it->occurrence == commandCounts_[command];
        if (byExchange || byCommand) {
            Fault fault = *it;
            faults.erase(it);
            return fault;
        }
    }
    return std::nullopt;
}

bool EmulatedDevice::HostWrite(const std::uint8_t* report, std::uint32_t length,
                               std::uint32_t timeoutMs, std::uint32_t& lastError) {
    const std::uint64_t requestedAt = MonotonicMicroseconds();
    if (!plugged) {
        lastError = PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    // The HID class driver takes exactly one output report of the announced
    // length, starting with a report ID the device has.
    if (length != outputReportLength || length == 0 || report[0] != 0x01) {
        ++malformedTransfers_;
        lastError = PLATFORM_ERROR_INVALID_PARAMETER;
        return false;
    }
    const std::uint8_t command = length > 1 ? report[1] : 0;
    ++exchanges_;
    ++commandCounts_[command];

    std::vector<std::uint8_t> bytes(report, report + length);
    const std::optional<Fault> fault = TakeFault(bytes);
    if (fault) {
        switch (fault->kind) {
        case FaultKind::WriteFails:
            lastError = fault->lastError;
            return false;
        case FaultKind::WriteHangs:
            DeviceWaitUntil(requestedAt + std::uint64_t{timeoutMs} * 1000);
            lastError = PLATFORM_ERROR_TIMEOUT;
            return false;
        case FaultKind::Unplug:
            emulated_bus::Unplug(this);
            lastError = PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
            return false;
        default:
            break;
        }
    }

    log_.push_back({true, requestedAt, MonotonicMicroseconds(), bytes});
    std::optional<Answer> answer = Respond(bytes);

    if (fault) {
        switch (fault->kind) {
        case FaultKind::ReadFails:
            // The reply is lost on the way; the read fails.
            replies_.push_back({{}, MonotonicMicroseconds(), fault->lastError});
            return true;
        case FaultKind::NoReply:
            return true;
        case FaultKind::UnplugBeforeReply:
            emulated_bus::Unplug(this);
            return true;
        case FaultKind::UnitError:
            if (answer) {
                answer->bytes.resize(std::max<std::size_t>(answer->bytes.size(), 8));
                answer->bytes[1] = 0xFF;
                answer->bytes[4] = static_cast<std::uint8_t>(fault->errorCode);
                answer->bytes[5] = static_cast<std::uint8_t>(fault->errorCode >> 8);
                answer->bytes[6] = static_cast<std::uint8_t>(fault->errorCode >> 16);
                answer->bytes[7] = static_cast<std::uint8_t>(fault->errorCode >> 24);
            }
            break;
        case FaultKind::WrongState:
            if (answer) {
                answer->bytes.resize(std::max<std::size_t>(answer->bytes.size(), 4));
                answer->bytes[3] = static_cast<std::uint8_t>(answer->bytes[3] == 0 ? 1 : 0);
            }
            break;
        default:
            break;
        }
    }
    if (answer) {
        answer->bytes.resize(inputReportLength, 0);
        replies_.push_back({std::move(answer->bytes),
                            MonotonicMicroseconds() + std::uint64_t{answer->delayMs} * 1000, 0});
    }
    if (onReport) {
        onReport(bytes);
    }
    return true;
}

bool EmulatedDevice::HostRead(std::uint8_t* buffer, std::uint32_t length,
                              std::uint32_t timeoutMs, std::uint32_t& lastError) {
    const std::uint64_t requestedAt = MonotonicMicroseconds();
    if (!plugged) {
        lastError = PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    if (length < inputReportLength) {
        ++malformedTransfers_;
        lastError = ERROR_INVALID_USER_BUFFER;
        return false;
    }
    const std::uint64_t deadline = requestedAt + std::uint64_t{timeoutMs} * 1000;
    if (replies_.empty() || replies_.front().readyAtUs > deadline) {
        DeviceWaitUntil(deadline);
        lastError = PLATFORM_ERROR_TIMEOUT;
        return false;
    }
    PendingReply reply = std::move(replies_.front());
    replies_.pop_front();
    DeviceWaitUntil(reply.readyAtUs);
    if (reply.failWith != 0) {
        lastError = reply.failWith;
        return false;
    }
    std::memcpy(buffer, reply.bytes.data(), inputReportLength);
    log_.push_back({false, requestedAt, MonotonicMicroseconds(), reply.bytes});
    return true;
}

void EmulatedDevice::Unplugged() {
    plugged = false;
    replies_.clear();
}

std::optional<EmulatedDevice::PendingReply> EmulatedDevice::TakeReply() {
    if (replies_.empty()) {
        return std::nullopt;
    }
    PendingReply reply = std::move(replies_.front());
    replies_.pop_front();
    if (reply.failWith == 0) {
        log_.push_back({false, reply.readyAtUs, reply.readyAtUs, reply.bytes});
    }
    return reply;
}

// ---------------------------------------------------------------------------
// The bus and the platform's HID functions on it.

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

}  // namespace

namespace emulated_bus {

void Reset() {
    Bus& bus = TheBus();
    for (const auto& device : bus.devices) {
        device->Unplugged();
    }
    bus = Bus{};
}

void Plug(const std::shared_ptr<EmulatedDevice>& device) {
    PlugAt(TheBus().devices.size(), device);
}

void PlugAt(std::size_t position, const std::shared_ptr<EmulatedDevice>& device) {
    Bus& bus = TheBus();
    position = std::min(position, bus.devices.size());
    bus.devices.insert(bus.devices.begin() + static_cast<std::ptrdiff_t>(position), device);
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

void SetLastError(std::uint32_t value) { TheBus().lastError = value; }

}  // namespace emulated_bus

HidInterfaceList* HidOpenInterfaceList() {
    if (TheBus().listingFails) {
        TheBus().lastError = 13;  // ERROR_INVALID_DATA
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
        TheBus().lastError = 259;  // ERROR_NO_MORE_ITEMS
        return HID_INTERFACE_END;
    }
    const EmulatedDevice& device = *list->devices[index];
    if (!device.pathReadable) {
        TheBus().lastError = 122;  // ERROR_INSUFFICIENT_BUFFER
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
                bus.lastError = 5;  // ERROR_ACCESS_DENIED
                return INVALID_HID_HANDLE;
            }
            const HidHandle handle = bus.nextHandle;
            bus.nextHandle += 4;
            bus.handles[handle] = OpenInterface{device};
            return handle;
        }
    }
    bus.lastError = 2;  // ERROR_FILE_NOT_FOUND
    return INVALID_HID_HANDLE;
}

void HidCloseInterface(HidHandle handle) { TheBus().handles.erase(handle); }

bool HidGetAttributes(HidHandle handle, std::uint16_t& vendorId, std::uint16_t& productId) {
    EmulatedDevice* device = DeviceOf(handle);
    if (device == nullptr || !device->plugged || !device->attributesReadable) {
        TheBus().lastError = PLATFORM_ERROR_GEN_FAILURE;
        return false;
    }
    vendorId = device->vendorId;
    productId = device->productId;
    return true;
}

bool HidGetReportLengths(HidHandle handle, std::uint16_t& inputLength,
                         std::uint16_t& outputLength) {
    EmulatedDevice* device = DeviceOf(handle);
    if (device == nullptr || !device->plugged || !device->capabilitiesReadable) {
        TheBus().lastError = PLATFORM_ERROR_GEN_FAILURE;
        return false;
    }
    inputLength = device->inputReportLength;
    outputLength = device->outputReportLength;
    return true;
}

bool HidWriteReport(HidHandle handle, const std::uint8_t* report, std::uint32_t length,
                    std::uint32_t timeoutMs) {
    EmulatedDevice* device = DeviceOf(handle);
    if (device == nullptr) {
        TheBus().lastError = PLATFORM_ERROR_INVALID_HANDLE;
        return false;
    }
    return device->HostWrite(report, length, timeoutMs, TheBus().lastError);
}

bool HidReadReport(HidHandle handle, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t timeoutMs) {
    EmulatedDevice* device = DeviceOf(handle);
    if (device == nullptr) {
        TheBus().lastError = PLATFORM_ERROR_INVALID_HANDLE;
        return false;
    }
    return device->HostRead(buffer, length, timeoutMs, TheBus().lastError);
}

std::uint32_t PlatformLastError() { return TheBus().lastError; }

void PlatformClearLastError() { TheBus().lastError = 0; }
