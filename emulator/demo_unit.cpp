#include "emulator/demo_unit.h"

#include <cstddef>

#include "link/report.h"
#include "platform/errors.h"

const wchar_t* const DEMO_UNIT_PATH =
    L"\\\\?\\HID#VID_3F19&PID_0002&EMULATED#1&2b3c4d5e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

namespace {

std::shared_ptr<EmulatedUnit>& PluggedUnit() {
    static std::shared_ptr<EmulatedUnit> unit;
    return unit;
}

// The unit plugged in last, also after it was pulled out.
std::shared_ptr<EmulatedUnit>& LastUnit() {
    static std::shared_ptr<EmulatedUnit> unit;
    return unit;
}

std::uint8_t CommandOf(DemoFaultStep step) {
    switch (step) {
    case DemoFaultStep::SystemLock:
        return CMD_SYSTEM_LOCK;
    case DemoFaultStep::ProtectionOff:
        return CMD_WRITE_PROTECT;
    case DemoFaultStep::Purge:
        return CMD_PURGE;
    case DemoFaultStep::SetAddress:
        return CMD_SET_ADDRESS;
    case DemoFaultStep::EscIdentity:
        return CMD_GET_ESC_IDENTITY;
    case DemoFaultStep::DataBlock:
        break;
    }
    return CMD_WRITE_DATA;
}

// The ESC that `settings` describe, as it comes: its flash erased, its
// write protection on.
EscModel EscOf(const DemoUnitSettings& settings) {
    EscModel esc;
    if (!settings.escAttached) {
        esc.state = 0;  // nothing attached; the model's ESC is an updatable one
    }
    esc.typeCode = settings.escTypeCode;
    esc.firmwareVersion = settings.escFirmwareVersion;
    return esc;
}

}  // namespace

std::shared_ptr<EmulatedUnit> PlugDemoUnit(const DemoUnitSettings& settings) {
    UnplugDemoUnit();
    auto unit = std::make_shared<EmulatedUnit>(DEMO_UNIT_PATH, settings.productId);
    unit->inBootloader = settings.inBootloader;
    unit->esc = EscOf(settings);
    unit->inputReportLength = settings.inputReportLength;
    unit->outputReportLength = settings.outputReportLength;
    PluggedUnit() = unit;
    LastUnit() = unit;
    emulated_bus::Plug(unit);
    return unit;
}

bool SwapDemoEsc(const DemoUnitSettings& settings) {
    const std::shared_ptr<EmulatedUnit> unit = DemoUnit();
    if (!unit) {
        return false;
    }
    unit->esc = EscOf(settings);
    return true;
}

std::shared_ptr<EmulatedUnit> ReplugDemoUnit() {
    const std::shared_ptr<EmulatedUnit> unit = LastUnit();
    if (!unit || unit->plugged) {
        return nullptr;
    }
    unit->faults.clear();
    PluggedUnit() = unit;
    emulated_bus::Plug(unit);
    return unit;
}

void UnplugDemoUnit() {
    if (PluggedUnit()) {
        emulated_bus::Unplug(PluggedUnit());
        PluggedUnit().reset();
    }
}

std::shared_ptr<EmulatedUnit> DemoUnit() {
    return PluggedUnit() && PluggedUnit()->plugged ? PluggedUnit() : nullptr;
}

std::shared_ptr<EmulatedUnit> LastDemoUnit() { return LastUnit(); }

bool ArmDemoFault(DemoFaultKind kind, DemoFaultStep step, std::uint32_t block,
                  std::uint32_t errorCode, std::uint32_t lastError) {
    const std::shared_ptr<EmulatedUnit> unit = DemoUnit();
    if (!unit) {
        return false;
    }
    unit->faults.clear();
    if (kind == DemoFaultKind::None) {
        return true;
    }
    Fault fault;
    fault.command = CommandOf(step);
    // The protection step of interest is the one switching it off, the
    // update's first; a data block counts from the next update's first.
    fault.occurrence = unit->CommandCount(fault.command) +
                       (step == DemoFaultStep::DataBlock ? (block == 0 ? 1 : block) : 1);
    fault.errorCode = errorCode;
    fault.lastError = lastError;
    switch (kind) {
    case DemoFaultKind::UnitError:
        fault.kind = step == DemoFaultStep::SystemLock ? FaultKind::WrongState : FaultKind::UnitError;
        break;
    case DemoFaultKind::WrongState:
        fault.kind = FaultKind::WrongState;
        break;
    case DemoFaultKind::NoReply:
        fault.kind = FaultKind::NoReply;
        break;
    case DemoFaultKind::WriteFails:
        fault.kind = FaultKind::WriteFails;
        break;
    case DemoFaultKind::ReadFails:
        fault.kind = FaultKind::ReadFails;
        break;
    case DemoFaultKind::Unplug:
        fault.kind = FaultKind::Unplug;
        break;
    case DemoFaultKind::UnplugBeforeReply:
        fault.kind = FaultKind::UnplugBeforeReply;
        break;
    case DemoFaultKind::None:
        break;
    }
    unit->ArmFault(fault);
    return true;
}

namespace {

// A fault kind or step and its name.
template <typename Value>
struct Named {
    Value value;
    const char* name;
};

constexpr Named<DemoFaultKind> FAULT_KIND_NAMES[] = {
    {DemoFaultKind::None, "none"},
    {DemoFaultKind::UnitError, "unit-error"},
    {DemoFaultKind::WrongState, "wrong-state"},
    {DemoFaultKind::NoReply, "no-reply"},
    {DemoFaultKind::WriteFails, "write-fails"},
    {DemoFaultKind::ReadFails, "read-fails"},
    {DemoFaultKind::Unplug, "unplug"},
    {DemoFaultKind::UnplugBeforeReply, "unplug-before-reply"},
};

constexpr Named<DemoFaultStep> FAULT_STEP_NAMES[] = {
    {DemoFaultStep::SystemLock, "lock"},
    {DemoFaultStep::ProtectionOff, "protection-off"},
    {DemoFaultStep::Purge, "purge"},
    {DemoFaultStep::SetAddress, "address"},
    {DemoFaultStep::DataBlock, "block"},
    {DemoFaultStep::EscIdentity, "esc-identity"},
};

template <typename Value, std::size_t Count>
bool FromName(const Named<Value> (&names)[Count], const std::string& name, Value& value) {
    for (const Named<Value>& entry : names) {
        if (name == entry.name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

}  // namespace

bool DemoFaultKindFromName(const std::string& name, DemoFaultKind& kind) {
    return FromName(FAULT_KIND_NAMES, name, kind);
}

bool DemoFaultStepFromName(const std::string& name, DemoFaultStep& step) {
    return FromName(FAULT_STEP_NAMES, name, step);
}

