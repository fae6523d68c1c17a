// The one opened programming unit, and how it is found and identified.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/report.h"
#include "platform/hid.h"

// What the unit reports about itself while it runs its own bootloader.
struct UnitBootInfo {
    std::uint8_t bootInfo1;
    std::uint16_t bootInfo2;
    std::uint32_t bootInfo3;
    std::uint32_t bootInfo4;
    std::uint8_t bootInfo5;
};

// unitAuxWord (the word the unit reports after its firmware version),
// unitStatusAux (the second half-word of its status) and unitBootInfo (what
// its bootloader reports) are read by no product code and checked by no
// test. The record keeps the whole of what the unit's status and memory
// replies carry, as the unit reports it, so that whoever looks at a unit's
// record (in a debugger, or in a report of a unit that behaved oddly) sees
// all of its answers and not only what the updater uses.
struct UnitConnection {
    HidHandle handle;              // INVALID_HID_HANDLE when no unit is open
    std::wstring devicePath;       // empty when no unit is open
    std::uint32_t outputReportLength;
    std::uint32_t inputReportLength;
    std::uint8_t unitInBootloader;
    std::uint32_t unitFirmwareVersion;
    std::uint32_t unitAuxWord;
    std::uint16_t escState;
    std::uint16_t unitStatusAux;
    UnitBootInfo unitBootInfo;
    std::array<std::uint8_t, ESC_FIRMWARE_INFO_SIZE> escFirmwareInfo;
    std::array<std::uint8_t, ESC_IDENTITY_SIZE> escIdentity;
    std::uint16_t productId;
};

// The record of the opened unit; one for the whole run.
extern UnitConnection unitConnection;

// The record with no unit open.
UnitConnection InitialConnection();

// Fields inside the two ESC blocks.
std::uint16_t EscFirmwareVersion(const UnitConnection& connection);  // info bytes 4-5
void SetEscFirmwareVersion(UnitConnection& connection, std::uint16_t version);
std::uint32_t EscTypeCode(const UnitConnection& connection);           // identity bytes 0-3
std::uint32_t EscBootloaderVersion(const UnitConnection& connection);  // identity bytes 4-7

// Closes the unit, if one is open, and returns the record to its initial state.
void ResetConnection();

// Closes any open unit, then opens the first HID interface in enumeration
// order with the unit's vendor ID and the product ID of a LINK-BOX or an
// ORBICON, and identifies it.
// Returns LINK_OK, LINK_NO_UNIT when the interfaces cannot be listed,
// LINK_NOT_FOUND when none matches, or the non-zero result of IdentifyUnit
// (the unit then stays open).
std::int32_t DiscoverUnit();

// Reads the open unit's report lengths and asks the unit, and the ESC behind
// it, what they are. Fills the record; never closes the unit. Returns a link
// result code, or the error code the unit reported to one of the ESC queries.
std::int32_t IdentifyUnit();

// Asks the open unit again what it is and which ESC it carries, as
// IdentifyUnit does right after discovery: what identification writes is
// cleared first, so that a query that is not made, or not answered, leaves
// its fields as they are for a unit just found (an ESC taken off leaves no
// blocks behind). The handle, the device path and the product ID stay.
// Returns what IdentifyUnit returns.
std::int32_t IdentifyUnitAgain();

// Whether two records tell of the same ESC on the same kind of unit: the
// unit's mode, the ESC's state, and the ESC's firmware information and
// identity blocks (type code and bootloader version among them) byte for
// byte.
bool SameEsc(const UnitConnection& a, const UnitConnection& b);
