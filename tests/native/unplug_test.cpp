// The unit pulled out at every single exchange in turn: of identification,
// and of a whole update (2,044 exchanges). Whatever the moment, no crash, the
// right failure text and status, the record reset after a failed update, and
// nothing sent after the failure. The removal notification is handled after
// the update has returned, as on Windows, where the thread pumps no messages
// while it writes.
#include <gtest/gtest.h>

#include "emulator/simulated_clock.h"
#include "link/commands.h"
#include "platform/hid.h"
#include "tests/native/shell_fixture.h"
#include "update/firmware_update.h"

namespace {

constexpr std::uint32_t UPDATE_EXCHANGES = 4 + 2038 + 2;

class UnplugTest : public ShellFixture {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        emulated_bus::SetListener([this](const BusEvent& event) { pending.push_back(event); });
    }

    // Hands the queued notifications to the window, as its message loop would.
    void DeliverNotifications() {
        std::vector<BusEvent> events;
        events.swap(pending);
        for (const BusEvent& event : events) {
            const DeviceBroadcast broadcast{DEVICE_TYPE_INTERFACE, event.path};
            OnDeviceChange(event.kind == BusEventKind::Arrival ? DEVICE_EVENT_ARRIVAL
                                                               : DEVICE_EVENT_REMOVE_COMPLETE,
                           &broadcast);
        }
    }

    // A fresh window with a ready unit, the fault armed for the update's
    // `at`-th exchange; returns the unit, and in `sentBefore` what it had
    // received before the update.
    std::shared_ptr<EmulatedUnit> ReadyUnitWithFault(FaultKind kind, std::uint32_t at,
                                                     std::size_t& sentBefore) {
        ShellFixture::TearDown();
        SetUp();
        auto unit = MakeUnit();
        emulated_bus::Plug(unit);
        OnInitDialog(DIALOG);
        EXPECT_TRUE(UpdateEnabled());
        pending.clear();
        recorded_window::Reset();
        Fault fault;
        fault.kind = kind;
        fault.exchange = unit->ExchangeCount() + at;
        unit->ArmFault(fault);
        sentBefore = unit->Commands().size();
        return unit;
    }

    std::vector<BusEvent> pending;
};

// The failure text of the step that an exchange of the update belongs to.
std::uint32_t StepText(std::uint32_t exchange) {
    switch (exchange) {
    case 1:
        return IDS_LOCK_FAILED;
    case 2:
        return IDS_PROTECTION_OFF_FAILED;
    case 3:
        return IDS_PURGE_FAILED;
    case 4:
        return IDS_ADDRESS_FAILED;
    default:
        return IDS_DATA_BLOCK_FAILED;
    }
}

// Identification, pulled out before each of its exchanges (and before the
// reply of each): the write or the read fails, the unit is held open, and
// its removal then gives 40020.
TEST_F(UnplugTest, AtEveryExchangeOfIdentification) {
    for (bool bootloader : {false, true}) {
        for (FaultKind kind : {FaultKind::Unplug, FaultKind::UnplugBeforeReply}) {
            const std::uint32_t exchanges = bootloader ? 2 : 3;
            for (std::uint32_t at = 1; at <= exchanges; ++at) {
                SCOPED_TRACE(std::to_string(at) + (bootloader ? " bootloader" : " normal"));
                ShellFixture::TearDown();
                SetUp();
                OnInitDialog(DIALOG);
                auto unit = MakeUnit();
                unit->inBootloader = bootloader;
                Fault fault;
                fault.kind = kind;
                fault.exchange = at;
                unit->ArmFault(fault);
                emulated_bus::Plug(unit);
                pending.clear();

                EXPECT_EQ(Arrive(UNIT_PATH), 1);
                EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE) << "held";
                EXPECT_EQ(unit->Commands().size(),
                          kind == FaultKind::Unplug ? at - 1 : at) << "nothing after the failure";
                EXPECT_EQ(Hint(), Waiting(IDS_NO_UNIT_FOUND));
                EXPECT_FALSE(UpdateEnabled());
                DeliverNotifications();
                EXPECT_EQ(unitConnection.handle, INVALID_HID_HANDLE);
                EXPECT_EQ(Hint(), Waiting(IDS_CONNECTION_LOST));
                EXPECT_EQ(emulated_bus::OpenHandleCount(), 0u);
            }
        }
    }
}

// The whole update, pulled out before each of its exchanges in turn. Before
// the closing steps: a failure of that step with status -2 and
// ERROR_DEVICE_NOT_CONNECTED; at the closing steps: still a success.
TEST_F(UnplugTest, AtEveryExchangeOfAnUpdate) {
    for (std::uint32_t at = 1; at <= UPDATE_EXCHANGES; ++at) {
        SCOPED_TRACE(at);
        std::size_t sentBefore = 0;
        auto unit = ReadyUnitWithFault(FaultKind::Unplug, at, sentBefore);

        ASSERT_TRUE(OnCommand(IDC_UPDATE));
        ASSERT_TRUE(unit->faults.empty()) << "the unplug was reached";
        EXPECT_EQ(unit->Commands().size() - sentBefore, at - 1) << "nothing after the unplug";
        const auto boxes = recorded_window::Boxes();
        if (at <= UPDATE_EXCHANGES - 2) {
            ASSERT_EQ(boxes.size(), 2u);
            EXPECT_EQ(boxes[1].text, LoadText(StepText(at)) + L"\r\n" +
                                         FormatText(2048, LoadText(IDS_ERROR_CODE_LINE),
                                                    {0xFFFFFFFEu, 1167u}));
            EXPECT_EQ(unitConnection.handle, INVALID_HID_HANDLE);
            EXPECT_FALSE(recorded_window::ProgressWindowExists());
            DeliverNotifications();
            EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_FAILED_HINT));
        } else {
            EXPECT_EQ(boxes.size(), 1u);
            EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
            DeliverNotifications();
            EXPECT_EQ(Hint(), Waiting(IDS_CONNECTION_LOST));
        }
        EXPECT_FALSE(UpdateEnabled());
        EXPECT_EQ(emulated_bus::OpenHandleCount(), 0u);
        if (HasFailure()) {
            break;  // one broken exchange tells enough
        }
    }
}

// The same, with each command reaching the unit and its reply lost as the
// unit goes: the read fails with -3.
TEST_F(UnplugTest, BeforeEveryReplyOfAnUpdate) {
    for (std::uint32_t at = 1; at <= UPDATE_EXCHANGES; ++at) {
        SCOPED_TRACE(at);
        std::size_t sentBefore = 0;
        auto unit = ReadyUnitWithFault(FaultKind::UnplugBeforeReply, at, sentBefore);

        ASSERT_TRUE(OnCommand(IDC_UPDATE));
        EXPECT_EQ(unit->Commands().size() - sentBefore, at) << "nothing after the lost reply";
        const auto boxes = recorded_window::Boxes();
        if (at <= UPDATE_EXCHANGES - 2) {
            ASSERT_EQ(boxes.size(), 2u);
            EXPECT_EQ(boxes[1].text, LoadText(StepText(at)) + L"\r\n" +
                                         FormatText(2048, LoadText(IDS_ERROR_CODE_LINE),
                                                    {0xFFFFFFFDu, 1167u}));
            EXPECT_EQ(unitConnection.handle, INVALID_HID_HANDLE);
        } else {
            EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
        }
        if (HasFailure()) {
            break;
        }
    }
}

}  // namespace
