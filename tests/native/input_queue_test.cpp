// The input reports of the emulated bus as Windows' HID class driver keeps
// them: a queue of its own for each opened handle, filled from the moment the
// handle is opened, holding at most 32 reports; a report that comes after the
// read waiting for it gave up is the next read's.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "tests/simulated_clock.h"
#include "link/commands.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "tests/native/scripted_device.h"

namespace {

class InputQueueTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        device = std::make_shared<ScriptedDevice>();
        emulated_bus::Plug(device);
    }

    HidHandle Open() {
        const HidHandle handle = HidOpenInterface(device->path);
        EXPECT_NE(handle, INVALID_HID_HANDLE);
        return handle;
    }

    // Writes a command report whose byte 3 is `tag`.
    void Send(HidHandle handle, std::uint8_t tag) {
        Bytes command = Command({COMMAND_REPORT_ID, CMD_GET_UNIT_STATUS, 0x00, tag});
        ASSERT_TRUE(HidWriteReport(handle, command.data(), 60, REPORT_TIMEOUT_MS));
    }

    // Byte 3 of the next input report on `handle`, or -1 when the read fails;
    // the read waits at most `timeoutMs`.
    int ReadTag(HidHandle handle, std::uint32_t timeoutMs = REPORT_TIMEOUT_MS) {
        std::uint8_t buffer[60] = {};
        if (!HidReadReport(handle, buffer, 60, timeoutMs)) {
            return -1;
        }
        return buffer[3];
    }

    std::shared_ptr<ScriptedDevice> device;
};

// Two handles on one unit each read every report: a read on one handle must
// not take the report away from the other.
TEST_F(InputQueueTest, EachHandleReadsItsOwnCopyOfEveryReport) {
    const HidHandle first = Open();
    const HidHandle second = Open();
    device->QueueReply(Reply(0, 7));
    Send(first, 1);
    EXPECT_EQ(ReadTag(first), 7);
    EXPECT_EQ(ReadTag(second), 7) << "the second handle lost its copy of the report";
    EXPECT_EQ(ReadTag(first), -1);
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
}

// A reply that comes after its read gave up stays queued for that handle and
// is what the next read there returns, at once. A handle opened after the
// reply came never sees it: otherwise a unit closed after a failed exchange
// and opened again would hand its first command the old reply, which the
// real driver never does.
TEST_F(InputQueueTest, LateReplyStaysWithTheHandleThatWasOpen) {
    const HidHandle first = Open();
    device->QueueReply(Reply(0, 7), REPORT_TIMEOUT_MS + 5000);
    Send(first, 1);
    EXPECT_EQ(ReadTag(first), -1);
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
    WaitMilliseconds(10000);  // the late reply has come meanwhile

    const HidHandle reopened = Open();
    device->QueueReply(Reply(0, 8));
    Send(reopened, 2);
    EXPECT_EQ(ReadTag(reopened), 8) << "a handle opened later got a report from before it";

    const std::uint64_t before = MonotonicMicroseconds();
    EXPECT_EQ(ReadTag(first), 7) << "the late reply was not kept for the next read";
    EXPECT_EQ(MonotonicMicroseconds(), before) << "a queued report is read without waiting";
    EXPECT_EQ(ReadTag(first), 8);
}

// Closing a handle drops its queue; the device's later reports go to the
// handles still open.
TEST_F(InputQueueTest, ClosedHandleTakesNothingFromAnother) {
    const HidHandle first = Open();
    device->QueueReply(Reply(0, 7), REPORT_TIMEOUT_MS + 5000);
    Send(first, 1);
    EXPECT_EQ(ReadTag(first), -1);
    HidCloseInterface(first);
    WaitMilliseconds(10000);
    const HidHandle second = Open();
    EXPECT_EQ(ReadTag(second, 1000), -1) << "the closed handle's late reply reached a new handle";
}

// The driver keeps 32 reports for a handle nobody reads and drops the oldest
// beyond that.
TEST_F(InputQueueTest, BeyondThirtyTwoReportsTheOldestIsDropped) {
    const HidHandle handle = Open();
    for (std::uint8_t tag = 1; tag <= 33; ++tag) {
        device->QueueReply(Reply(0, tag));
        Send(handle, tag);
    }
    for (int tag = 2; tag <= 33; ++tag) {
        EXPECT_EQ(ReadTag(handle), tag);
    }
    EXPECT_EQ(ReadTag(handle, 1000), -1);
}

}  // namespace
