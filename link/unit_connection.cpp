// The one record of the opened unit: its initial state, the fields inside
// the ESC's two blocks, and closing it.
#include "link/unit_connection.h"

#include "link/report.h"
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
