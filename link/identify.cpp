// Identification: what the unit and the ESC behind it report about
// themselves, read into the record.
#include <algorithm>

#include "link/commands.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/hid.h"

namespace {

// Reply bytes that identification reads, counted from byte 0.
constexpr std::uint32_t UNIT_STATUS_REPLY_BYTES = 16;     // bytes 3-15
constexpr std::uint32_t MEMORY_REPLY_BYTES = 16;          // bytes 8-15
constexpr std::uint32_t FIRMWARE_INFO_REPLY_BYTES = 4 + ESC_FIRMWARE_INFO_SIZE;  // 4-35
constexpr std::uint32_t IDENTITY_REPLY_BYTES = 4 + ESC_IDENTITY_SIZE;            // 4-43

// Command bytes, counted from byte 0.
constexpr std::uint32_t UNIT_STATUS_COMMAND_BYTES = 3;
constexpr std::uint32_t MEMORY_COMMAND_BYTES = 8;
constexpr std::uint32_t FIRMWARE_INFO_COMMAND_BYTES = 12;
constexpr std::uint32_t IDENTITY_COMMAND_BYTES = 2;

// The ESC queries report failure with a 16-bit code in bytes 4-5.
std::uint16_t EscQueryErrorCode(const ReplyReport& reply) {
    return ReadLe16(reply.data.data());
}

bool ReadReportLengths() {
    std::uint16_t inputLength = 0;
    std::uint16_t outputLength = 0;
    if (!HidGetReportLengths(unitConnection.handle, inputLength, outputLength)) {
        return false;
    }
    // The report buffers hold 60 bytes; a unit announcing more is refused.
    if (inputLength > REPORT_SIZE || outputLength > REPORT_SIZE) {
        return false;
    }
    unitConnection.outputReportLength = outputLength;
    unitConnection.inputReportLength = inputLength;
    return true;
}

// CMD_GET_UNIT_STATUS: byte 3 is the unit's mode; bytes 4-15 are laid out by it.
std::int32_t QueryUnitStatus() {
    const CommandReport command = MakeCommandReport(CMD_GET_UNIT_STATUS, LENGTH_GET_UNIT_STATUS);
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, UNIT_STATUS_COMMAND_BYTES, reply, UNIT_STATUS_REPLY_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    // Bytes 4-15 are data[0..11].
    const std::uint8_t* bytes = reply.data.data();
    unitConnection.unitInBootloader = reply.state;
    if (reply.state != 0) {
        UnitBootInfo& info = unitConnection.unitBootInfo;
        info.bootInfo1 = bytes[0];
        info.bootInfo2 = ReadLe16(&bytes[1]);
        info.bootInfo3 = ReadLe32(&bytes[3]);
        info.bootInfo4 = ReadLe32(&bytes[7]);
        info.bootInfo5 = bytes[11];
    } else {
        unitConnection.escState = ReadLe16(&bytes[0]);
        unitConnection.unitStatusAux = ReadLe16(&bytes[2]);
        unitConnection.unitFirmwareVersion = ReadLe32(&bytes[4]);
        unitConnection.unitAuxWord = ReadLe32(&bytes[8]);
    }
    return LINK_OK;
}

// CMD_READ_MEMORY at the unit's version address: bytes 8-11 the version word,
// bytes 12-15 the word after it.
std::int32_t QueryUnitVersionFromMemory() {
    CommandReport command = MakeCommandReport(CMD_READ_MEMORY, LENGTH_READ_MEMORY);
    WriteLe32(&command.payload[0], UNIT_VERSION_ADDRESS);
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, MEMORY_COMMAND_BYTES, reply, MEMORY_REPLY_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    unitConnection.unitFirmwareVersion = ReadLe32(&reply.data[4]);
    unitConnection.unitAuxWord = ReadLe32(&reply.data[8]);
    return LINK_OK;
}

// CMD_READ_ESC_FIRMWARE_INFO: bytes 4-7 the block size 32, bytes 8-11 -32.
// A failed reply with a zero code leaves the block as it was and counts as
// success.
std::int32_t QueryEscFirmwareInfo() {
    CommandReport command =
        MakeCommandReport(CMD_READ_ESC_FIRMWARE_INFO, LENGTH_READ_ESC_FIRMWARE_INFO);
    WriteLe32(&command.payload[0], 0x00000020);
    WriteLe32(&command.payload[4], 0xFFFFFFE0);
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, FIRMWARE_INFO_COMMAND_BYTES, reply, FIRMWARE_INFO_REPLY_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    if (reply.status == REPLY_STATUS_FAILED) {
        return EscQueryErrorCode(reply);
    }
    std::copy_n(reply.data.begin(), ESC_FIRMWARE_INFO_SIZE, unitConnection.escFirmwareInfo.begin());
    return LINK_OK;
}

// CMD_GET_ESC_IDENTITY: no parameters, no length byte (only bytes 0 and 1
// are sent as part of it).
std::int32_t QueryEscIdentity() {
    const CommandReport command = MakeCommandReport(CMD_GET_ESC_IDENTITY, 0);
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, IDENTITY_COMMAND_BYTES, reply, IDENTITY_REPLY_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    if (reply.status == REPLY_STATUS_FAILED) {
        return EscQueryErrorCode(reply);
    }
    std::copy_n(reply.data.begin(), ESC_IDENTITY_SIZE, unitConnection.escIdentity.begin());
    return LINK_OK;
}

}  // namespace

std::int32_t IdentifyUnit() {
    if (unitConnection.handle == INVALID_HID_HANDLE || unitConnection.devicePath.empty()) {
        return LINK_NO_UNIT;
    }
    if (!ReadReportLengths()) {
        return LINK_NO_UNIT;
    }

    std::int32_t result = QueryUnitStatus();
    if (result != LINK_OK) {
        return result;
    }
    if (unitConnection.unitInBootloader != 0) {
        return QueryUnitVersionFromMemory();
    }
    if (unitConnection.escState != ESC_STATE_UPDATABLE) {
        return LINK_OK;
    }
    result = QueryEscFirmwareInfo();
    if (result != LINK_OK) {
        return result;
    }
    return QueryEscIdentity();
}

std::int32_t IdentifyUnitAgain() {
    UnitConnection fresh = InitialConnection();
    fresh.handle = unitConnection.handle;
    fresh.devicePath = unitConnection.devicePath;
    fresh.productId = unitConnection.productId;
    unitConnection = fresh;
    return IdentifyUnit();
}
