// Identification: what the unit and its ESC report, and what stays stored when
// a query fails.
#include <gtest/gtest.h>

#include "emulator/emulated_unit.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "tests/native/scripted_device.h"

namespace {

const std::wstring UNIT_PATH = L"\\\\?\\hid#vid_3f19&pid_0002#7&2f1a3b4c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class IdentifyTest : public BusTest {
protected:
    std::shared_ptr<EmulatedUnit> PlugUnit() {
        auto unit = std::make_shared<EmulatedUnit>(UNIT_PATH, PRODUCT_ID_LINK_BOX);
        emulated_bus::Plug(unit);
        return unit;
    }
    std::vector<std::uint8_t> SentCommandCodes(const EmulatedDevice& device) {
        std::vector<std::uint8_t> codes;
        for (const auto& command : device.Commands()) {
            codes.push_back(command.at(1));
        }
        return codes;
    }
};

// A LINK-BOX in its normal mode with an accepted ESC: every field of the
// record that the updater reads, as the unit reported it.
TEST_F(IdentifyTest, LinkBoxWithAcceptedEscFillsEveryField) {
    auto unit = PlugUnit();
    unit->firmwareVersion = 0x00010502;
    unit->esc.typeCode = ESC_TYPE_ORVANTO_B;
    unit->esc.bootloaderVersion = 0x01000002;
    unit->esc.firmwareVersion = 0x0205;

    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    const UnitConnection& c = unitConnection;
    EXPECT_NE(c.handle, INVALID_HID_HANDLE);
    EXPECT_EQ(c.devicePath, UNIT_PATH);
    EXPECT_EQ(c.outputReportLength, 60u);
    EXPECT_EQ(c.inputReportLength, 60u);
    EXPECT_EQ(c.unitInBootloader, 0);
    EXPECT_EQ(c.unitFirmwareVersion, 0x00010502u);
    EXPECT_EQ(c.escState, unit->esc.state);
    const auto info = unit->FirmwareInfoBlock();
    const auto identity = unit->IdentityBlock();
    EXPECT_TRUE(std::equal(info.begin(), info.end(), c.escFirmwareInfo.begin()));
    EXPECT_TRUE(std::equal(identity.begin(), identity.end(), c.escIdentity.begin()));
    EXPECT_EQ(EscFirmwareVersion(c), 0x0205);
    EXPECT_EQ(EscTypeCode(c), unit->esc.typeCode);
    EXPECT_EQ(EscBootloaderVersion(c), 0x01000002u);
    EXPECT_EQ(c.productId, PRODUCT_ID_LINK_BOX);
    EXPECT_EQ(SentCommandCodes(*unit),
              (std::vector<std::uint8_t>{CMD_GET_UNIT_STATUS, CMD_READ_ESC_FIRMWARE_INFO,
                                         CMD_GET_ESC_IDENTITY}));
}

// The identification queries go out with their exact bytes.
TEST_F(IdentifyTest, QueriesSendTheirExactBytes) {
    auto unit = PlugUnit();
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    unit->inBootloader = true;
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    const auto commands = unit->Commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(Hex(commands[0]), Hex(Command({0x01, 0x08, 0x00})));
    EXPECT_EQ(Hex(commands[1]),
              Hex(Command({0x01, 0x1D, 0x08, 0x00, 0x20, 0, 0, 0, 0xE0, 0xFF, 0xFF, 0xFF})));
    EXPECT_EQ(Hex(commands[2]), Hex(Command({0x01, 0x22})));
    EXPECT_EQ(Hex(commands[3]), Hex(Command({0x01, 0x08, 0x00})));
    EXPECT_EQ(Hex(commands[4]), Hex(Command({0x01, 0x0A, 0x0C, 0x00, 0x00, 0xFC, 0x01, 0x08})));
}

// In its own bootloader the unit's version comes from the memory read, and no
// ESC is asked for.
TEST_F(IdentifyTest, BootloaderModeReadsTheVersionFromMemory) {
    auto unit = PlugUnit();
    unit->inBootloader = true;
    unit->firmwareVersion = 0x00020100;
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    const UnitConnection& c = unitConnection;
    EXPECT_NE(c.unitInBootloader, 0);
    EXPECT_EQ(c.unitFirmwareVersion, 0x00020100u);
    EXPECT_EQ(c.escState, 0);
    EXPECT_EQ(c.escFirmwareInfo, (std::array<std::uint8_t, 32>{}));
    EXPECT_EQ(c.escIdentity, (std::array<std::uint8_t, 40>{}));
    EXPECT_EQ(SentCommandCodes(*unit),
              (std::vector<std::uint8_t>{CMD_GET_UNIT_STATUS, CMD_READ_MEMORY}));
}

// No updatable ESC (state 2, or nothing attached): one exchange, blocks zero.
TEST_F(IdentifyTest, NoUpdatableEscMeansOneExchange) {
    for (std::uint16_t state : {0, 2}) {
        SCOPED_TRACE(state);
        auto unit = PlugUnit();
        unit->esc.state = state;
        ASSERT_EQ(DiscoverUnit(), LINK_OK);
        EXPECT_EQ(unitConnection.escState, state);
        EXPECT_EQ(unitConnection.unitFirmwareVersion, unit->firmwareVersion);
        EXPECT_EQ(unitConnection.escFirmwareInfo, (std::array<std::uint8_t, 32>{}));
        EXPECT_EQ(unitConnection.escIdentity, (std::array<std::uint8_t, 40>{}));
        EXPECT_EQ(unit->Commands().size(), 1u);
        emulated_bus::Unplug(unit);
    }
}

// The ESC queries judge only bytes 4-5 of a failed reply: a zero code there is
// no failure (though the block is not taken), a non-zero one ends
// identification at once.
TEST_F(IdentifyTest, EscQueryFailuresUseTheLow16Bits) {
    auto unit = PlugUnit();
    unit->esc.firmwareInfoError = 0x00070000;  // bytes 4-5 zero, 6-7 not
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(unitConnection.escFirmwareInfo, (std::array<std::uint8_t, 32>{}));
    EXPECT_EQ(EscFirmwareVersion(unitConnection), 0);
    EXPECT_EQ(EscTypeCode(unitConnection), unit->esc.typeCode) << "identity still asked for";

    unit->ClearLog();
    unit->esc.firmwareInfoError = 0x00050007;
    EXPECT_EQ(DiscoverUnit(), 7);
    EXPECT_EQ(SentCommandCodes(*unit),
              (std::vector<std::uint8_t>{CMD_GET_UNIT_STATUS, CMD_READ_ESC_FIRMWARE_INFO}));

    unit->ClearLog();
    unit->esc.firmwareInfoError = 0;
    unit->esc.identityError = 0x12340000;
    EXPECT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(unitConnection.escIdentity, (std::array<std::uint8_t, 40>{}));
    EXPECT_EQ(EscTypeCode(unitConnection), 0u);
    EXPECT_EQ(EscFirmwareVersion(unitConnection), unit->esc.firmwareVersion);

    unit->esc.identityError = 0xFFFF;
    EXPECT_EQ(DiscoverUnit(), 0xFFFF);
}

// The unit-status reply is taken as it comes, even with status 0xFF.
TEST_F(IdentifyTest, UnitStatusIsStoredWhateverItsStatus) {
    auto device = std::make_shared<ScriptedDevice>();
    emulated_bus::Plug(device);
    Bytes status = Reply(0xFF, 0, {0x02, 0x00, 0x34, 0x12, 0x00, 0x03, 0x01, 0x00});
    device->QueueReply(status);
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(unitConnection.escState, 2);
    EXPECT_EQ(unitConnection.unitFirmwareVersion, 0x00010300u);
}

// Each query's write or read failing: -2 or -3, the unit stays open, and what
// was stored before stays stored.
TEST_F(IdentifyTest, ExchangeFailuresKeepWhatWasStored) {
    struct Case {
        std::uint32_t exchange;
        FaultKind kind;
        std::int32_t expected;
        std::uint16_t escStateAfter;
    };
    // The state the unit reported: its ESC's, an updatable one.
    const std::uint16_t reported = EscModel{}.state;
    const Case cases[] = {
        {1, FaultKind::WriteFails, LINK_WRITE_FAILED, 0},
        {1, FaultKind::NoReply, LINK_READ_FAILED, 0},
        {2, FaultKind::WriteFails, LINK_WRITE_FAILED, reported},
        {2, FaultKind::ReadFails, LINK_READ_FAILED, reported},
        {3, FaultKind::Unplug, LINK_WRITE_FAILED, reported},
        {3, FaultKind::UnplugBeforeReply, LINK_READ_FAILED, reported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exchange);
        auto unit = PlugUnit();
        Fault fault;
        fault.kind = c.kind;
        fault.exchange = c.exchange;
        unit->ArmFault(fault);
        EXPECT_EQ(DiscoverUnit(), c.expected);
        EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
        EXPECT_EQ(unitConnection.devicePath, UNIT_PATH);
        EXPECT_EQ(unitConnection.inputReportLength, 60u);
        EXPECT_EQ(unitConnection.escState, c.escStateAfter);
        if (c.exchange == 3) {
            EXPECT_EQ(EscFirmwareVersion(unitConnection), unit->esc.firmwareVersion);
        }
        ResetConnection();
        emulated_bus::Unplug(unit);
    }
}

// Capabilities that cannot be read, or that announce reports larger than the
// 60-byte buffers: -1, no report sent, both lengths stay 0.
TEST_F(IdentifyTest, UnusableCapabilitiesSendNothing) {
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        auto unit = PlugUnit();
        if (variant == 0) {
            unit->capabilitiesReadable = false;
        } else if (variant == 1) {
            unit->inputReportLength = 64;
        } else {
            unit->outputReportLength = 61;
        }
        EXPECT_EQ(DiscoverUnit(), LINK_NO_UNIT);
        EXPECT_EQ(unitConnection.inputReportLength, 0u);
        EXPECT_EQ(unitConnection.outputReportLength, 0u);
        EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
        EXPECT_TRUE(unit->Log().empty());
        ResetConnection();
        emulated_bus::Unplug(unit);
    }
}

// A unit with short reports can still say it is in the wrong mode or has no
// ESC; it fails only where its reports cannot carry the ESC's blocks.
TEST_F(IdentifyTest, ShortReportsFailOnlyWhereTheyCannotCarryTheReply) {
    auto unit = PlugUnit();
    unit->inputReportLength = 16;
    unit->outputReportLength = 12;
    unit->esc.state = 2;
    EXPECT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(unitConnection.escState, 2);

    unit->esc.state = ESC_STATE_UPDATABLE;
    unit->ClearLog();
    EXPECT_EQ(DiscoverUnit(), LINK_NO_UNIT);
    EXPECT_EQ(SentCommandCodes(*unit), std::vector<std::uint8_t>{CMD_GET_UNIT_STATUS});

    unit->inputReportLength = 15;
    unit->ClearLog();
    EXPECT_EQ(DiscoverUnit(), LINK_NO_UNIT);
    EXPECT_TRUE(unit->Log().empty());
}

// Identification needs an open unit with a path.
TEST_F(IdentifyTest, NeedsAnOpenUnitWithAPath) {
    EXPECT_EQ(IdentifyUnit(), LINK_NO_UNIT);
    auto unit = PlugUnit();
    OpenDirectly(unit);
    unitConnection.devicePath.clear();
    EXPECT_EQ(IdentifyUnit(), LINK_NO_UNIT);
    EXPECT_TRUE(unit->Log().empty());
}

}  // namespace
