// Finding and opening the programming unit among the HID interfaces.
#include <memory>

#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/hid.h"

namespace {

struct InterfaceListCloser {
    void operator()(HidInterfaceList* list) const { HidCloseInterfaceList(list); }
};

bool IsProgrammingUnit(std::uint16_t vendorId, std::uint16_t productId) {
    return vendorId == UNIT_VENDOR_ID &&
           (productId == PRODUCT_ID_ORBICON || productId == PRODUCT_ID_LINK_BOX);
}

}  // namespace

std::int32_t DiscoverUnit() {
    ResetConnection();

    std::unique_ptr<HidInterfaceList, InterfaceListCloser> list(HidOpenInterfaceList());
    if (!list) {
        return LINK_NO_UNIT;
    }

    // The first matching interface in enumeration order is the unit; no later
    // interface is opened. The vendor and product ID are the only test.
    for (std::uint32_t index = 0;; ++index) {
        std::wstring path;
        const HidInterfaceLookup lookup = HidGetInterfacePath(list.get(), index, path);
        if (lookup == HID_INTERFACE_END) {
            return LINK_NOT_FOUND;
        }
        if (lookup == HID_INTERFACE_NO_PATH) {
            continue;
        }
        const HidHandle handle = HidOpenInterface(path);
        if (handle == INVALID_HID_HANDLE) {
            continue;
        }
        // A device whose attributes cannot be read is not a unit.
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        if (!HidGetAttributes(handle, vendorId, productId) ||
            !IsProgrammingUnit(vendorId, productId)) {
            HidCloseInterface(handle);
            continue;
        }
        unitConnection.productId = productId;
        unitConnection.handle = handle;
        unitConnection.devicePath = path;
        break;
    }
    list.reset();

    return IdentifyUnit();
}
