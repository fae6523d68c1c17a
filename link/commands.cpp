#include "link/commands.h"

#include <cstring>

#include "link/unit_connection.h"
#include "platform/clock.h"
#include "platform/hid.h"

namespace {

// Bytes of a command report up to and including byte 3 (`flag`).
constexpr std::uint32_t HEADER_BYTES = 4;

// Reply bytes up to and including the error code (bytes 4-7).
constexpr std::uint32_t REPLY_WITH_ERROR_CODE_BYTES = 8;

// Reply bytes up to and including `state` (byte 3).
constexpr std::uint32_t REPLY_WITH_STATE_BYTES = 4;

// A reply's error code decides the result: status 0xFF carries the unit's
// error code, and a zero code counts as success.
std::int32_t JudgeStatusReply(const ReplyReport& reply) {
    if (reply.status == REPLY_STATUS_FAILED) {
        return static_cast<std::int32_t>(ReplyErrorCode(reply));
    }
    return LINK_OK;
}

// Whether the unit's report lengths, whatever its capabilities said, carry a
// command of `commandBytes` and a reply of `replyBytes` leading bytes within
// the 60-byte report buffers.
bool ReportLengthsCarry(const UnitConnection& unit, std::uint32_t commandBytes,
                        std::uint32_t replyBytes) {
    return unit.outputReportLength <= REPORT_SIZE && unit.inputReportLength <= REPORT_SIZE &&
           unit.outputReportLength >= commandBytes && unit.inputReportLength >= replyBytes;
}

}  // namespace

bool ReportLengthsCarryUpdate(std::uint32_t blockBytes) {
    // The longest command is a data block or the address (8 bytes after the
    // header); the longest reply is one with its error code.
    const std::uint32_t longestPayload = blockBytes > 8 ? blockBytes : 8;
    return ReportLengthsCarry(unitConnection, HEADER_BYTES + longestPayload,
                              REPLY_WITH_ERROR_CODE_BYTES);
}

CommandReport MakeCommandReport(std::uint8_t command, std::uint8_t length) {
    CommandReport report{};
    report.reportId = COMMAND_REPORT_ID;
    report.command = command;
    report.length = length;
    return report;
}

std::uint32_t ReplyErrorCode(const ReplyReport& reply) {
    return ReadLe32(reply.data.data());
}

std::int32_t ExchangeReports(const CommandReport& command, std::uint32_t commandBytes,
                             ReplyReport& reply, std::uint32_t replyBytes,
                             std::uint32_t delayBeforeReadMs, std::uint32_t replyTimeoutMs) {
    const UnitConnection& unit = unitConnection;
    if (unit.handle == INVALID_HID_HANDLE) {
        return LINK_NO_UNIT;
    }
    // The unit's report lengths come from its capabilities. Whatever they say,
    // nothing is read or written past the 60-byte report buffers, and a
    // command or reply that its reports cannot carry is not attempted.
    if (!ReportLengthsCarry(unit, commandBytes, replyBytes)) {
        return LINK_NO_UNIT;
    }
    const std::uint32_t outputLength = unit.outputReportLength;
    const std::uint32_t inputLength = unit.inputReportLength;

    std::uint8_t out[REPORT_SIZE];
    std::memcpy(out, &command, REPORT_SIZE);
    if (!HidWriteReport(unit.handle, out, outputLength, REPORT_TIMEOUT_MS)) {
        return LINK_WRITE_FAILED;
    }

    if (delayBeforeReadMs != 0) {
        WaitMilliseconds(delayBeforeReadMs);
    }

    // A short reply must not leave an earlier reply's bytes to be taken as data.
    std::uint8_t in[REPORT_SIZE] = {};
    in[0] = REPLY_REPORT_ID;
    if (!HidReadReport(unit.handle, in, inputLength, replyTimeoutMs)) {
        return LINK_READ_FAILED;
    }
    std::memcpy(&reply, in, REPORT_SIZE);
    return LINK_OK;
}

// CMD_SYSTEM_LOCK: byte 3 asks for the lock state; the reply's state byte is
// the state now in force. The reply's status is not looked at.
std::int32_t SetSystemLock(bool on) {
    CommandReport command = MakeCommandReport(CMD_SYSTEM_LOCK, LENGTH_SYSTEM_LOCK);
    command.flag = on ? 1 : 0;
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, HEADER_BYTES, reply, REPLY_WITH_STATE_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    return reply.state == command.flag ? LINK_OK : LINK_NOT_CONFIRMED;
}

// CMD_WRITE_PROTECT: a failed reply carries the error code (zero: success,
// state not looked at); otherwise the state byte must confirm byte 3.
std::int32_t SetWriteProtection(bool on) {
    CommandReport command = MakeCommandReport(CMD_WRITE_PROTECT, LENGTH_WRITE_PROTECT);
    command.flag = on ? 1 : 0;
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, HEADER_BYTES, reply, REPLY_WITH_ERROR_CODE_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    if (reply.status == REPLY_STATUS_FAILED) {
        return static_cast<std::int32_t>(ReplyErrorCode(reply));
    }
    return reply.state == command.flag ? LINK_OK : LINK_NOT_CONFIRMED;
}

// CMD_PURGE: bytes 4-7 the confirmation code. The unit answers once the ESC's
// flash is erased; the reply is not read before PURGE_REPLY_DELAY_MS, and is
// given PURGE_REPLY_TIMEOUT_MS to come.
std::int32_t PurgeFirmware() {
    CommandReport command = MakeCommandReport(CMD_PURGE, LENGTH_PURGE);
    WriteLe32(&command.payload[0], CONFIRMATION_CODE);
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, HEADER_BYTES + 4, reply, REPLY_WITH_ERROR_CODE_BYTES,
                        PURGE_REPLY_DELAY_MS, PURGE_REPLY_TIMEOUT_MS);
    if (result != LINK_OK) {
        return result;
    }
    return JudgeStatusReply(reply);
}

// CMD_SET_ADDRESS: byte 3 = 1, bytes 4-7 the address 0, bytes 8-11 the
// confirmation code.
std::int32_t SetWriteAddress() {
    CommandReport command = MakeCommandReport(CMD_SET_ADDRESS, LENGTH_SET_ADDRESS);
    command.flag = 0x01;
    WriteLe32(&command.payload[0], 0);
    WriteLe32(&command.payload[4], CONFIRMATION_CODE);
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, HEADER_BYTES + 8, reply, REPLY_WITH_ERROR_CODE_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    return JudgeStatusReply(reply);
}

// CMD_WRITE_DATA: byte 2 the number of data bytes, the data from byte 4 on.
// Only the caller's words x 4 bytes are read; the rest of the payload stays 0.
std::int32_t WriteDataBlock(const std::uint8_t* data, std::uint32_t words) {
    if (unitConnection.handle == INVALID_HID_HANDLE || data == nullptr ||
        words > MAX_BLOCK_WORDS) {
        return LINK_NO_UNIT;
    }
    const std::uint32_t byteCount = words * 4;
    CommandReport command = MakeCommandReport(CMD_WRITE_DATA, static_cast<std::uint8_t>(byteCount));
    if (byteCount != 0) {
        std::memcpy(command.payload.data(), data, byteCount);
    }
    ReplyReport reply{};
    const std::int32_t result =
        ExchangeReports(command, HEADER_BYTES + byteCount, reply, REPLY_WITH_ERROR_CODE_BYTES);
    if (result != LINK_OK) {
        return result;
    }
    return JudgeStatusReply(reply);
}
