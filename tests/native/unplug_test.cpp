// The unit pulled out at every single exchange in turn: of identification,
// and of a whole update (2,044 exchanges). Whatever the moment, no crash, the
// right failure text and status, the record reset after a failed update, and
// nothing sent after the failure. The removal notification is handled after
// the update has returned, as on Windows, where the thread pumps no messages
// while it writes.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/simulated_clock.h"
#include "link/commands.h"
#include "platform/hid.h"
#include "tests/native/shell_fixture.h"

namespace {

// The ESC asked again (3), the set-up steps (4), the blocks, the closing
// steps (2).
constexpr std::uint32_t UPDATE_EXCHANGES = 3 + 4 + 2038 + 2;

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
    // received before the update. `readyBefore` tells whether Update was on.
    std::shared_ptr<EmulatedUnit> ReadyUnitWithFault(FaultKind kind, std::uint32_t at,
                                                     std::size_t& sentBefore) {
        ShellFixture::TearDown();
        SetUp();
        auto unit = MakeUnit();
        emulated_bus::Plug(unit);
        OnInitDialog(DIALOG);
        readyBefore = UpdateEnabled();
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
    // Whether the last ReadyUnitWithFault left Update enabled.
    bool readyBefore = false;
};

// The failure text of the step that an exchange of the update belongs to.
std::uint32_t StepText(std::uint32_t exchange) {
    switch (exchange) {
    case 1:
    case 2:
    case 3:
        return IDS_ESC_CHECK_FAILED;
    case 4:
        return IDS_LOCK_FAILED;
    case 5:
        return IDS_PROTECTION_OFF_FAILED;
    case 6:
        return IDS_PURGE_FAILED;
    case 7:
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
                EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE)
                    << "held open after the failed identification";
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

// What went wrong at which exchange of a loop over thousands of them. Every
// failing exchange is kept; at the end each distinct fault is reported once,
// with the exchanges it showed at as ranges ("5-2042"), so that a fault at
// many moments is seen whole and in a few lines.
class Mismatches {
public:
    void Check(std::uint32_t at, bool holds, const std::string& what) {
        if (!holds) {
            exchanges_[what].push_back(at);
        }
    }

    void Report() const {
        for (const auto& [what, exchanges] : exchanges_) {
            ADD_FAILURE() << what << "\n  at " << exchanges.size() << " exchange(s): "
                          << Ranges(exchanges);
        }
    }

private:
    static std::string Ranges(const std::vector<std::uint32_t>& exchanges) {
        std::string text;
        for (std::size_t i = 0; i < exchanges.size();) {
            std::size_t j = i;
            while (j + 1 < exchanges.size() && exchanges[j + 1] == exchanges[j] + 1) {
                ++j;
            }
            text += (text.empty() ? "" : ", ") + std::to_string(exchanges[i]);
            if (j > i) {
                text += "-" + std::to_string(exchanges[j]);
            }
            i = j + 1;
        }
        return text;
    }

    std::map<std::string, std::vector<std::uint32_t>> exchanges_;
};

// A value as a failure message shows it.
template <typename T>
std::string Shown(const T& value) {
    return ::testing::PrintToString(value);
}

// The failure box of the step that exchange `at` belongs to, with `status`
// and the last error of a unit that is gone, and the unit closed after it.
void CheckFailureShown(Mismatches& mismatches, std::uint32_t at,
                       const std::vector<WindowOperation>& boxes, std::int32_t status) {
    const std::wstring expected =
        LoadText(StepText(at)) + L"\r\n" +
        FormatText(2048, LoadText(IDS_ERROR_CODE_LINE),
                   {static_cast<std::uint32_t>(status), PLATFORM_ERROR_DEVICE_NOT_CONNECTED});
    mismatches.Check(at, boxes.size() == 2u,
                     "boxes: " + std::to_string(boxes.size()) + " instead of 2");
    if (boxes.size() == 2u) {
        mismatches.Check(at, boxes[1].text == expected,
                         "failure box " + Shown(boxes[1].text) + "\n  instead of " + Shown(expected));
    }
    mismatches.Check(at, unitConnection.handle == INVALID_HID_HANDLE,
                     "the unit is still open after the failure");
}

// A moment at which the unit is pulled out, at each exchange of an update.
struct UnplugMoment {
    const char* name;
    FaultKind fault;
    // The status of the step that the unit's going fails.
    std::int32_t status;
    // Whether the command of that exchange reached the unit.
    bool commandReceived;
};

void PrintTo(const UnplugMoment& moment, std::ostream* out) { *out << moment.name; }

class UnplugDuringUpdate : public UnplugTest, public ::testing::WithParamInterface<UnplugMoment> {};

// The whole update, with the unit pulled out at each of its exchanges in
// turn: before the command is written (the write fails, -2), or once the
// command has reached the unit and before its reply (the read fails, -3).
// Before the closing steps: a failure of that step with that status and
// ERROR_DEVICE_NOT_CONNECTED, nothing sent after it; at the closing steps:
// still a success. Catches an unplug, or a lost reply, at any one moment that
// crashes, is taken for an answer, sends on, shows the wrong step or code, or
// leaves the unit open.
TEST_P(UnplugDuringUpdate, AtEveryExchange) {
    const UnplugMoment& moment = GetParam();
    Mismatches mismatches;
    for (std::uint32_t at = 1; at <= UPDATE_EXCHANGES; ++at) {
        std::size_t sentBefore = 0;
        auto unit = ReadyUnitWithFault(moment.fault, at, sentBefore);
        mismatches.Check(at, readyBefore, "the unit was not ready before the update");

        mismatches.Check(at, OnCommand(IDC_UPDATE), "Update was not handled");
        mismatches.Check(at, unit->faults.empty(), "the unplug was not reached");
        const std::size_t sent = unit->Commands().size() - sentBefore;
        const std::size_t expectedSent = moment.commandReceived ? at : at - 1;
        mismatches.Check(at, sent == expectedSent,
                         "commands after the unplug: " +
                             std::to_string(static_cast<long long>(sent) -
                                            static_cast<long long>(expectedSent)));
        const auto boxes = recorded_window::Boxes();
        if (at <= UPDATE_EXCHANGES - 2) {
            CheckFailureShown(mismatches, at, boxes, moment.status);
            mismatches.Check(at, !recorded_window::ProgressWindowExists(),
                             "the progress window is still there");
            DeliverNotifications();
            mismatches.Check(at, Hint() == LoadText(IDS_UPDATE_FAILED_HINT),
                             "hint after the removal " + Shown(Hint()));
        } else {
            mismatches.Check(at, boxes.size() == 1u,
                             "boxes: " + std::to_string(boxes.size()) + " instead of 1");
            mismatches.Check(at, Hint() == LoadText(IDS_UPDATE_SUCCEEDED),
                             "hint after the update " + Shown(Hint()));
            DeliverNotifications();
            mismatches.Check(at, Hint() == Waiting(IDS_CONNECTION_LOST),
                             "hint after the removal " + Shown(Hint()));
        }
        mismatches.Check(at, !UpdateEnabled(), "Update is still enabled");
        mismatches.Check(at, emulated_bus::OpenHandleCount() == 0u,
                         "handles left open: " + std::to_string(emulated_bus::OpenHandleCount()));
    }
    mismatches.Report();
}

INSTANTIATE_TEST_SUITE_P(
    PulledOut, UnplugDuringUpdate,
    ::testing::Values(UnplugMoment{"BeforeTheCommand", FaultKind::Unplug, LINK_WRITE_FAILED, false},
                      UnplugMoment{"BeforeTheReply", FaultKind::UnplugBeforeReply,
                                   LINK_READ_FAILED, true}),
    [](const ::testing::TestParamInfo<UnplugMoment>& info) {
        return std::string(info.param.name);
    });

}  // namespace
