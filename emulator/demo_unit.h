// The one emulated programming unit of the demo and of the end-to-end tests:
// what is plugged in, and the fault armed for the next update.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "emulator/emulated_unit.h"

// The emulated unit's interface path, as Windows would name a real one.
extern const wchar_t* const DEMO_UNIT_PATH;

struct DemoUnitSettings {
    std::uint16_t productId = 2;      // 1 ORBICON, 2 LINK-BOX
    bool inBootloader = false;
    bool escAttached = true;          // escState 3, else 0
    std::uint32_t escTypeCode = ESC_TYPE_ORVANTO_A;
    std::uint16_t escFirmwareVersion = 0x0205;  // 0xFFFF: none
    // The HID report lengths the unit announces, report ID included.
    std::uint16_t inputReportLength = 60;
    std::uint16_t outputReportLength = 60;
};

// Plugs a unit with these settings in (pulling out one that is in first).
std::shared_ptr<EmulatedUnit> PlugDemoUnit(const DemoUnitSettings& settings);
void UnplugDemoUnit();
// Plugs the unit that was plugged in last in again, as it was when it was
// pulled out (its ESC's flash included). Returns it, or null when there was
// none or it is plugged in.
std::shared_ptr<EmulatedUnit> ReplugDemoUnit();
// The unit plugged in now, or null.
std::shared_ptr<EmulatedUnit> DemoUnit();

enum class DemoFaultKind { None, UnitError, NoReply, WriteFails, Unplug, UnplugBeforeReply };
enum class DemoFaultStep { SystemLock, ProtectionOff, Purge, SetAddress, DataBlock };

// Arms a fault for the next update on the plugged unit: at `step` (for a
// data block, the `block`-th from now, 1-based), the unit reports
// `errorCode` (the system lock: a state that does not confirm it), never
// answers, fails the write, or is pulled out just before the report or
// after carrying it out, before its reply.
// Returns false when no unit is plugged in.
bool ArmDemoFault(DemoFaultKind kind, DemoFaultStep step, std::uint32_t block,
                  std::uint32_t errorCode);
