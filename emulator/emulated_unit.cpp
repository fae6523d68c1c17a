#include "emulator/emulated_unit.h"

#include <algorithm>

#include "link/report.h"
#include "link/unit_connection.h"

namespace {

// EscModel::state of an updatable ESC.
constexpr std::uint16_t ESC_UPDATABLE = 3;

// Byte `index` of a received report; bytes past a short report read as 0.
std::uint8_t At(const std::vector<std::uint8_t>& report, std::size_t index) {
    return index < report.size() ? report[index] : 0;
}

std::uint32_t WordAt(const std::vector<std::uint8_t>& report, std::size_t index) {
    return static_cast<std::uint32_t>(At(report, index)) |
           (static_cast<std::uint32_t>(At(report, index + 1)) << 8) |
           (static_cast<std::uint32_t>(At(report, index + 2)) << 16) |
           (static_cast<std::uint32_t>(At(report, index + 3)) << 24);
}

}  // namespace

EmulatedUnit::EmulatedUnit(std::wstring unitPath, std::uint16_t unitProductId)
    : EmulatedDevice(std::move(unitPath), UNIT_VENDOR_ID, unitProductId) {}

std::array<std::uint8_t, ESC_FIRMWARE_INFO_SIZE> EmulatedUnit::FirmwareInfoBlock() const {
    std::array<std::uint8_t, ESC_FIRMWARE_INFO_SIZE> block{};
    WriteLe32(&block[0], 0x4F525646);  // block signature
    WriteLe16(&block[4], esc.firmwareVersion);
    WriteLe16(&block[6], 0x0001);      // image format
    for (std::size_t i = 8; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return block;
}

std::array<std::uint8_t, ESC_IDENTITY_SIZE> EmulatedUnit::IdentityBlock() const {
    std::array<std::uint8_t, ESC_IDENTITY_SIZE> block{};
    WriteLe32(&block[0], esc.typeCode);
    WriteLe32(&block[4], esc.bootloaderVersion);
    for (std::size_t i = 8; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(0x30 + i);  // serial number
    }
    return block;
}

EmulatedDevice::Answer EmulatedUnit::Reply(std::uint8_t state) const {
    Answer answer;
    answer.bytes.assign(REPORT_SIZE, 0);
    answer.bytes[0] = REPLY_REPORT_ID;
    answer.bytes[1] = 0x00;
    answer.bytes[3] = state;
    return answer;
}

EmulatedDevice::Answer EmulatedUnit::Refuse(std::uint32_t errorCode) const {
    Answer answer = Reply(0);
    answer.bytes[1] = REPLY_STATUS_FAILED;
    WriteLe32(&answer.bytes[4], errorCode);
    return answer;
}

std::optional<EmulatedDevice::Answer> EmulatedUnit::RefusalBefore(SessionStage stage) const {
    if (esc.state != ESC_UPDATABLE) {
        return Refuse(UNIT_ERROR_NO_ESC);
    }
    if (!systemLock) {
        return Refuse(UNIT_ERROR_NOT_LOCKED);
    }
    if (stage >= SessionStage::Unprotected && esc.writeProtected) {
        return Refuse(UNIT_ERROR_WRITE_PROTECTED);
    }
    if (stage >= SessionStage::Purged && !purged) {
        return Refuse(UNIT_ERROR_NOT_PURGED);
    }
    return std::nullopt;
}

template <std::size_t Size>
EmulatedDevice::Answer EmulatedUnit::EscQuery(std::uint32_t error,
                                              const std::array<std::uint8_t, Size>& block) const {
    if (esc.state != ESC_UPDATABLE) {
        return Refuse(UNIT_ERROR_NO_ESC);
    }
    if (error != 0) {
        return Refuse(error);
    }
    Answer answer = Reply(0);
    std::copy(block.begin(), block.end(), answer.bytes.begin() + 4);
    return answer;
}

void EmulatedUnit::EndSession() {
    purged = false;
    addressSet = false;
}

EmulatedDevice::Answer EmulatedUnit::GetUnitStatus() const {
    if (inBootloader) {
        Answer answer = Reply(1);
        answer.bytes[4] = bootloader.bootInfo1;
        WriteLe16(&answer.bytes[5], bootloader.bootInfo2);
        WriteLe32(&answer.bytes[7], bootloader.bootInfo3);
        WriteLe32(&answer.bytes[11], bootloader.bootInfo4);
        answer.bytes[15] = bootloader.bootInfo5;
        return answer;
    }
    Answer answer = Reply(0);
    WriteLe16(&answer.bytes[4], esc.state);
    WriteLe16(&answer.bytes[6], statusAux);
    WriteLe32(&answer.bytes[8], firmwareVersion);
    WriteLe32(&answer.bytes[12], auxWord);
    return answer;
}

EmulatedDevice::Answer EmulatedUnit::ReadMemory(const std::vector<std::uint8_t>& report) const {
    const std::uint32_t address = WordAt(report, 4);
    Answer answer = Reply(0);
    WriteLe32(&answer.bytes[4], address);
    if (address == UNIT_VERSION_ADDRESS) {
        WriteLe32(&answer.bytes[8], firmwareVersion);
        WriteLe32(&answer.bytes[12], auxWord);
    } else {
        std::fill(answer.bytes.begin() + 8, answer.bytes.begin() + 20, 0xFF);
    }
    return answer;
}

// The system lock keeps the unit in programming mode; resetting it ends the
// write session.
EmulatedDevice::Answer EmulatedUnit::SetLock(std::uint8_t flag) {
    systemLock = flag != 0;
    if (!systemLock) {
        EndSession();
    }
    return Reply(systemLock ? 1 : 0);
}

// The ESC's flash write protection can be switched only under the system
// lock. Switching it back on after new data was written starts the new
// firmware, which then reports its version.
EmulatedDevice::Answer EmulatedUnit::SetWriteProtect(std::uint8_t flag) {
    if (const std::optional<Answer> refusal = RefusalBefore(SessionStage::Locked)) {
        return *refusal;
    }
    esc.writeProtected = flag != 0;
    if (esc.writeProtected) {
        if (purged && writtenEnd > 0) {
            esc.firmwareVersion = esc.versionAfterUpdate;
        }
        EndSession();
    }
    return Reply(esc.writeProtected ? 1 : 0);
}

// Erasing takes the ESC a while; the reply comes when it is done.
EmulatedDevice::Answer EmulatedUnit::Purge(const std::vector<std::uint8_t>& report) {
    if (const std::optional<Answer> refusal = RefusalBefore(SessionStage::Unprotected)) {
        return *refusal;
    }
    if (WordAt(report, 4) != CONFIRMATION_CODE) {
        return Refuse(UNIT_ERROR_BAD_CONFIRMATION);
    }
    std::fill(esc.flash.begin(), esc.flash.end(), 0xFF);
    esc.firmwareVersion = ESC_NO_FIRMWARE_VERSION;
    purged = true;
    addressSet = false;
    blockLengths.clear();
    writtenEnd = 0;
    Answer answer = Reply(0);
    answer.delayMs = purgeDurationMs;
    return answer;
}

EmulatedDevice::Answer EmulatedUnit::SetAddress(const std::vector<std::uint8_t>& report) {
    if (const std::optional<Answer> refusal = RefusalBefore(SessionStage::Purged)) {
        return *refusal;
    }
    if (WordAt(report, 8) != CONFIRMATION_CODE) {
        return Refuse(UNIT_ERROR_BAD_CONFIRMATION);
    }
    const std::uint32_t address = WordAt(report, 4);
    if (address >= esc.flash.size()) {
        return Refuse(UNIT_ERROR_BAD_ADDRESS);
    }
    writeAddress = address;
    addressSet = true;
    return Reply(0);
}

// Data lands in the flash at the write address, which moves on behind it.
EmulatedDevice::Answer EmulatedUnit::WriteData(const std::vector<std::uint8_t>& report) {
    if (const std::optional<Answer> refusal = RefusalBefore(SessionStage::Purged)) {
        return *refusal;
    }
    if (!addressSet) {
        return Refuse(UNIT_ERROR_NO_ADDRESS);
    }
    const std::uint32_t count = At(report, 2);
    if (count % 4 != 0 || count > PAYLOAD_SIZE || 4 + count > report.size()) {
        return Refuse(UNIT_ERROR_BAD_LENGTH);
    }
    if (writeAddress + count > esc.flash.size()) {
        return Refuse(UNIT_ERROR_FLASH_FULL);
    }
    std::copy_n(report.begin() + 4, count, esc.flash.begin() + writeAddress);
    writeAddress += count;
    writtenEnd = std::max(writtenEnd, writeAddress);
    blockLengths.push_back(count);
    return Reply(0);
}

std::optional<EmulatedDevice::Answer> EmulatedUnit::Respond(
    const std::vector<std::uint8_t>& report) {
    const std::uint8_t command = At(report, 1);
    if (inBootloader) {
        // The unit's own bootloader knows only its status and memory reads.
        switch (command) {
        case CMD_GET_UNIT_STATUS:
            return GetUnitStatus();
        case CMD_READ_MEMORY:
            return ReadMemory(report);
        default:
            return Refuse(UNIT_ERROR_WRONG_MODE);
        }
    }
    switch (command) {
    case CMD_GET_UNIT_STATUS:
        return GetUnitStatus();
    case CMD_READ_MEMORY:
        return ReadMemory(report);
    case CMD_READ_ESC_FIRMWARE_INFO:
        return EscQuery(esc.firmwareInfoError, FirmwareInfoBlock());
    case CMD_GET_ESC_IDENTITY:
        return EscQuery(esc.identityError, IdentityBlock());
    case CMD_SYSTEM_LOCK:
        return SetLock(At(report, 3));
    case CMD_WRITE_PROTECT:
        return SetWriteProtect(At(report, 3));
    case CMD_PURGE:
        return Purge(report);
    case CMD_SET_ADDRESS:
        return SetAddress(report);
    case CMD_WRITE_DATA:
        return WriteData(report);
    default:
        return Refuse(UNIT_ERROR_UNKNOWN_COMMAND);
    }
}

void EmulatedUnit::Unplugged() {
    EmulatedDevice::Unplugged();
    systemLock = false;
    purged = false;
    addressSet = false;
    writeAddress = 0;
}
