// The report exchange and the update's link operations, byte for byte
// against a scripted device.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <numeric>

#include "tests/simulated_clock.h"
#include "link/commands.h"
#include "link/unit_connection.h"
#include "platform/clock.h"
#include "tests/native/scripted_device.h"

namespace {

class ExchangeTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        device = std::make_shared<ScriptedDevice>();
        OpenDirectly(device);
    }

    // The single report the host sent, or a test failure.
    Bytes OnlyCommand() {
        const auto commands = device->Commands();
        EXPECT_EQ(commands.size(), 1u);
        return commands.empty() ? Bytes{} : commands.front();
    }

    std::shared_ptr<ScriptedDevice> device;
};

std::array<std::uint8_t, 56> CountingBytes() {
    std::array<std::uint8_t, 56> data{};
    std::iota(data.begin(), data.end(), std::uint8_t{0x10});
    return data;
}

// Each command of an update goes out with exactly the bytes the unit expects;
// a wrong byte would lock, erase or address the ESC wrongly.
TEST_F(ExchangeTest, EachUpdateCommandSendsItsExactBytes) {
    struct Case {
        const char* name;
        std::function<std::int32_t()> operation;
        Bytes expected;
        Bytes reply;
    };
    const auto data = CountingBytes();
    Bytes block12 = Command({0x01, 0x1B, 0x30, 0x00});
    std::copy_n(data.begin(), 48, block12.begin() + 4);
    Bytes block14 = Command({0x01, 0x1B, 0x38, 0x00});
    std::copy_n(data.begin(), 56, block14.begin() + 4);

    const Case cases[] = {
        {"lock on", [] { return SetSystemLock(true); }, Command({0x01, 0x0B, 0x01, 0x01}),
         Reply(0, 1)},
        {"lock off", [] { return SetSystemLock(false); }, Command({0x01, 0x0B, 0x01, 0x00}),
         Reply(0, 0)},
        {"protection on", [] { return SetWriteProtection(true); },
         Command({0x01, 0x20, 0x01, 0x01}), Reply(0, 1)},
        {"protection off", [] { return SetWriteProtection(false); },
         Command({0x01, 0x20, 0x01, 0x00}), Reply(0, 0)},
        {"purge", [] { return PurgeFirmware(); },
         Command({0x01, 0x1E, 0x04, 0x00, 0xE1, 0x96, 0x5A, 0x3C}), Reply(0, 0)},
        {"set address", [] { return SetWriteAddress(); },
         Command({0x01, 0x1F, 0x09, 0x01, 0, 0, 0, 0, 0xE1, 0x96, 0x5A, 0x3C}), Reply(0, 0)},
        {"12 words", [&] { return WriteDataBlock(data.data(), 12); }, block12, Reply(0, 0)},
        {"14 words", [&] { return WriteDataBlock(data.data(), 14); }, block14, Reply(0, 0)},
        {"0 words", [&] { return WriteDataBlock(data.data(), 0); },
         Command({0x01, 0x1B, 0x00, 0x00}), Reply(0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device->ClearLog();
        device->QueueReply(c.reply);
        EXPECT_EQ(c.operation(), LINK_OK);
        EXPECT_EQ(Hex(OnlyCommand()), Hex(c.expected));
    }
}

// A short last block must not drag the bytes behind it onto the wire: only
// words x 4 bytes of the caller's data are read and sent.
TEST_F(ExchangeTest, DataBlockSendsOnlyTheGivenWords) {
    const auto data = CountingBytes();
    device->QueueReply(Reply(0, 0));
    ASSERT_EQ(WriteDataBlock(data.data(), 8), LINK_OK);
    Bytes expected = Command({0x01, 0x1B, 0x20, 0x00});
    std::copy_n(data.begin(), 32, expected.begin() + 4);
    EXPECT_EQ(Hex(OnlyCommand()), Hex(expected));
}

// The write hands the driver exactly the unit's output report length, and the
// read asks for its input report length.
TEST_F(ExchangeTest, ReportsHaveTheUnitsLengths) {
    ResetConnection();
    device = std::make_shared<ScriptedDevice>(L"short-unit");
    device->outputReportLength = 33;
    device->inputReportLength = 20;
    OpenDirectly(device);
    device->QueueReply(Reply(0, 1));
    ASSERT_EQ(SetSystemLock(true), LINK_OK);
    ASSERT_EQ(device->Log().size(), 2u);
    EXPECT_EQ(device->Log()[0].bytes.size(), 33u);
    EXPECT_EQ(device->Log()[1].bytes.size(), 20u);
}

struct Judgement {
    const char* name;
    std::function<std::int32_t()> operation;
    Bytes reply;
    std::int32_t expected;
};

// How each operation judges its reply: the state confirmation, the error code
// (all 32 bits), and a failure reported with error code 0 counting as success.
TEST_F(ExchangeTest, RepliesAreJudgedPerOperation) {
    Bytes withNoise = Reply(0x00, 0);
    PutLe32(withNoise, 4, 0xDEADBEEF);  // data, not an error code: status isn't 0xFF
    const Judgement cases[] = {
        {"lock on, failed status but state 1", [] { return SetSystemLock(true); },
         FailedReply(0x1234, 1), LINK_OK},
        {"lock on, state 0", [] { return SetSystemLock(true); }, Reply(0x00, 0),
         LINK_NOT_CONFIRMED},
        {"lock off, state 1", [] { return SetSystemLock(false); }, Reply(0x00, 1),
         LINK_NOT_CONFIRMED},
        {"lock off, state 0", [] { return SetSystemLock(false); }, Reply(0x00, 0), LINK_OK},
        {"protection off, failed with code 0, state 1", [] { return SetWriteProtection(false); },
         FailedReply(0, 1), LINK_OK},
        {"protection off, failed with code 5", [] { return SetWriteProtection(false); },
         FailedReply(5, 0), 5},
        {"protection off, state 1", [] { return SetWriteProtection(false); }, Reply(0x00, 1),
         LINK_NOT_CONFIRMED},
        {"protection on, state 1", [] { return SetWriteProtection(true); }, Reply(0x00, 1),
         LINK_OK},
        {"protection on, status 0x7F state 0", [] { return SetWriteProtection(true); },
         Reply(0x7F, 0), LINK_NOT_CONFIRMED},
        {"purge, failed with code 0", [] { return PurgeFirmware(); }, FailedReply(0), LINK_OK},
        {"purge, failed with 32-bit code", [] { return PurgeFirmware(); },
         FailedReply(0x80000001), static_cast<std::int32_t>(0x80000001)},
        {"purge, success with data bytes", [] { return PurgeFirmware(); }, withNoise, LINK_OK},
        {"set address, failed with code 0", [] { return SetWriteAddress(); }, FailedReply(0),
         LINK_OK},
        {"set address, failed with code", [] { return SetWriteAddress(); },
         FailedReply(0x00010000), 0x00010000},
        {"data, failed with code 0", [] { return WriteDataBlock(CountingBytes().data(), 12); },
         FailedReply(0), LINK_OK},
        {"data, failed with code", [] { return WriteDataBlock(CountingBytes().data(), 12); },
         FailedReply(0xDEADBEEF), static_cast<std::int32_t>(0xDEADBEEF)},
        {"data, unit code that reads as -2", [] { return WriteDataBlock(CountingBytes().data(), 1); },
         FailedReply(0xFFFFFFFE), LINK_WRITE_FAILED},
    };
    for (const Judgement& c : cases) {
        SCOPED_TRACE(c.name);
        device->QueueReply(c.reply);
        EXPECT_EQ(c.operation(), c.expected);
    }
    EXPECT_EQ(device->RepliesLeft(), 0u);
}

// With no unit open every operation returns -1 and nothing reaches any device.
TEST_F(ExchangeTest, NoUnitOpenSendsNothing) {
    const auto data = CountingBytes();
    const HidHandle handle = unitConnection.handle;
    unitConnection.handle = INVALID_HID_HANDLE;
    EXPECT_EQ(SetSystemLock(true), LINK_NO_UNIT);
    EXPECT_EQ(SetWriteProtection(false), LINK_NO_UNIT);
    EXPECT_EQ(PurgeFirmware(), LINK_NO_UNIT);
    EXPECT_EQ(SetWriteAddress(), LINK_NO_UNIT);
    EXPECT_EQ(WriteDataBlock(data.data(), 12), LINK_NO_UNIT);
    EXPECT_EQ(IdentifyUnit(), LINK_NO_UNIT);
    EXPECT_TRUE(device->Log().empty());
    EXPECT_TRUE(simulated_clock::Waits().empty()) << "the purge must not wait without a unit";
    unitConnection.handle = handle;
}

// A block of more than 14 words cannot fit a report; a null data pointer is a
// caller's fault. Neither may send anything.
TEST_F(ExchangeTest, DataBlockArgumentsOutOfRangeSendNothing) {
    const auto data = CountingBytes();
    EXPECT_EQ(WriteDataBlock(data.data(), 15), LINK_NO_UNIT);
    EXPECT_EQ(WriteDataBlock(data.data(), 0xFFFFFFFFu), LINK_NO_UNIT);
    EXPECT_EQ(WriteDataBlock(nullptr, 12), LINK_NO_UNIT);
    EXPECT_EQ(WriteDataBlock(nullptr, 0), LINK_NO_UNIT);
    EXPECT_TRUE(device->Log().empty());
}

// A failed write returns -2 and no read follows; a failed read returns -3.
// The platform's last-error value is the failing call's, for the failure box.
TEST_F(ExchangeTest, WriteAndReadFailuresKeepTheirLastError) {
    Fault writeFault;
    writeFault.kind = FaultKind::WriteFails;
    writeFault.exchange = 1;
    writeFault.lastError = PLATFORM_ERROR_GEN_FAILURE;
    device->ArmFault(writeFault);
    device->QueueReply(Reply(0, 1));
    EXPECT_EQ(SetSystemLock(true), LINK_WRITE_FAILED);
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_GEN_FAILURE);
    EXPECT_TRUE(device->Log().empty());
    EXPECT_EQ(device->RepliesLeft(), 1u) << "no command reached the device";

    Fault readFault;
    readFault.kind = FaultKind::ReadFails;
    readFault.exchange = 2;
    readFault.lastError = PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
    device->ArmFault(readFault);
    EXPECT_EQ(SetWriteAddress(), LINK_READ_FAILED);
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_DEVICE_NOT_CONNECTED);
}

// A unit that never answers cannot hang the program: the read gives up after
// the time limit with -3 and ERROR_TIMEOUT.
TEST_F(ExchangeTest, UnansweredCommandFailsAfterTheTimeLimit) {
    const std::uint64_t start = MonotonicMicroseconds();
    EXPECT_EQ(SetWriteAddress(), LINK_READ_FAILED);
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
    EXPECT_EQ(MonotonicMicroseconds() - start, std::uint64_t{REPORT_TIMEOUT_MS} * 1000);
    EXPECT_GE(REPORT_TIMEOUT_MS, 10000u);
}

// A write that never completes is cancelled after the limit and is -2.
TEST_F(ExchangeTest, HangingWriteFailsAfterTheTimeLimit) {
    Fault fault;
    fault.kind = FaultKind::WriteHangs;
    fault.exchange = 1;
    device->ArmFault(fault);
    device->QueueReply(Reply(0, 0));
    const std::uint64_t start = MonotonicMicroseconds();
    EXPECT_EQ(PurgeFirmware(), LINK_WRITE_FAILED);
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
    EXPECT_EQ(MonotonicMicroseconds() - start, 15'000'000u)
        << "only the purge's reply has a longer limit, not its write";
    EXPECT_EQ(simulated_clock::Waits().size(), 0u) << "no purge wait after a failed write";
}

// A reply that never comes fails each operation after its own limit: the
// purge's 60 s, after its 1000 ms pause, every other command's 15 s. Catches
// the purge held to the short limit (it would fail while the ESC is still
// erasing, its old firmware already gone), and the purge's long limit
// reaching the other commands.
TEST_F(ExchangeTest, EachReplyWaitsForItsOwnTimeLimit) {
    const auto data = CountingBytes();
    const struct {
        const char* name;
        std::function<std::int32_t()> operation;
        std::uint64_t failsAfterMs;
    } cases[] = {
        {"lock", [] { return SetSystemLock(true); }, 15'000},
        {"protection", [] { return SetWriteProtection(false); }, 15'000},
        {"purge", [] { return PurgeFirmware(); }, 1000 + 60'000},
        {"address", [] { return SetWriteAddress(); }, 15'000},
        {"data", [&] { return WriteDataBlock(data.data(), 12); }, 15'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlatformClearLastError();
        const std::uint64_t start = MonotonicMicroseconds();
        EXPECT_EQ(c.operation(), LINK_READ_FAILED);
        EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
        EXPECT_EQ(MonotonicMicroseconds() - start, c.failsAfterMs * 1000);
    }
}

// The purge's reply is read no earlier than 1000 ms after the write, through
// the platform's wait.
TEST_F(ExchangeTest, PurgeWaitsBeforeReadingTheReply) {
    device->QueueReply(Reply(0, 0));
    ASSERT_EQ(PurgeFirmware(), LINK_OK);
    ASSERT_EQ(device->Log().size(), 2u);
    EXPECT_GE(device->HostWaitBetween(0, 1), 1000'000u);
    EXPECT_EQ(simulated_clock::Waits(), std::vector<std::uint32_t>{1000});
}

// An ESC that takes seconds to erase answers late; inside the time limit that
// is still a success.
TEST_F(ExchangeTest, SlowPurgeReplyInsideTheLimitSucceeds) {
    device->QueueReply(Reply(0, 0), 6000);
    const std::uint64_t start = MonotonicMicroseconds();
    EXPECT_EQ(PurgeFirmware(), LINK_OK);
    EXPECT_EQ(MonotonicMicroseconds() - start, 6000'000u);
}

// Report lengths that cannot carry a command or its reply: nothing is sent.
TEST_F(ExchangeTest, CommandsThatDoNotFitTheReportsSendNothing) {
    ResetConnection();
    device = std::make_shared<ScriptedDevice>(L"tiny-unit");
    device->outputReportLength = 8;
    device->inputReportLength = 8;
    OpenDirectly(device);
    const auto data = CountingBytes();

    EXPECT_EQ(SetWriteAddress(), LINK_NO_UNIT);           // needs 12 output bytes
    EXPECT_EQ(WriteDataBlock(data.data(), 2), LINK_NO_UNIT);  // needs 12
    EXPECT_TRUE(device->Log().empty());

    device->QueueReply(Reply(0, 1));
    EXPECT_EQ(SetSystemLock(true), LINK_OK);               // fits 8 bytes
    device->QueueReply(Reply(0, 0));
    EXPECT_EQ(WriteDataBlock(data.data(), 1), LINK_OK);    // 4 + 4 bytes
    EXPECT_EQ(device->Commands().size(), 2u);
}

// Lengths above the 60-byte buffers are never used for I/O, whatever put
// them in the record.
TEST_F(ExchangeTest, ReportLengthsAboveSixtyAreRefused) {
    unitConnection.outputReportLength = 64;
    EXPECT_EQ(SetSystemLock(true), LINK_NO_UNIT);
    unitConnection.outputReportLength = 60;
    unitConnection.inputReportLength = 65;
    EXPECT_EQ(SetSystemLock(true), LINK_NO_UNIT);
    EXPECT_TRUE(device->Log().empty());
}

// A failing operation leaves the record untouched: closing is the caller's call.
TEST_F(ExchangeTest, FailuresLeaveTheUnitOpen) {
    const UnitConnection before = unitConnection;
    device->QueueReply(FailedReply(9));
    EXPECT_EQ(PurgeFirmware(), 9);
    EXPECT_EQ(SetWriteAddress(), LINK_READ_FAILED);
    EXPECT_TRUE(ConnectionsEqual(unitConnection, before));
}

}  // namespace
