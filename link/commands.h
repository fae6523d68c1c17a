// One exchange of reports with the open unit, and the commands of an update.
//
// Every operation works on `unitConnection`, tests its handle before any I/O,
// and returns a link result code (link/report.h) or the unit's error code.
// None of them closes the unit: that is the caller's decision.
#pragma once

#include <cstdint>

#include "link/report.h"

// How long a write or a reply may take before the exchange counts as failed.
// A guard against a unit that stops answering, not a pace.
constexpr std::uint32_t REPORT_TIMEOUT_MS = 15000;

// How long the purge's reply may take. The unit answers CMD_PURGE only once
// the ESC's flash is erased, and a large ESC takes far longer for that than
// any other command: failing the exchange early would report an error for a
// purge that is still going on, after the old firmware is already gone.
constexpr std::uint32_t PURGE_REPLY_TIMEOUT_MS = 60000;

// The wait between writing CMD_PURGE and reading its reply.
constexpr std::uint32_t PURGE_REPLY_DELAY_MS = 1000;

// A command report with byte 0, the command code and the length byte set, and
// every other byte zero.
CommandReport MakeCommandReport(std::uint8_t command, std::uint8_t length);

// Writes `command` and reads the reply into `reply`. `commandBytes` is how
// many leading bytes of the command report carry the command, `replyBytes`
// how many leading bytes of the reply the caller reads; when the unit's report
// lengths cannot carry them, nothing is sent and LINK_NO_UNIT is returned.
// `delayBeforeReadMs` is waited between the write and the read, and the read
// then waits at most `replyTimeoutMs` for the reply.
// Returns LINK_OK, LINK_NO_UNIT, LINK_WRITE_FAILED or LINK_READ_FAILED.
std::int32_t ExchangeReports(const CommandReport& command, std::uint32_t commandBytes,
                             ReplyReport& reply, std::uint32_t replyBytes,
                             std::uint32_t delayBeforeReadMs = 0,
                             std::uint32_t replyTimeoutMs = REPORT_TIMEOUT_MS);

// Whether the open unit's report lengths carry every command of an update,
// whose data blocks hold up to `blockBytes` bytes, and every reply it reads.
// An update checks this before it sends anything: a unit that could take the
// lock, the unlock and the purge but not a data block would otherwise be
// left with its ESC erased.
bool ReportLengthsCarryUpdate(std::uint32_t blockBytes);

// The unit's error code of a failed reply (bytes 4-7).
std::uint32_t ReplyErrorCode(const ReplyReport& reply);

// CMD_SYSTEM_LOCK: sets (on) or resets the unit's system lock. LINK_OK when the
// reply's state confirms it, else LINK_NOT_CONFIRMED.
std::int32_t SetSystemLock(bool on);

// CMD_WRITE_PROTECT: switches the ESC's flash write protection on or off.
std::int32_t SetWriteProtection(bool on);

// CMD_PURGE: erases the ESC's firmware; waits PURGE_REPLY_DELAY_MS before
// reading the reply, and then at most PURGE_REPLY_TIMEOUT_MS for it.
std::int32_t PurgeFirmware();

// CMD_SET_ADDRESS: sets the write address to 0.
std::int32_t SetWriteAddress();

// CMD_WRITE_DATA: writes `words` 32-bit words from `data` (at most 14).
std::int32_t WriteDataBlock(const std::uint8_t* data, std::uint32_t words);

// The most words one CMD_WRITE_DATA carries.
constexpr std::uint32_t MAX_BLOCK_WORDS = PAYLOAD_SIZE / 4;
