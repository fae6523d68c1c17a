// The programming unit's report protocol: the units' vendor and product IDs,
// the 60-byte command and reply reports, the nine command codes and their
// length bytes, what the replies carry, and the link result codes.
//
// Each number that the unit and the owner depend on is pinned to its literal
// value by a test: the bytes sent by tests/native/link_exchange_test.cpp and
// link_identify_test.cpp, the rest by protocol_numbers_test.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The USB vendor ID of the programming units, and the product IDs of their
// two kinds. The one source of them for the updater, the emulated unit as a
// kernel HID device (emulator/uhid) and hidraw-exchange (tests/real-hid).
constexpr std::uint16_t UNIT_VENDOR_ID = 0x3F19;
constexpr std::uint16_t PRODUCT_ID_ORBICON = 1;
constexpr std::uint16_t PRODUCT_ID_LINK_BOX = 2;

constexpr std::uint32_t REPORT_SIZE = 60;
constexpr std::uint32_t PAYLOAD_SIZE = 56;

constexpr std::uint8_t COMMAND_REPORT_ID = 0x01;
constexpr std::uint8_t REPLY_REPORT_ID = 0x02;

// The unit's `status` byte value for a command that failed.
constexpr std::uint8_t REPLY_STATUS_FAILED = 0xFF;

// Carried by CMD_PURGE and CMD_SET_ADDRESS, so that no stray report can erase
// or address the ESC's flash.
constexpr std::uint32_t CONFIRMATION_CODE = 0x3C5A96E1;

// Command codes (byte 1 of a command report).
constexpr std::uint8_t CMD_GET_UNIT_STATUS = 0x08;
constexpr std::uint8_t CMD_READ_MEMORY = 0x0A;
constexpr std::uint8_t CMD_READ_ESC_FIRMWARE_INFO = 0x1D;
constexpr std::uint8_t CMD_GET_ESC_IDENTITY = 0x22;
constexpr std::uint8_t CMD_SYSTEM_LOCK = 0x0B;
constexpr std::uint8_t CMD_WRITE_PROTECT = 0x20;
constexpr std::uint8_t CMD_PURGE = 0x1E;
constexpr std::uint8_t CMD_SET_ADDRESS = 0x1F;
constexpr std::uint8_t CMD_WRITE_DATA = 0x1B;

// Length bytes (byte 2 of a command report) of the commands whose length is
// fixed. CMD_GET_ESC_IDENTITY has none (only bytes 0 and 1 are part of it);
// CMD_WRITE_DATA's is the number of data bytes it carries.
constexpr std::uint8_t LENGTH_GET_UNIT_STATUS = 0x00;
constexpr std::uint8_t LENGTH_READ_MEMORY = 0x0C;
constexpr std::uint8_t LENGTH_READ_ESC_FIRMWARE_INFO = 0x08;
constexpr std::uint8_t LENGTH_SYSTEM_LOCK = 0x01;
constexpr std::uint8_t LENGTH_WRITE_PROTECT = 0x01;
constexpr std::uint8_t LENGTH_PURGE = 0x04;
constexpr std::uint8_t LENGTH_SET_ADDRESS = 0x09;

// The ESC state in bytes 4-5 of a CMD_GET_UNIT_STATUS reply for an
// updatable ESC on the unit (0: nothing attached; other values: an ESC the
// unit cannot update).
constexpr std::uint16_t ESC_STATE_UPDATABLE = 3;

// The ESC's firmware information and identity blocks, as the ESC queries
// return them from byte 4 of their replies.
constexpr std::size_t ESC_FIRMWARE_INFO_SIZE = 32;
constexpr std::size_t ESC_IDENTITY_SIZE = 40;

// The ESC firmware version (information bytes 4-5) of an ESC that reports no
// firmware.
constexpr std::uint16_t ESC_NO_FIRMWARE_VERSION = 0xFFFF;

// The ORVANTO's two type codes (identity bytes 0-3).
constexpr std::uint32_t ESC_TYPE_ORVANTO_A = 0x111F405A;
constexpr std::uint32_t ESC_TYPE_ORVANTO_B = 0x0A06405A;

// Where the unit keeps its firmware version word in its own memory, for
// CMD_READ_MEMORY while it runs its bootloader.
constexpr std::uint32_t UNIT_VERSION_ADDRESS = 0x0801FC00;

// Link result codes. One signed 32-bit status carries three kinds of value:
// - the link's own codes 0 and -1 to -4 below;
// - LINK_NOT_CONFIRMED, 1627, which is the Windows code ERROR_FUNCTION_FAILED:
//   the unit answered, but its state byte did not confirm the command;
// - any other value is the unit's own error code from a reply with status
//   0xFF, passed on unchanged (bytes 4-7 of the reply, read as signed).
// The kinds share one range: a unit error code of 0xFFFFFFFF to 0xFFFFFFFC
// reads as -1 to -4 and cannot be told apart from the link's own code, nor
// a unit code of 1627 from a state that was not confirmed. The user sees the
// same status either way; the failing step's text says what went wrong.
constexpr std::int32_t LINK_OK = 0;
constexpr std::int32_t LINK_NO_UNIT = -1;
constexpr std::int32_t LINK_WRITE_FAILED = -2;
constexpr std::int32_t LINK_READ_FAILED = -3;
constexpr std::int32_t LINK_NOT_FOUND = -4;
constexpr std::int32_t LINK_NOT_CONFIRMED = 1627;  // ERROR_FUNCTION_FAILED

// The output report as the host builds it.
struct CommandReport {
    std::uint8_t reportId;
    std::uint8_t command;
    std::uint8_t length;
    std::uint8_t flag;
    std::array<std::uint8_t, PAYLOAD_SIZE> payload;
};

// The input report as the host reads it. When `status` is 0xFF the unit's
// error code is data[0..3]; otherwise data holds the command's result.
struct ReplyReport {
    std::uint8_t reportId;
    std::uint8_t status;
    std::uint8_t reserved;
    std::uint8_t state;
    std::array<std::uint8_t, PAYLOAD_SIZE> data;
};

static_assert(sizeof(CommandReport) == REPORT_SIZE, "a command report is 60 bytes");
static_assert(sizeof(ReplyReport) == REPORT_SIZE, "a reply report is 60 bytes");

// Little-endian access; `bytes` may start at any position.
inline std::uint16_t ReadLe16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t ReadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

inline void WriteLe16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void WriteLe32(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
    bytes[2] = static_cast<std::uint8_t>(value >> 16);
    bytes[3] = static_cast<std::uint8_t>(value >> 24);
}
