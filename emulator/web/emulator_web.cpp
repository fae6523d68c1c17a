// The emulated programming unit as a WebAssembly module of its own, for the
// browser demo and the browser tests. Its whole surface is the block of
// functions below, in terms of reports: the page's stand-in for WebHID
// (fake-hid.js) hands it each output report and dispatches the reply the
// unit gives back after the time the unit needs. Nothing here blocks: the
// model queues its reply with the time it is ready, and TakeReply hands it
// over at once.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "emulator/demo_unit.h"
#include "emulator/emulated_device.h"
#include "link/report.h"
#include "platform/clock.h"
#include "platform/hid.h"

namespace {

// The unit's time: the stand-in passes it with every report, in milliseconds
// on the page's clock times the page's time scale.
std::uint64_t nowUs = 0;

// The unit last plugged in: its flash and log stay readable after it was
// pulled out, so that a failed update can be looked at.
std::shared_ptr<EmulatedUnit> lastUnit;

// What the unit did with the last output report.
std::vector<std::uint8_t> reply;
bool replyComing = false;
double replyDelayMs = 0;

}  // namespace

// The model's time: the browser's host never waits on the device (it takes
// replies with TakeReply), and the platform clock is the unit's time above.
void DeviceWaitUntil(std::uint64_t deadlineUs) {
    if (deadlineUs > nowUs) {
        nowUs = deadlineUs;
    }
}

std::uint64_t MonotonicMicroseconds() { return nowUs; }

extern "C" {

// Plugs a unit in with these settings, pulling out the one that is in.
// productId PRODUCT_ID_ORBICON or PRODUCT_ID_LINK_BOX; report lengths
// include the ID byte (1 to REPORT_SIZE). Returns 1, or 0 when a setting is out of range.
EMSCRIPTEN_KEEPALIVE int EmulatorPlug(int productId, int inBootloader, int escAttached,
                                      std::uint32_t escTypeCode, int escFirmwareVersion,
                                      int inputReportLength, int outputReportLength) {
    constexpr int MAX_LENGTH = static_cast<int>(REPORT_SIZE);
    if ((productId != PRODUCT_ID_ORBICON && productId != PRODUCT_ID_LINK_BOX) ||
        escFirmwareVersion < 0 || escFirmwareVersion > 0xFFFF || inputReportLength < 1 ||
        inputReportLength > MAX_LENGTH || outputReportLength < 1 ||
        outputReportLength > MAX_LENGTH) {
        return 0;
    }
    DemoUnitSettings settings;
    settings.productId = static_cast<std::uint16_t>(productId);
    settings.inBootloader = inBootloader != 0;
    settings.escAttached = escAttached != 0;
    settings.escTypeCode = escTypeCode;
    settings.escFirmwareVersion = static_cast<std::uint16_t>(escFirmwareVersion);
    settings.inputReportLength = static_cast<std::uint16_t>(inputReportLength);
    settings.outputReportLength = static_cast<std::uint16_t>(outputReportLength);
    lastUnit = PlugDemoUnit(settings);
    return 1;
}

EMSCRIPTEN_KEEPALIVE void EmulatorUnplug() { UnplugDemoUnit(); }

// Plugs the unit pulled out last in again, its ESC's flash as it was.
// Returns 1, or 0 when there is none or it is plugged in.
EMSCRIPTEN_KEEPALIVE int EmulatorReplug() {
    const std::shared_ptr<EmulatedUnit> unit = ReplugDemoUnit();
    if (!unit) {
        return 0;
    }
    lastUnit = unit;
    return 1;
}

// Puts another ESC on the plugged unit's cable (SwapDemoEsc): attached or
// not, its type code and firmware version. The unit stays plugged in.
// Returns 1, or 0 when no unit is plugged in or the version is out of range.
EMSCRIPTEN_KEEPALIVE int EmulatorSwapEsc(int escAttached, std::uint32_t escTypeCode,
                                         int escFirmwareVersion) {
    if (escFirmwareVersion < 0 || escFirmwareVersion > 0xFFFF) {
        return 0;
    }
    DemoUnitSettings settings;
    settings.escAttached = escAttached != 0;
    settings.escTypeCode = escTypeCode;
    settings.escFirmwareVersion = static_cast<std::uint16_t>(escFirmwareVersion);
    return SwapDemoEsc(settings) ? 1 : 0;
}

// How long the plugged unit's ESC takes to erase its flash, in the unit's
// milliseconds. Returns 1, or 0 when no unit is plugged in.
EMSCRIPTEN_KEEPALIVE int EmulatorSetPurgeDuration(std::uint32_t milliseconds) {
    const std::shared_ptr<EmulatedUnit> unit = DemoUnit();
    if (!unit) {
        return 0;
    }
    unit->purgeDurationMs = milliseconds;
    return 1;
}

// 1 while a unit is plugged in; a fault may have pulled it out.
EMSCRIPTEN_KEEPALIVE int EmulatorPlugged() { return DemoUnit() ? 1 : 0; }

// Arms a fault for the next update: its kind and step by name
// (DemoFaultKindFromName, DemoFaultStepFromName), the unit's error code and
// the last-error value of a failed write. Returns 1, 0 when no unit is
// plugged in, -1 when a name is unknown.
EMSCRIPTEN_KEEPALIVE int EmulatorArmFault(const char* kind, const char* step, std::uint32_t block,
                                          std::uint32_t errorCode, std::uint32_t lastError) {
    DemoFaultKind faultKind;
    DemoFaultStep faultStep;
    if (kind == nullptr || step == nullptr || !DemoFaultKindFromName(kind, faultKind) ||
        !DemoFaultStepFromName(step, faultStep)) {
        return -1;
    }
    return ArmDemoFault(faultKind, faultStep, block, errorCode, lastError) ? 1 : 0;
}

// The settings of the demo's default unit, for the bridge's defaults:
// product ID, bootloader (0/1), ESC attached (0/1), ESC type code, ESC
// firmware version, input and output report lengths.
EMSCRIPTEN_KEEPALIVE void EmulatorDefaultSettings(std::uint32_t* out) {
    const DemoUnitSettings settings;
    out[0] = settings.productId;
    out[1] = settings.inBootloader ? 1 : 0;
    out[2] = settings.escAttached ? 1 : 0;
    out[3] = settings.escTypeCode;
    out[4] = settings.escFirmwareVersion;
    out[5] = settings.inputReportLength;
    out[6] = settings.outputReportLength;
}

// Hands the unit one output report of `length` bytes, report ID first, at
// the unit's time `nowMs`. Returns 0 when the unit took it, otherwise the
// last-error value of the failed write (1167: the unit is not there). Then
// EmulatorReplyComing says whether a reply comes, EmulatorReplyDelayMs after
// the report, with EmulatorReplyLength bytes at EmulatorReplyBytes.
EMSCRIPTEN_KEEPALIVE std::uint32_t EmulatorSend(const std::uint8_t* report, std::uint32_t length,
                                                double nowMs) {
    nowUs = nowMs > 0 ? static_cast<std::uint64_t>(nowMs * 1000.0) : 0;
    reply.clear();
    replyComing = false;
    replyDelayMs = 0;
    const std::shared_ptr<EmulatedUnit> unit = DemoUnit();
    if (!unit) {
        return PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
    }
    std::uint32_t lastError = 0;
    if (!unit->HostWrite(report, length, 0, lastError)) {
        return lastError != 0 ? lastError : PLATFORM_ERROR_GEN_FAILURE;
    }
    // A reply whose read would fail is lost on the way: no input report.
    if (const std::optional<EmulatedDevice::PendingReply> queued = unit->TakeReply();
        queued && queued->failWith == 0) {
        reply = queued->bytes;
        replyComing = true;
        replyDelayMs = queued->readyAtUs > nowUs
                           ? static_cast<double>(queued->readyAtUs - nowUs) / 1000.0
                           : 0.0;
    }
    return 0;
}

EMSCRIPTEN_KEEPALIVE int EmulatorReplyComing() { return replyComing ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE double EmulatorReplyDelayMs() { return replyDelayMs; }
EMSCRIPTEN_KEEPALIVE std::uint32_t EmulatorReplyLength() {
    return static_cast<std::uint32_t>(reply.size());
}
EMSCRIPTEN_KEEPALIVE const std::uint8_t* EmulatorReplyBytes() { return reply.data(); }

// The ESC's flash of the unit last plugged in (none before the first plug).
EMSCRIPTEN_KEEPALIVE std::uint32_t EmulatorFlashSize() {
    return lastUnit ? static_cast<std::uint32_t>(lastUnit->esc.flash.size()) : 0;
}
EMSCRIPTEN_KEEPALIVE const std::uint8_t* EmulatorFlashBytes() {
    return lastUnit ? lastUnit->esc.flash.data() : nullptr;
}

// The reports the unit last plugged in received (from host 1) and sent
// (0), in order, each with the unit's time in milliseconds.
EMSCRIPTEN_KEEPALIVE std::uint32_t EmulatorLogSize() {
    return lastUnit ? static_cast<std::uint32_t>(lastUnit->Log().size()) : 0;
}
EMSCRIPTEN_KEEPALIVE int EmulatorLogFromHost(std::uint32_t index) {
    return lastUnit->Log().at(index).fromHost ? 1 : 0;
}
EMSCRIPTEN_KEEPALIVE double EmulatorLogTimeMs(std::uint32_t index) {
    return static_cast<double>(lastUnit->Log().at(index).completedAtUs) / 1000.0;
}
EMSCRIPTEN_KEEPALIVE std::uint32_t EmulatorLogLength(std::uint32_t index) {
    return static_cast<std::uint32_t>(lastUnit->Log().at(index).bytes.size());
}
EMSCRIPTEN_KEEPALIVE const std::uint8_t* EmulatorLogBytes(std::uint32_t index) {
    return lastUnit->Log().at(index).bytes.data();
}

// The least time the host waited from a data block's reply to its next
// report, in the unit's microseconds, over the log from entry `from` on;
// -1 when no block's reply was followed by a report.
EMSCRIPTEN_KEEPALIVE double EmulatorLeastBlockWaitUs(std::uint32_t from) {
    if (!lastUnit) {
        return -1;
    }
    const auto least = lastUnit->LeastHostWaitAfter(CMD_WRITE_DATA, from);
    return least ? static_cast<double>(*least) : -1;
}

}  // extern "C"
