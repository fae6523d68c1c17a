// A fuzzed programming unit answers every exchange: discovery (its IDs,
// whether its path, handle, attributes and capabilities can be had, its report
// lengths), identification, and a whole update of a small image. Where the
// input runs out, the unit behaves well, so an empty input is a complete,
// successful update.
//
// Besides what the sanitizers catch, it checks after every run:
// - every write has exactly the unit's output report length and every read
//   asks for at least its input report length;
// - nothing is written after an update has failed;
// - an update reports success only when every step and block was accepted;
// - the status that the failure box shows is exactly the one the failing
//   exchange implies (a failed write LINK_WRITE_FAILED, a failed or missing
//   reply LINK_READ_FAILED, the unit's error code, LINK_NOT_CONFIRMED for an
//   unconfirmed state), or LINK_NO_UNIT (no code line) where the step could
//   not be sent at all.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/shell.h"
#include "app/texts.h"
#include "emulator/emulated_unit.h"
#include "tests/simulated_clock.h"
#include "link/commands.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/native/native_resources.h"
#include "tests/native/recorded_window.h"
#include "update/sha256.h"

namespace {

// A 7-block image: 6 full blocks and a short one of 16 bytes.
std::vector<std::uint8_t> SmallImage() {
    std::vector<std::uint8_t> image(6 * 48 + 16);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    return image;
}

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Byte `index` of a report; past its end, 0.
std::uint8_t ByteOf(const std::vector<std::uint8_t>& report, std::size_t index) {
    return index < report.size() ? report[index] : 0;
}

// What the host should make of one exchange.
struct Exchange {
    std::vector<std::uint8_t> command;   // the report the host wrote (or tried to)
    std::optional<FaultKind> fault;
    std::vector<std::uint8_t> reply;     // what the host's buffer holds after the read
};

class FuzzedUnit : public EmulatedUnit {
public:
    FuzzedUnit(FuzzedDataProvider& input, std::uint16_t productId)
        : EmulatedUnit(L"\\\\?\\hid#vid_3f19&pid_0002#fuzzed", productId), input_(input) {}

    std::vector<Exchange> exchanges;

protected:
    std::optional<Fault> TakeFault(const std::vector<std::uint8_t>& report) override {
        exchanges.push_back(Exchange{});
        exchanges.back().command = report;
        // 0: answer, as the model unit would or changed; others: misbehave.
        const std::uint8_t action = input_.ConsumeIntegral<std::uint8_t>();
        Fault fault;
        fault.lastError = input_.ConsumeIntegral<std::uint8_t>() + 1u;
        switch (action % 16) {
        case 10: fault.kind = FaultKind::WriteFails; break;
        case 11: fault.kind = FaultKind::ReadFails; break;
        case 12: fault.kind = FaultKind::NoReply; break;
        case 13: fault.kind = FaultKind::Unplug; break;
        case 14: fault.kind = FaultKind::UnplugBeforeReply; break;
        case 15: fault.kind = FaultKind::WriteHangs; break;
        default:
            mutate_ = action % 16;
            return std::nullopt;
        }
        exchanges.back().fault = fault.kind;
        return fault;
    }

    std::optional<Answer> Respond(const std::vector<std::uint8_t>& report) override {
        Exchange& exchange = exchanges.back();
        std::optional<Answer> answer = EmulatedUnit::Respond(report);
        if (exchange.fault) {
            return answer;  // the fault decides what the host gets
        }
        // 1 to 9: change the model's reply: status, state, the error code,
        // a few bytes anywhere, the delay.
        if (answer && mutate_ != 0) {
            auto& bytes = answer->bytes;
            if (mutate_ & 1) bytes[1] = input_.ConsumeBool() ? 0xFF : input_.ConsumeIntegral<std::uint8_t>();
            if (mutate_ & 2) bytes[3] = input_.ConsumeIntegral<std::uint8_t>();
            if (mutate_ & 4) {
                for (int i = 4; i < 8; ++i) bytes[i] = input_.ConsumeIntegral<std::uint8_t>();
            }
            if (mutate_ & 8) {
                const std::size_t count = input_.ConsumeIntegralInRange<std::size_t>(0, 8);
                for (std::size_t i = 0; i < count; ++i) {
                    bytes[input_.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1)] =
                        input_.ConsumeIntegral<std::uint8_t>();
                }
            }
            if (input_.ConsumeBool()) {
                answer->delayMs = input_.ConsumeIntegralInRange<std::uint32_t>(0, 70000);
            }
        }
        if (answer) {
            // The host's buffer: what the device sends, cut or padded to its
            // input report length, zeros after.
            exchange.reply = answer->bytes;
            exchange.reply.resize(inputReportLength, 0);
            exchange.reply.resize(REPORT_SIZE, 0);
            // The host reads the purge's reply only after its own wait, and
            // gives it a longer limit than any other reply.
            const std::uint32_t limit = ByteOf(report, 1) == CMD_PURGE
                                            ? PURGE_REPLY_DELAY_MS + PURGE_REPLY_TIMEOUT_MS
                                            : REPORT_TIMEOUT_MS;
            if (answer->delayMs > limit) {
                exchange.fault = FaultKind::NoReply;
            }
        } else {
            exchange.fault = FaultKind::NoReply;
        }
        return answer;
    }

private:
    FuzzedDataProvider& input_;
    std::uint8_t mutate_ = 0;
};

bool IsClosingStep(const std::vector<std::uint8_t>& command) {
    return (ByteOf(command, 1) == CMD_WRITE_PROTECT && ByteOf(command, 3) == 1) ||
           (ByteOf(command, 1) == CMD_SYSTEM_LOCK && ByteOf(command, 3) == 0);
}

// The status the host must take from an exchange of the update.
std::int32_t ImpliedStatus(const Exchange& exchange) {
    if (exchange.fault == FaultKind::WriteFails || exchange.fault == FaultKind::WriteHangs ||
        exchange.fault == FaultKind::Unplug) {
        return LINK_WRITE_FAILED;
    }
    if (exchange.fault) {
        return LINK_READ_FAILED;
    }
    const auto& reply = exchange.reply;
    const std::uint8_t command = ByteOf(exchange.command, 1);
    const std::uint8_t flag = ByteOf(exchange.command, 3);
    const auto errorCode = static_cast<std::int32_t>(ReadLe32(&reply[4]));
    switch (command) {
    // The ESC asked again before the lock, as identification asks it: the
    // unit's status (and, for a unit now in its bootloader, its memory) is
    // taken as it comes, an ESC query fails with the 16-bit code of its
    // refusal (0 is none).
    case CMD_GET_UNIT_STATUS:
    case CMD_READ_MEMORY:
        return LINK_OK;
    case CMD_READ_ESC_FIRMWARE_INFO:
    case CMD_GET_ESC_IDENTITY:
        return reply[1] == REPLY_STATUS_FAILED ? ReadLe16(&reply[4]) : LINK_OK;
    case CMD_SYSTEM_LOCK:
        return reply[3] == flag ? LINK_OK : LINK_NOT_CONFIRMED;
    case CMD_WRITE_PROTECT:
        if (reply[1] == REPLY_STATUS_FAILED) return errorCode;
        return reply[3] == flag ? LINK_OK : LINK_NOT_CONFIRMED;
    default:
        return reply[1] == REPLY_STATUS_FAILED ? errorCode : LINK_OK;
    }
}

// The status shown in a failure box's code line, or LINK_NO_UNIT without one.
std::int32_t ShownStatus(const std::wstring& text) {
    // "...\r\n<text> 0xSSSSSSSS-0xLLLLLLLL": the status is the 8 digits
    // before "-0x" and the last error's.
    const std::size_t at = text.rfind(L"-0x");
    const std::size_t line = text.find(L"\r\n");
    if (line == std::wstring::npos || at == std::wstring::npos || at < 8) {
        return LINK_NO_UNIT;
    }
    const std::wstring status = text.substr(at - 8, 8);
    return static_cast<std::int32_t>(std::wcstoul(status.c_str(), nullptr, 16));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> image = SmallImage();
    FuzzedDataProvider input(data, size);

    emulated_bus::Reset();
    simulated_clock::Reset();
    recorded_window::Reset();
    static const Sha256Digest digest = Sha256(image.data(), image.size());
    SetNativeFirmwareImage(image.data(), static_cast<std::uint32_t>(image.size()));
    SetNativeFirmwareDigest(digest.data());
    StartShell();

    // Discovery: maybe another device first, then the fuzzed one.
    if (input.ConsumeBool()) {
        emulated_bus::Plug(std::make_shared<SilentDevice>(L"other", input.ConsumeIntegral<std::uint16_t>(),
                                                         input.ConsumeIntegral<std::uint16_t>()));
    }
    const std::uint8_t productChoice = input.ConsumeIntegral<std::uint8_t>();
    auto unit = std::make_shared<FuzzedUnit>(
        input, productChoice % 4 == 1 ? PRODUCT_ID_ORBICON : PRODUCT_ID_LINK_BOX);
    if (productChoice >= 0xF0) {
        unit->vendorId = input.ConsumeIntegral<std::uint16_t>();
        unit->productId = input.ConsumeIntegral<std::uint16_t>();
    }
    const std::uint8_t platformFaults = input.ConsumeIntegral<std::uint8_t>();
    unit->pathReadable = (platformFaults & 0x11) != 0x11;
    unit->openable = (platformFaults & 0x22) != 0x22;
    unit->attributesReadable = (platformFaults & 0x44) != 0x44;
    unit->capabilitiesReadable = (platformFaults & 0x88) != 0x88;
    const std::uint16_t inputLength = input.ConsumeIntegral<std::uint16_t>();
    const std::uint16_t outputLength = input.ConsumeIntegral<std::uint16_t>();
    unit->inputReportLength = inputLength == 0 ? REPORT_SIZE : inputLength % 80;
    unit->outputReportLength = outputLength == 0 ? REPORT_SIZE : outputLength % 80;
    unit->inBootloader = input.ConsumeIntegral<std::uint8_t>() >= 0xF0;
    const std::uint8_t escChoice = input.ConsumeIntegral<std::uint8_t>();
    if (escChoice >= 0xE0) unit->esc.state = escChoice & 7;
    if (escChoice >= 0xF0) unit->esc.typeCode = input.ConsumeIntegral<std::uint32_t>();
    unit->esc.firmwareVersion = input.ConsumeBool() ? input.ConsumeIntegral<std::uint16_t>()
                                                    : ESC_DELIVERED_FIRMWARE_VERSION;
    emulated_bus::Plug(unit);

    // The window opens, discovers and identifies.
    OnInitDialog(0x1234);
    const bool ready = recorded_window::ItemEnabled(IDC_UPDATE);
    if (ready) {
        Require(unitConnection.handle != INVALID_HID_HANDLE &&
                    unitConnection.escState == ESC_STATE_UPDATABLE &&
                    unitConnection.unitInBootloader == 0,
                "Update is enabled only for an open unit with an updatable ESC");
        const std::uint32_t type = EscTypeCode(unitConnection);
        Require(type == ESC_TYPE_ORVANTO_A || type == ESC_TYPE_ORVANTO_B,
                "Update is enabled only for an accepted ESC type");

        const std::size_t before = unit->exchanges.size();
        recorded_window::QueueBoxAnswer({ANSWER_OK, nullptr});
        recorded_window::QueueBoxAnswer({ANSWER_YES, nullptr});
        OnCommand(IDC_UPDATE);

        // The update's exchanges, judged independently of the host.
        std::size_t failing = 0;
        bool failed = false;
        std::int32_t implied = LINK_OK;
        std::size_t dataBlocks = 0;
        for (std::size_t i = before; i < unit->exchanges.size(); ++i) {
            const Exchange& exchange = unit->exchanges[i];
            if (IsClosingStep(exchange.command)) {
                continue;
            }
            if (ByteOf(exchange.command, 1) == CMD_WRITE_DATA && !exchange.fault) {
                ++dataBlocks;
            }
            const std::int32_t status = ImpliedStatus(exchange);
            if (status != LINK_OK) {
                failed = true;
                failing = i;
                implied = status;
                break;
            }
        }
        const std::wstring hint = recorded_window::ItemText(IDC_HINT);
        const auto boxes = recorded_window::Boxes();
        const bool reportedFailure = boxes.size() >= 2 && boxes.back().caption == LoadText(IDS_UPDATE_FAILED_CAPTION);
        if (hint == LoadText(IDS_UPDATE_SUCCEEDED)) {
            Require(!failed, "success reported although an exchange failed");
            Require(dataBlocks == 7, "success reported without every block");
        }
        if (failed) {
            Require(reportedFailure, "a failed exchange was not reported");
            Require(unit->exchanges.size() == failing + 1, "something was written after the failure");
            Require(ShownStatus(boxes.back().text) == implied, "the status shown is not the one implied");
            Require(unitConnection.handle == INVALID_HID_HANDLE, "the unit stays open after a failure");
        } else if (reportedFailure) {
            // Nothing failed on the wire: the step could not be sent at all.
            Require(ShownStatus(boxes.back().text) == LINK_NO_UNIT,
                    "a step that was not sent shows a code");
        }
    }
    Require(unit->MalformedTransfers() == 0, "a write or read of the wrong length");

    ResetConnection();
    UseLinkedFirmwareImage();
    return 0;
}
