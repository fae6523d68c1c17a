// The emulated bus: the devices present, in enumeration order, and the
// handles the host has open. It implements the platform's HID functions
// (platform/hid.h), so that the real link code talks to the emulated devices
// (emulator/emulated_device.h) as it would to hardware.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class EmulatedDevice;

// What the bus tells a listener when a device is plugged in or pulled out.
enum class BusEventKind { Arrival, Removal };

struct BusEvent {
    BusEventKind kind;
    std::wstring path;
};

namespace emulated_bus {

// Removes every device, closes every handle, forgets the listener.
void Reset();

// Plugs a device in at the end of the enumeration order.
void Plug(const std::shared_ptr<EmulatedDevice>& device);

// Pulls a device out: it leaves the enumeration, and every handle to it fails
// from now on with ERROR_DEVICE_NOT_CONNECTED.
void Unplug(const std::shared_ptr<EmulatedDevice>& device);
void Unplug(EmulatedDevice* device);

// Called on every arrival and removal.
void SetListener(std::function<void(const BusEvent&)> listener);

// Handles the host has open and not closed.
std::size_t OpenHandleCount();
// How often the host opened an interface with this path.
std::uint32_t OpenCount(const std::wstring& path);
// Interface lists the host has taken and not released.
std::size_t OpenListCount();

// While set, the platform cannot list the HID interfaces at all.
void SetListingFails(bool fails);

}  // namespace emulated_bus
