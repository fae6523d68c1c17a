// A programming unit (LINK-BOX or ORBICON) with an ESC behind it.
//
// It answers the nine commands of the report protocol the way the unit does:
// it runs its normal firmware or its own bootloader, reports the ESC it
// carries, keeps the system lock and the ESC's flash write protection, and
// erases and writes the ESC's flash only in the proper order. Refusals carry
// status 0xFF and one of the UNIT_ERROR_ codes below.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulated_device.h"
#include "link/report.h"

// The unit's error codes for refused commands.
constexpr std::uint32_t UNIT_ERROR_NOT_LOCKED = 0x0101;       // system lock not set
constexpr std::uint32_t UNIT_ERROR_WRITE_PROTECTED = 0x0102;  // flash protection on
constexpr std::uint32_t UNIT_ERROR_NOT_PURGED = 0x0103;       // no purge since the lock
constexpr std::uint32_t UNIT_ERROR_NO_ADDRESS = 0x0104;       // no write address set
constexpr std::uint32_t UNIT_ERROR_BAD_CONFIRMATION = 0x0105;
constexpr std::uint32_t UNIT_ERROR_FLASH_FULL = 0x0106;       // write past the flash
constexpr std::uint32_t UNIT_ERROR_BAD_LENGTH = 0x0107;       // bad data length byte
constexpr std::uint32_t UNIT_ERROR_NO_ESC = 0x0108;           // no updatable ESC
constexpr std::uint32_t UNIT_ERROR_WRONG_MODE = 0x0109;       // unit in its bootloader
constexpr std::uint32_t UNIT_ERROR_UNKNOWN_COMMAND = 0x010A;
constexpr std::uint32_t UNIT_ERROR_BAD_ADDRESS = 0x010B;      // address outside the flash

// The firmware version of an ORVANTO as it comes: 2.5.
constexpr std::uint16_t ESC_DELIVERED_FIRMWARE_VERSION = 0x0205;

// The ESC as the unit reports it. Its numbers are written out: the model is
// the unit as it is, not as the updater's headers describe it, so that a
// wrong number there fails the tests (tests/native/protocol_numbers_test.cpp
// pins those).
struct EscModel {
    // 3: an updatable ESC is attached; 0: nothing attached; other values: an
    // ESC the unit cannot update.
    std::uint16_t state = 3;
    // An ORVANTO (its other type code is 0x0A06405A).
    std::uint32_t typeCode = 0x111F405A;
    std::uint32_t bootloaderVersion = 0x01000203;  // 1.2.3
    // 0xFFFF: none.
    std::uint16_t firmwareVersion = ESC_DELIVERED_FIRMWARE_VERSION;
    // The version the ESC reports once a new image is in its flash and the
    // write protection is back on: the image's, 3.0.
    std::uint16_t versionAfterUpdate = 0x0300;
    // The flash, erased to 0xFF.
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(128 * 1024, 0xFF);
    bool writeProtected = true;
    // Refuse the ESC queries with this 16-bit code in bytes 4-5 (0: answer).
    std::uint32_t firmwareInfoError = 0;
    std::uint32_t identityError = 0;
};

struct UnitBootloaderModel {
    std::uint8_t bootInfo1 = 0x42;
    std::uint16_t bootInfo2 = 0x0102;
    std::uint32_t bootInfo3 = 0x08000000;
    std::uint32_t bootInfo4 = 0x0001FC00;
    std::uint8_t bootInfo5 = 0x07;
};

class EmulatedUnit : public EmulatedDevice {
public:
    EmulatedUnit(std::wstring path, std::uint16_t productId);

    // The unit.
    bool inBootloader = false;
    UnitBootloaderModel bootloader;
    std::uint32_t firmwareVersion = 0x00010400;  // shown as 1.4
    std::uint32_t auxWord = 0x20240611;
    std::uint16_t statusAux = 0x0001;
    // How long the ESC takes to erase its flash; the purge's reply comes then.
    std::uint32_t purgeDurationMs = 700;

    EscModel esc;

    // Session state, as the last commands left it.
    bool systemLock = false;
    bool purged = false;
    bool addressSet = false;
    std::uint32_t writeAddress = 0;
    // Data blocks accepted since the last purge, and their byte counts.
    std::vector<std::uint32_t> blockLengths;
    // The highest flash address written since the last purge, plus one.
    std::uint32_t writtenEnd = 0;

    // The firmware information and identity blocks as the ESC reports them
    // now.
    std::array<std::uint8_t, ESC_FIRMWARE_INFO_SIZE> FirmwareInfoBlock() const;
    std::array<std::uint8_t, ESC_IDENTITY_SIZE> IdentityBlock() const;

    // Pulled out, the unit loses its power: its session (the system lock,
    // the purge, the write address) is gone when it is plugged in again. The
    // ESC behind it, on its own battery, keeps its flash and its protection.
    void Unplugged() override;

protected:
    std::optional<Answer> Respond(const std::vector<std::uint8_t>& report) override;

private:
    // How far the write session must have come for a command that changes
    // the ESC's flash; each stage includes the ones before it.
    enum class SessionStage { Locked, Unprotected, Purged };

    Answer Reply(std::uint8_t state) const;
    Answer Refuse(std::uint32_t errorCode) const;
    // The refusal of a command that needs an updatable ESC and `stage`: no
    // ESC, not locked, write-protected, not purged, in that order. Nothing
    // when the command may go ahead.
    std::optional<Answer> RefusalBefore(SessionStage stage) const;
    // An ESC query's answer: `block` from byte 4, unless there is no ESC or
    // the ESC refuses the query with `error`.
    template <std::size_t Size>
    Answer EscQuery(std::uint32_t error, const std::array<std::uint8_t, Size>& block) const;
    Answer GetUnitStatus() const;
    Answer ReadMemory(const std::vector<std::uint8_t>& report) const;
    Answer SetLock(std::uint8_t flag);
    Answer SetWriteProtect(std::uint8_t flag);
    Answer Purge(const std::vector<std::uint8_t>& report);
    Answer SetAddress(const std::vector<std::uint8_t>& report);
    Answer WriteData(const std::vector<std::uint8_t>& report);
    void EndSession();
};
