// The emulated unit behaves like the device: it keeps its states, refuses
// what the device refuses, and misbehaves when told to.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>

#include "emulator/demo_unit.h"
#include "emulator/emulated_unit.h"
#include "tests/simulated_clock.h"
#include "link/commands.h"
#include "link/unit_connection.h"
#include "platform/clock.h"
#include "tests/native/scripted_device.h"

namespace {

class EmulatorTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        unit = std::make_shared<EmulatedUnit>(L"unit", PRODUCT_ID_LINK_BOX);
        OpenDirectly(unit);
    }

    std::shared_ptr<EmulatedUnit> unit;
    const std::array<std::uint8_t, 48> block = [] {
        std::array<std::uint8_t, 48> bytes{};
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
        }
        return bytes;
    }();
};

// The ESC's flash takes data only under the system lock, with the protection
// off, after a purge and a write address, in that order; each missing step
// has its own error code.
TEST_F(EmulatorTest, DataIsRefusedUntilEveryStepCameFirst) {
    EXPECT_EQ(WriteDataBlock(block.data(), 12), static_cast<std::int32_t>(UNIT_ERROR_NOT_LOCKED));
    EXPECT_EQ(PurgeFirmware(), static_cast<std::int32_t>(UNIT_ERROR_NOT_LOCKED));
    EXPECT_EQ(SetWriteProtection(false), static_cast<std::int32_t>(UNIT_ERROR_NOT_LOCKED));
    ASSERT_EQ(SetSystemLock(true), LINK_OK);
    EXPECT_EQ(WriteDataBlock(block.data(), 12),
              static_cast<std::int32_t>(UNIT_ERROR_WRITE_PROTECTED));
    EXPECT_EQ(PurgeFirmware(), static_cast<std::int32_t>(UNIT_ERROR_WRITE_PROTECTED));
    ASSERT_EQ(SetWriteProtection(false), LINK_OK);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), static_cast<std::int32_t>(UNIT_ERROR_NOT_PURGED));
    EXPECT_EQ(SetWriteAddress(), static_cast<std::int32_t>(UNIT_ERROR_NOT_PURGED));
    ASSERT_EQ(PurgeFirmware(), LINK_OK);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), static_cast<std::int32_t>(UNIT_ERROR_NO_ADDRESS));
    ASSERT_EQ(SetWriteAddress(), LINK_OK);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), LINK_OK);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), unit->esc.flash.begin()));
    EXPECT_EQ(unit->blockLengths, std::vector<std::uint32_t>{48});
}

// A purge or address with a wrong confirmation code is refused and changes
// nothing.
TEST_F(EmulatorTest, WrongConfirmationCodesAreRefused) {
    ASSERT_EQ(SetSystemLock(true), LINK_OK);
    ASSERT_EQ(SetWriteProtection(false), LINK_OK);
    unit->esc.flash[0] = 0x12;

    CommandReport purge = MakeCommandReport(CMD_PURGE, 0x04);
    WriteLe32(&purge.payload[0], CONFIRMATION_CODE ^ 1);
    ReplyReport reply{};
    ASSERT_EQ(ExchangeReports(purge, 8, reply, 8), LINK_OK);
    EXPECT_EQ(reply.status, 0xFF);
    EXPECT_EQ(ReplyErrorCode(reply), UNIT_ERROR_BAD_CONFIRMATION);
    EXPECT_EQ(unit->esc.flash[0], 0x12) << "a refused purge erases nothing";

    ASSERT_EQ(PurgeFirmware(), LINK_OK);
    CommandReport address = MakeCommandReport(CMD_SET_ADDRESS, 0x09);
    address.flag = 1;
    ASSERT_EQ(ExchangeReports(address, 12, reply, 8), LINK_OK);
    EXPECT_EQ(ReplyErrorCode(reply), UNIT_ERROR_BAD_CONFIRMATION);
    EXPECT_FALSE(unit->addressSet);
}

// Blocks land one behind the other; switching the protection back on starts
// the new firmware, which then reports its version; resetting the lock ends
// the session.
TEST_F(EmulatorTest, BlocksLandInOrderAndTheNewFirmwareStarts) {
    ASSERT_EQ(SetSystemLock(true), LINK_OK);
    ASSERT_EQ(SetWriteProtection(false), LINK_OK);
    ASSERT_EQ(PurgeFirmware(), LINK_OK);
    EXPECT_EQ(unit->esc.firmwareVersion, ESC_NO_FIRMWARE_VERSION)
        << "an erased ESC has no firmware";
    ASSERT_EQ(SetWriteAddress(), LINK_OK);
    ASSERT_EQ(WriteDataBlock(block.data(), 12), LINK_OK);
    ASSERT_EQ(WriteDataBlock(block.data() + 8, 2), LINK_OK);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), unit->esc.flash.begin()));
    EXPECT_TRUE(std::equal(block.begin() + 8, block.begin() + 16, unit->esc.flash.begin() + 48));
    EXPECT_EQ(unit->esc.flash[56], 0xFF);
    EXPECT_EQ(unit->blockLengths, (std::vector<std::uint32_t>{48, 8}));

    ASSERT_EQ(SetWriteProtection(true), LINK_OK);
    EXPECT_TRUE(unit->esc.writeProtected);
    EXPECT_EQ(unit->esc.firmwareVersion, 0x0300);
    ASSERT_EQ(SetSystemLock(false), LINK_OK);
    EXPECT_FALSE(unit->systemLock);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), static_cast<std::int32_t>(UNIT_ERROR_NOT_LOCKED));

    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(EscFirmwareVersion(unitConnection), 0x0300);
}

// The flash ends where it ends: a write past it is refused.
TEST_F(EmulatorTest, WritesPastTheFlashAreRefused) {
    unit->esc.flash.assign(64, 0xFF);
    ASSERT_EQ(SetSystemLock(true), LINK_OK);
    ASSERT_EQ(SetWriteProtection(false), LINK_OK);
    ASSERT_EQ(PurgeFirmware(), LINK_OK);
    ASSERT_EQ(SetWriteAddress(), LINK_OK);
    ASSERT_EQ(WriteDataBlock(block.data(), 12), LINK_OK);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), static_cast<std::int32_t>(UNIT_ERROR_FLASH_FULL));
    EXPECT_EQ(WriteDataBlock(block.data(), 4), LINK_OK);
}

// In its own bootloader the unit refuses every update command; the lock
// cannot be confirmed.
TEST_F(EmulatorTest, BootloaderRefusesUpdateCommands) {
    unit->inBootloader = true;
    EXPECT_EQ(SetSystemLock(true), LINK_NOT_CONFIRMED);
    EXPECT_EQ(SetWriteProtection(false), static_cast<std::int32_t>(UNIT_ERROR_WRONG_MODE));
    EXPECT_EQ(PurgeFirmware(), static_cast<std::int32_t>(UNIT_ERROR_WRONG_MODE));
}

// Without an updatable ESC the ESC commands are refused.
TEST_F(EmulatorTest, NoEscRefusesEscCommands) {
    unit->esc.state = 0;
    ASSERT_EQ(SetSystemLock(true), LINK_OK);
    EXPECT_EQ(SetWriteProtection(false), static_cast<std::int32_t>(UNIT_ERROR_NO_ESC));
    EXPECT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(unitConnection.escState, 0);
}

// Faults armed by command and occurrence hit exactly that report.
TEST_F(EmulatorTest, FaultsHitTheChosenReport) {
    Fault unitError;
    unitError.kind = FaultKind::UnitError;
    unitError.command = CMD_WRITE_DATA;
    unitError.occurrence = 2;
    unitError.errorCode = 0x0BADC0DE;
    unit->ArmFault(unitError);
    Fault wrongState;
    wrongState.kind = FaultKind::WrongState;
    wrongState.command = CMD_SYSTEM_LOCK;
    unit->ArmFault(wrongState);

    EXPECT_EQ(SetSystemLock(true), LINK_NOT_CONFIRMED);
    EXPECT_EQ(SetSystemLock(true), LINK_OK);
    ASSERT_EQ(SetWriteProtection(false), LINK_OK);
    ASSERT_EQ(PurgeFirmware(), LINK_OK);
    ASSERT_EQ(SetWriteAddress(), LINK_OK);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), LINK_OK);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), 0x0BADC0DE);
    EXPECT_EQ(WriteDataBlock(block.data(), 12), LINK_OK);
    EXPECT_TRUE(unit->faults.empty());
}

// Plugging and unplugging reach the listener; after an unplug every write and
// read on the old handle fails with ERROR_DEVICE_NOT_CONNECTED.
TEST_F(EmulatorTest, UnplugIsAnnouncedAndEndsAllIo) {
    std::vector<BusEvent> events;
    emulated_bus::SetListener([&](const BusEvent& event) { events.push_back(event); });
    Fault unplug;
    unplug.kind = FaultKind::Unplug;
    unplug.exchange = 3;
    unit->ArmFault(unplug);
    EXPECT_EQ(SetSystemLock(true), LINK_OK);
    EXPECT_EQ(SetWriteProtection(false), LINK_OK);
    EXPECT_EQ(PurgeFirmware(), LINK_WRITE_FAILED);
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SetSystemLock(false), LINK_WRITE_FAILED);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, BusEventKind::Removal);
    EXPECT_EQ(events[0].path, L"unit");

    auto again = std::make_shared<EmulatedUnit>(L"unit-2", PRODUCT_ID_ORBICON);
    emulated_bus::Plug(again);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, BusEventKind::Arrival);
    EXPECT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(unitConnection.productId, PRODUCT_ID_ORBICON);
}

// The log has every report both ways with its time, and tells how long the
// host waited between two reports.
TEST_F(EmulatorTest, LogRecordsReportsWithTheirTimes) {
    ASSERT_EQ(SetSystemLock(true), LINK_OK);
    WaitMilliseconds(20);
    ASSERT_EQ(SetWriteProtection(false), LINK_OK);
    const auto& log = unit->Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_TRUE(log[0].fromHost);
    EXPECT_FALSE(log[1].fromHost);
    EXPECT_EQ(log[1].bytes.at(3), 1) << "the lock reply confirms the lock";
    EXPECT_EQ(unit->HostWaitBetween(1, 2), 20'000u);
    EXPECT_EQ(unit->ExchangeCount(), 2u);
}

// Each of `names` stands for its value, as `fromName` reads it.
template <typename Value, std::size_t Count>
void ExpectNames(const std::pair<const char*, Value> (&names)[Count],
                 bool (*fromName)(const std::string&, Value&)) {
    for (const auto& [name, value] : names) {
        SCOPED_TRACE(name);
        auto parsed = static_cast<Value>(-1);
        EXPECT_TRUE(fromName(name, parsed));
        EXPECT_TRUE(parsed == value);
    }
}

// The names by which the browser's emulated unit and the kernel device's
// control channel arm a fault: each stands for its own kind and step, and
// nothing else is taken. Catches a name that arms another fault,
// or at another step, than it says; the browser tests use only some of them.
TEST(DemoFaultNames, EachNameIsItsOwnKindAndStep) {
    const std::pair<const char*, DemoFaultKind> kinds[] = {
        {"none", DemoFaultKind::None},
        {"unit-error", DemoFaultKind::UnitError},
        {"wrong-state", DemoFaultKind::WrongState},
        {"no-reply", DemoFaultKind::NoReply},
        {"write-fails", DemoFaultKind::WriteFails},
        {"read-fails", DemoFaultKind::ReadFails},
        {"unplug", DemoFaultKind::Unplug},
        {"unplug-before-reply", DemoFaultKind::UnplugBeforeReply},
    };
    ExpectNames(kinds, DemoFaultKindFromName);
    const std::pair<const char*, DemoFaultStep> steps[] = {
        {"lock", DemoFaultStep::SystemLock},
        {"protection-off", DemoFaultStep::ProtectionOff},
        {"purge", DemoFaultStep::Purge},
        {"address", DemoFaultStep::SetAddress},
        {"block", DemoFaultStep::DataBlock},
        {"esc-identity", DemoFaultStep::EscIdentity},
    };
    ExpectNames(steps, DemoFaultStepFromName);

    DemoFaultKind kind = DemoFaultKind::None;
    DemoFaultStep step = DemoFaultStep::SystemLock;
    for (const char* other : {"", "lock", "Unplug", "unplug ", "no_reply"}) {
        EXPECT_FALSE(DemoFaultKindFromName(other, kind)) << other;
    }
    for (const char* other : {"", "none", "Purge", "block:3", "protection"}) {
        EXPECT_FALSE(DemoFaultStepFromName(other, step)) << other;
    }
}

}  // namespace
