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

bool SameEsc(const UnitConnection& a, const UnitConnection& b) {
    return a.unitInBootloader == b.unitInBootloader && a.escState == b.escState &&
           a.escFirmwareInfo == b.escFirmwareInfo && a.escIdentity == b.escIdentity;
}

void ResetConnection() {
    if (unitConnection.handle != INVALID_HID_HANDLE) {
        HidCloseInterface(unitConnection.handle);
    }
    unitConnection = InitialConnection();
}
