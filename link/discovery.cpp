#include <memory>

#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/hid.h"

UnitConnection unitConnection = InitialConnection();

UnitConnection InitialConnection() {
    UnitConnection connection{};
    connection.handle = INVALID_HID_HANDLE;
    return connection;
}

bool ConnectionsEqual(const UnitConnection& a, const UnitConnection& b) {
    return a.handle == b.handle && a.devicePath == b.devicePath &&
           a.outputReportLength == b.outputReportLength &&
           a.inputReportLength == b.inputReportLength &&
           a.unitInBootloader == b.unitInBootloader &&
           a.unitFirmwareVersion == b.unitFirmwareVersion && a.unitAuxWord == b.unitAuxWord &&
           a.escState == b.escState && a.unitStatusAux == b.unitStatusAux &&
           a.unitBootInfo.bootInfo1 == b.unitBootInfo.bootInfo1 &&
           a.unitBootInfo.bootInfo2 == b.unitBootInfo.bootInfo2 &&
           a.unitBootInfo.bootInfo3 == b.unitBootInfo.bootInfo3 &&
           a.unitBootInfo.bootInfo4 == b.unitBootInfo.bootInfo4 &&
           a.unitBootInfo.bootInfo5 == b.unitBootInfo.bootInfo5 &&
           a.escFirmwareInfo == b.escFirmwareInfo && a.escIdentity == b.escIdentity &&
           a.productId == b.productId;
}

std::uint16_t EscFirmwareVersion(const UnitConnection& connection) {
    return ReadLe16(&connection.escFirmwareInfo[4]);
}

void SetEscFirmwareVersion(UnitConnection& connection, std::uint16_t version) {
    WriteLe16(&connection.escFirmwareInfo[4], version);
}

std::uint32_t EscTypeCode(const UnitConnection& connection) {
    return ReadLe32(&connection.escIdentity[0]);
}

std::uint32_t EscBootloaderVersion(const UnitConnection& connection) {
    return ReadLe32(&connection.escIdentity[4]);
}

void ResetConnection() {
    if (unitConnection.handle != INVALID_HID_HANDLE) {
        HidCloseInterface(unitConnection.handle);
    }
    unitConnection = InitialConnection();
}

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
