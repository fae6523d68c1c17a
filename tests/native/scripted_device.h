// Test helpers: a device that answers from a script, reply builders, and a
// fixture that starts every test on an empty bus with the simulated clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_device.h"
#include "link/unit_connection.h"

using Bytes = std::vector<std::uint8_t>;

// Answers each command with the next scripted reply, whatever the command;
// with the script used up it stays silent. The test reads back what was sent
// from the device's log.
class ScriptedDevice : public EmulatedDevice {
public:
    explicit ScriptedDevice(std::wstring path = L"\\\\?\\hid#vid_3f19&pid_0002#scripted",
                            std::uint16_t productId = PRODUCT_ID_LINK_BOX)
        : EmulatedDevice(std::move(path), UNIT_VENDOR_ID, productId) {}

    void QueueReply(Bytes reply, std::uint32_t delayMs = 0) {
        script_.push_back({std::move(reply), delayMs});
    }
    std::size_t RepliesLeft() const { return script_.size(); }

protected:
    std::optional<Answer> Respond(const Bytes&) override {
        if (script_.empty()) {
            return std::nullopt;
        }
        Answer answer = script_.front();
        script_.pop_front();
        return answer;
    }

private:
    std::deque<Answer> script_;
};

// A 60-byte reply: report ID 2, `status`, `state`, then `data` from byte 4.
Bytes Reply(std::uint8_t status, std::uint8_t state, std::initializer_list<std::uint8_t> data = {});

// A reply with status 0xFF and the 32-bit error code in bytes 4-7.
Bytes FailedReply(std::uint32_t errorCode, std::uint8_t state = 0);

// A 60-byte command report: `head` from byte 0, zeros after.
Bytes Command(std::initializer_list<std::uint8_t> head);

// Stores a little-endian word into `bytes` at `offset`.
void PutLe32(Bytes& bytes, std::size_t offset, std::uint32_t value);

// Whether two records hold the same unit, field by field.
inline bool ConnectionsEqual(const UnitConnection& a, const UnitConnection& b) {
    return a.handle == b.handle && a.devicePath == b.devicePath &&
           a.outputReportLength == b.outputReportLength &&
           a.inputReportLength == b.inputReportLength &&
           a.unitInBootloader == b.unitInBootloader &&
           a.unitFirmwareVersion == b.unitFirmwareVersion && a.unitAuxWord == b.unitAuxWord &&
           a.escState == b.escState && a.unitStatusAux == b.unitStatusAux &&
           a.unitBootInfo.bootInfo1 == b.unitBootInfo.bootInfo1 &&
           a.unitBootInfo.bootInfo2 == b.unitBootInfo.bootInfo2 &&
           a.unitBootInfo.bootInfo3 == b.unitBootInfo.bootInfo3 &&
           a.unitBootInfo.bootInfo4 == b.unitBootInfo.bootInfo4 &&
           a.unitBootInfo.bootInfo5 == b.unitBootInfo.bootInfo5 &&
           a.escFirmwareInfo == b.escFirmwareInfo && a.escIdentity == b.escIdentity &&
           a.productId == b.productId;
}

std::string Hex(const Bytes& bytes);

// Every test starts with an empty bus, the simulated clock at its origin and
// no unit open; it ends by closing whatever the test left open.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs `device` in and makes it the open unit without discovery or
    // identification, with the device's report lengths.
    void OpenDirectly(const std::shared_ptr<EmulatedDevice>& device);
};
