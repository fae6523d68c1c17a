// The one emulated programming unit of the demo and of the end-to-end tests:
// what is plugged in, and the fault armed for the next update.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "emulator/emulated_unit.h"
#include "link/report.h"
#include "platform/errors.h"

// The emulated unit's interface path, as Windows would name a real one.
extern const wchar_t* const DEMO_UNIT_PATH;

// What is plugged in. DemoUnitSettings{} is the demo's unit as it starts: a
// LINK-BOX in its normal firmware with an ORVANTO at version 2.5 behind it,
// and reports of the full 60 bytes; the demos' controls start from it.
// Its numbers are written out, as in EscModel.
struct DemoUnitSettings {
    std::uint16_t productId = 2;  // a LINK-BOX; 1: an ORBICON
    bool inBootloader = false;
    bool escAttached = true;  // the ESC state 3 (updatable), else 0
    std::uint32_t escTypeCode = 0x111F405A;  // an ORVANTO
    // 0xFFFF: an ESC without firmware.
    std::uint16_t escFirmwareVersion = ESC_DELIVERED_FIRMWARE_VERSION;
    // The HID report lengths the unit announces, report ID included.
    std::uint16_t inputReportLength = REPORT_SIZE;
    std::uint16_t outputReportLength = REPORT_SIZE;
};

// Plugs a unit with these settings in (pulling out one that is in first).
std::shared_ptr<EmulatedUnit> PlugDemoUnit(const DemoUnitSettings& settings);
void UnplugDemoUnit();
// Puts another ESC on the plugged unit's cable: the one `settings` describe
// (escAttached, escTypeCode, escFirmwareVersion; the rest is the unit's and
// stays), with a flash of its own. The unit stays on USB, so the host hears
// of nothing. Returns false when no unit is plugged in.
bool SwapDemoEsc(const DemoUnitSettings& settings);
// Plugs the unit that was plugged in last in again, as it was when it was
// pulled out (its ESC's flash included). Returns it, or null when there was
// none or it is plugged in.
std::shared_ptr<EmulatedUnit> ReplugDemoUnit();
// The unit plugged in now, or null.
std::shared_ptr<EmulatedUnit> DemoUnit();
// The unit plugged in last, also after it was pulled out, or null.
std::shared_ptr<EmulatedUnit> LastDemoUnit();

enum class DemoFaultKind {
    None,
    UnitError,
    WrongState,
    NoReply,
    WriteFails,
    ReadFails,
    Unplug,
    UnplugBeforeReply
};
enum class DemoFaultStep { SystemLock, ProtectionOff, Purge, SetAddress, DataBlock, EscIdentity };

// The names by which the demo's panels, the browser's stand-in and the
// tests give a fault: "none", "unit-error", "wrong-state", "no-reply",
// "write-fails", "read-fails", "unplug", "unplug-before-reply"; and its step: "lock", "protection-off",
// "purge", "address", "block", "esc-identity" (the next query of the ESC's
// identity: the one the update makes before the lock). Return false for any
// other name.
bool DemoFaultKindFromName(const std::string& name, DemoFaultKind& kind);
bool DemoFaultStepFromName(const std::string& name, DemoFaultStep& step);

// Arms a fault for the next update on the plugged unit: at `step` (for a
// data block, the `block`-th from now, 1-based), the unit reports
// `errorCode` (unit-error; at the system lock: a state that does not
// confirm it), replies with the state that does not confirm the command
// (wrong-state), never answers, fails the write or the read of its reply
// with `lastError`, or is pulled out just before the report or after
// carrying it out, before its reply. The demo's panels give no last-error
// value: a failed write or read fails as a broken transfer does.
// Returns false when no unit is plugged in.
bool ArmDemoFault(DemoFaultKind kind, DemoFaultStep step, std::uint32_t block,
                  std::uint32_t errorCode, std::uint32_t lastError = PLATFORM_ERROR_GEN_FAILURE);
