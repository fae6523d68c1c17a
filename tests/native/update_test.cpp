// The update as the unit and the user see it: the commands on the wire, the
// waits between them, the progress bar, the ESC's flash afterwards, and what
// a story cannot say. Each step's failures, with the box, the hint, the
// reports the unit received and the update after them, are stories
// (tests/stories/stories.json), played here by stories_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "tests/simulated_clock.h"
#include "link/commands.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "tests/native/shell_fixture.h"
#include "update/firmware_image.h"
#include "update/firmware_update.h"
#include "update/sha256.h"

namespace {

constexpr std::uint32_t IMAGE_SIZE = 97'808;
constexpr std::uint32_t IMAGE_BLOCKS = 2'038;
// Exchanges before the first data block: the ESC asked again (the unit's
// status, the ESC's firmware information and identity), then lock,
// protection off, purge, address.
constexpr std::uint32_t CHECK_EXCHANGES = 3;
constexpr std::uint32_t SETUP_EXCHANGES = CHECK_EXCHANGES + 4;

class UpdateTest : public ShellFixture {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        unit = MakeUnit();
        emulated_bus::Plug(unit);
        OnInitDialog(DIALOG);
        ASSERT_TRUE(UpdateEnabled());
        unit->ClearLog();
        recorded_window::Reset();
        simulated_clock::Reset();
        startExchanges = unit->ExchangeCount();
    }

    // Presses Update.
    void PressUpdate() { ASSERT_TRUE(OnCommand(IDC_UPDATE)); }

    std::vector<std::uint8_t> SentCommandCodes() {
        std::vector<std::uint8_t> codes;
        for (const auto& command : unit->Commands()) {
            codes.push_back(command.at(1));
        }
        return codes;
    }

    FirmwareImage Image() { return LocateFirmwareImage(); }

    // The failure box's text: the step's text, and the code line unless the
    // status is LINK_NO_UNIT.
    static std::wstring FailureMessage(std::uint32_t textId, std::int32_t status,
                                       std::uint32_t lastError) {
        std::wstring message = LoadText(textId);
        if (status != LINK_NO_UNIT) {
            message += L"\r\n" + FormatText(2048, LoadText(IDS_ERROR_CODE_LINE),
                                           {static_cast<std::uint32_t>(status), lastError});
        }
        return message;
    }

    // Whether the ESC's flash holds the image and nothing more: the image from
    // address 0, every byte after it erased.
    bool FlashHoldsImageAlone() {
        const FirmwareImage image = Image();
        const auto& flash = unit->esc.flash;
        return image.size <= flash.size() &&
               std::equal(image.data, image.data + image.size, flash.begin()) &&
               std::all_of(flash.begin() + image.size, flash.end(),
                           [](std::uint8_t b) { return b == 0xFF; });
    }

    // The same unit pulled out (unless a fault has done that) and plugged in
    // again, its ESC's flash as the last update left it; the window handles
    // both events and must find the unit ready.
    void Replug() {
        emulated_bus::Unplug(unit);
        Remove(UNIT_PATH);
        emulated_bus::Plug(unit);
        Arrive(UNIT_PATH);
        ASSERT_TRUE(UpdateEnabled()) << "not ready after it was plugged in again; the hint reads "
                                     << ::testing::PrintToString(Hint());
    }

    void ExpectFailedState() {
        EXPECT_EQ(unitConnection.handle, INVALID_HID_HANDLE);
        EXPECT_FALSE(UpdateEnabled());
        EXPECT_EQ(recorded_window::ItemText(IDC_VERSION_ESC), L"0.0.0");
        EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_FAILED_HINT));
    }

    std::shared_ptr<EmulatedUnit> unit;
    std::uint32_t startExchanges = 0;
};

// The whole update of the 97,808-byte image: the flash holds the image and
// nothing more, 2,038 blocks in order, the waits as the ESC needs them, the
// bar's course, and the window afterwards.
TEST_F(UpdateTest, WritesTheWholeImageWithItsWaits) {
    const auto started = std::chrono::steady_clock::now();
    PressUpdate();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    RecordProperty("real_ms", static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));

    const FirmwareImage image = Image();
    ASSERT_EQ(image.size, IMAGE_SIZE);
    EXPECT_TRUE(std::equal(image.data, image.data + IMAGE_SIZE, unit->esc.flash.begin()));
    EXPECT_TRUE(std::all_of(unit->esc.flash.begin() + IMAGE_SIZE, unit->esc.flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }))
        << "the last block's fill must not reach the flash";
    ASSERT_EQ(unit->blockLengths.size(), IMAGE_BLOCKS);
    EXPECT_EQ(std::count(unit->blockLengths.begin(), unit->blockLengths.end(), 48u), 2037);
    EXPECT_EQ(unit->blockLengths.back(), 32u);

    // Command order: the ESC asked again as identification asks it, then
    // lock, protection off, purge, address, the blocks, then protection on
    // and lock off.
    const auto codes = SentCommandCodes();
    ASSERT_EQ(codes.size(), SETUP_EXCHANGES + IMAGE_BLOCKS + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(codes.begin(), codes.begin() + SETUP_EXCHANGES),
              (std::vector<std::uint8_t>{CMD_GET_UNIT_STATUS, CMD_READ_ESC_FIRMWARE_INFO,
                                         CMD_GET_ESC_IDENTITY, CMD_SYSTEM_LOCK, CMD_WRITE_PROTECT,
                                         CMD_PURGE, CMD_SET_ADDRESS}));
    EXPECT_TRUE(std::all_of(codes.begin() + SETUP_EXCHANGES, codes.end() - 2,
                            [](std::uint8_t c) { return c == CMD_WRITE_DATA; }));
    EXPECT_EQ(codes[codes.size() - 2], CMD_WRITE_PROTECT);
    EXPECT_EQ(codes.back(), CMD_SYSTEM_LOCK);
    const auto commands = unit->Commands();
    const std::size_t lock = CHECK_EXCHANGES;
    const std::size_t lastBlock = SETUP_EXCHANGES + IMAGE_BLOCKS - 1;
    EXPECT_EQ(commands[lock + 1].at(3), 0) << "protection off";
    EXPECT_EQ(commands[commands.size() - 2].at(3), 1) << "protection on";
    EXPECT_EQ(commands.back().at(3), 0) << "lock reset";
    EXPECT_EQ(commands[lastBlock].at(2), 32) << "last block: 8 words";
    EXPECT_EQ(Bytes(commands[lastBlock].begin() + 36, commands[lastBlock].end()), Bytes(24, 0))
        << "nothing of the fill goes out beyond the 32 data bytes";

    // Waits: the log is command, reply, command, reply, ...; nothing is
    // waited between the ESC's last answer and the lock.
    const auto& log = unit->Log();
    ASSERT_EQ(log.size(), 2 * codes.size());
    EXPECT_EQ(log[2 * lock].requestedAtUs, log[2 * lock - 1].completedAtUs)
        << "from the ESC's identity to the lock";
    EXPECT_GE(log[2 * lock + 5].requestedAtUs - log[2 * lock + 4].completedAtUs, 1'000'000u)
        << "purge read";
    EXPECT_EQ(log[2 * SETUP_EXCHANGES].requestedAtUs - log[2 * lock + 1].completedAtUs, 5'080'000u)
        << "from the lock's reply to the first block";
    for (std::uint32_t block = 0; block + 1 < IMAGE_BLOCKS; ++block) {
        const std::size_t reply = 2 * (SETUP_EXCHANGES + block) + 1;
        ASSERT_EQ(unit->HostWaitBetween(reply, reply + 1), 20'000u) << "after block " << block;
    }
    std::vector<std::uint32_t> expectedWaits = {20, 20, 1000, 4000, 20, 20};
    expectedWaits.insert(expectedWaits.end(), IMAGE_BLOCKS, 20);
    EXPECT_EQ(simulated_clock::Waits(), expectedWaits);
    // The time the host let pass between reports from the lock on, as the
    // unit saw it: the 45,840 ms that the ESC needs, and nothing on top.
    std::uint64_t waitedUs = 0;
    for (std::size_t entry = 2 * lock; entry + 1 < log.size(); ++entry) {
        waitedUs += unit->HostWaitBetween(entry, entry + 1);
    }
    EXPECT_EQ(waitedUs, 45'840'000u);

    // The bar: 0 at the start, 1 at block 21, 50 at block 1,019, 100 at the end.
    const auto& positions = recorded_window::ProgressPositions();
    ASSERT_EQ(positions.size(), IMAGE_BLOCKS + 1);
    EXPECT_EQ(positions[0], 0u);
    EXPECT_EQ(positions[20], 0u);
    EXPECT_EQ(positions[21], 1u);
    EXPECT_EQ(positions[1018], 49u);
    EXPECT_EQ(positions[1019], 50u);
    EXPECT_EQ(positions[IMAGE_BLOCKS - 1], 99u);
    EXPECT_EQ(positions[IMAGE_BLOCKS], 100u);
    EXPECT_FALSE(recorded_window::ProgressWindowExists());

    // Updated: version 3.0 recorded and shown, Update off, the unit open.
    EXPECT_EQ(EscFirmwareVersion(unitConnection), 0x0300);
    EXPECT_EQ(recorded_window::ItemText(IDC_VERSION_ESC), L"3.0");
    EXPECT_FALSE(UpdateEnabled());
    EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
    EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
    EXPECT_TRUE(recorded_window::Boxes().size() == 1u) << "only the confirmation";
    EXPECT_EQ(unit->esc.firmwareVersion, 0x0300);
    EXPECT_TRUE(unit->esc.writeProtected);
    EXPECT_FALSE(unit->systemLock);
}

// The confirmation and the progress window as the user sees them.
TEST_F(UpdateTest, ConfirmationAndProgressWindow) {
    PressUpdate();
    const auto boxes = recorded_window::Boxes();
    ASSERT_GE(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"important note");
    EXPECT_EQ(boxes[0].text, LoadText(IDS_CONFIRM_UPDATE));
    EXPECT_EQ(boxes[0].value, BOX_OK_CANCEL | BOX_ICON_EXCLAMATION);

    const auto& operations = recorded_window::Operations();
    auto progress = std::find_if(operations.begin(), operations.end(),
                                 [](const WindowOperation& o) { return o.kind == "progress"; });
    ASSERT_NE(progress, operations.end());
    EXPECT_EQ(progress->text, L"Firmware update in progress, please wait...");
    // Main window 100,120 to 560,500: centred, 400 x 50, owned by the main window.
    EXPECT_EQ(progress->caption, L"130,285,400x50 owner " + std::to_wstring(DIALOG));
    // Bar at 0, then main window and progress window to the top.
    EXPECT_EQ((progress + 1)->kind, "position");
    EXPECT_EQ((progress + 2)->kind, "top");
    EXPECT_EQ((progress + 2)->value, DIALOG);
    EXPECT_EQ((progress + 3)->value, recorded_window::PROGRESS_WINDOW);
}

// The foreground handling runs once, at the first block where one of the
// updater's windows is in front; while another program is in front it is
// tried again after every block.
TEST_F(UpdateTest, ForegroundHandlingWaitsForTheUpdaterToBeInFront) {
    // Another program in front until 5 blocks are written (positions 0 to 5).
    recorded_window::SetForegroundSchedule(
        [](std::size_t positions) { return positions <= 5 ? WindowHandle{0x9999} : DIALOG; });
    PressUpdate();
    std::vector<std::string> kinds;
    std::size_t positionsBeforeShow = 0;
    for (const auto& operation : recorded_window::Operations()) {
        if (operation.kind == "position" && kinds.size() < 4) ++positionsBeforeShow;
        if (operation.kind == "top" || operation.kind == "show") kinds.push_back(operation.kind);
    }
    // Two at the window's set-up, then once, after block 5: top, top, show, show.
    EXPECT_EQ(kinds, (std::vector<std::string>{"top", "top", "top", "top", "show", "show"}));
    EXPECT_EQ(positionsBeforeShow, 6u) << "the bar at 0 and after blocks 1 to 5";
}

TEST_F(UpdateTest, ForegroundHandlingNeverRunsWhileAnotherProgramIsInFront) {
    recorded_window::SetForeground(0x9999);
    PressUpdate();
    for (const auto& operation : recorded_window::Operations()) {
        EXPECT_NE(operation.kind, "show");
    }
    EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
}

Fault MakeFault(FaultKind kind, int command, std::uint32_t occurrence = 1,
                std::uint32_t errorCode = 0,
                std::uint32_t lastError = PLATFORM_ERROR_GEN_FAILURE) {
    Fault fault;
    fault.kind = kind;
    fault.command = command;
    fault.occurrence = occurrence;
    fault.errorCode = errorCode;
    fault.lastError = lastError;
    return fault;
}

// The code line's format, as the failure box shows it.
TEST_F(UpdateTest, CodeLineShowsStatusAndLastErrorInHex) {
    unit->ArmFault(
        MakeFault(FaultKind::WriteFails, CMD_WRITE_DATA, 3, 0, PLATFORM_ERROR_GEN_FAILURE));
    PressUpdate();
    const auto boxes = recorded_window::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text,
              L"Error when writing last firmware data block. Update cancelled.\r\n"
              L"The system shows following errorcode: 0xfffffffe-0x0000001f");
}

// An ESC that takes longer than the purge's limit (one of 59 s is a story)
// fails the purge with -3 and ERROR_TIMEOUT, shown after the limit and the
// 4000 ms pause; plugged in again, with the late reply never coming, the
// same unit is then updated. Catches a limit other than 60 s, and a late
// purge reply taken for the reply of the next update's first command.
TEST_F(UpdateTest, PurgeBeyondItsLimitFailsAndTheNextUpdateGoesThrough) {
    unit->purgeDurationMs = 75'000;
    std::uint64_t boxShownAtUs = 0;
    recorded_window::QueueBoxAnswer({ANSWER_OK, nullptr});
    recorded_window::QueueBoxAnswer({ANSWER_OK, [&] { boxShownAtUs = MonotonicMicroseconds(); }});
    PressUpdate();
    const auto boxes = recorded_window::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text,
              FailureMessage(IDS_PURGE_FAILED, LINK_READ_FAILED, PLATFORM_ERROR_TIMEOUT));
    const auto& log = unit->Log();
    const std::size_t purge = 2 * (CHECK_EXCHANGES + 2);
    ASSERT_GT(log.size(), purge);
    ASSERT_EQ(log[purge].bytes.at(1), CMD_PURGE);
    EXPECT_EQ(boxShownAtUs - log[purge].completedAtUs, (1000 + 60'000 + 4000) * 1000u)
        << "the pause before the read, the reply's limit, the pause after the purge";

    unit->purgeDurationMs = 700;
    ASSERT_NO_FATAL_FAILURE(Replug());
    PressUpdate();
    EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
    EXPECT_TRUE(FlashHoldsImageAlone());
}

// A failed purge still waits its 4000 ms before the failure is shown.
TEST_F(UpdateTest, FailedPurgeWaitsBeforeReporting) {
    unit->ArmFault(MakeFault(FaultKind::UnitError, CMD_PURGE, 1, 7));
    PressUpdate();
    EXPECT_EQ(simulated_clock::Waits(), (std::vector<std::uint32_t>{20, 20, 1000, 4000}));
    EXPECT_EQ(recorded_window::Boxes().size(), 2u);
}

// Update pressed with no unit open: 40022 alone, no code line.
TEST_F(UpdateTest, NoUnitAtTheStart) {
    ResetConnection();
    PressUpdate();
    const auto boxes = recorded_window::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, LoadText(IDS_NO_UNIT_AT_UPDATE));
    EXPECT_EQ(boxes[0].caption, L"Update failed!");
    ExpectFailedState();
    EXPECT_EQ(unit->ExchangeCount(), startExchanges);
}

// Pulled out right after the last block: the closing steps achieve nothing,
// and the update still counts as done.
TEST_F(UpdateTest, UnplugAfterTheLastBlockStillSucceeds) {
    Fault fault;
    fault.kind = FaultKind::Unplug;
    fault.exchange = startExchanges + SETUP_EXCHANGES + IMAGE_BLOCKS + 1;
    unit->ArmFault(fault);
    PressUpdate();
    EXPECT_TRUE(unit->faults.empty());
    EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
    EXPECT_EQ(EscFirmwareVersion(unitConnection), 0x0300);
    EXPECT_EQ(recorded_window::Boxes().size(), 1u);
}

// Without a progress window the blocks are written the same way, and the
// main window is still brought to the top, once.
TEST_F(UpdateTest, BlocksAreWrittenWithoutAProgressWindow) {
    recorded_window::FailProgressWindow(true);
    PressUpdate();
    const FirmwareImage image = Image();
    EXPECT_TRUE(std::equal(image.data, image.data + image.size, unit->esc.flash.begin()));
    EXPECT_TRUE(recorded_window::ProgressPositions().empty());
    std::vector<WindowHandle> raised;
    for (const auto& operation : recorded_window::Operations()) {
        if (operation.kind == "top") raised.push_back(static_cast<WindowHandle>(operation.value));
    }
    EXPECT_EQ(raised, std::vector<WindowHandle>{DIALOG});
    EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
}

// While the confirmation is open the unit is swapped for one whose ESC does
// not answer identification: that unit stays open, not ready. OK sends it
// nothing (its ESC keeps its firmware) and ends as an update without a unit.
TEST_F(UpdateTest, UnitNotReadyAfterTheConfirmationIsSentNothing) {
    const std::wstring otherPath = UNIT_PATH + L"-other";
    const auto other = MakeUnit(otherPath);
    other->ArmFault(MakeFault(FaultKind::UnitError, CMD_GET_ESC_IDENTITY, 1, 7));
    const std::vector<std::uint8_t> flashBefore = other->esc.flash;
    recorded_window::QueueBoxAnswer({ANSWER_OK, [&] {
        emulated_bus::Unplug(unit);
        Remove(UNIT_PATH);
        emulated_bus::Plug(other);
        Arrive(otherPath);
        ASSERT_NE(unitConnection.handle, INVALID_HID_HANDLE) << "the unidentified unit stays open";
        ASSERT_FALSE(UpdateEnabled());
    }});
    recorded_window::QueueBoxAnswer({ANSWER_OK, nullptr});
    PressUpdate();
    std::vector<std::uint8_t> codes;
    for (const auto& command : other->Commands()) {
        codes.push_back(command.at(1));
    }
    EXPECT_EQ(codes, (std::vector<std::uint8_t>{CMD_GET_UNIT_STATUS, CMD_READ_ESC_FIRMWARE_INFO,
                                                CMD_GET_ESC_IDENTITY}))
        << "identification's queries and nothing of the update";
    EXPECT_EQ(other->esc.flash, flashBefore);
    const auto boxes = recorded_window::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, FailureMessage(IDS_NO_UNIT_AT_UPDATE, LINK_NO_UNIT, 0));
    ExpectFailedState();
}

// While the failure box is open a unit arrives and is opened again with
// Update enabled; the failure text still lands in the hint box afterwards.
TEST_F(UpdateTest, ArrivalDuringTheFailureBoxReopensTheUnit) {
    unit->ArmFault(MakeFault(FaultKind::UnitError, CMD_PURGE, 1, 9));
    recorded_window::QueueBoxAnswer({ANSWER_OK, nullptr});
    recorded_window::QueueBoxAnswer({ANSWER_OK, [&] { Arrive(UNIT_PATH); }});
    PressUpdate();
    EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
    EXPECT_TRUE(UpdateEnabled());
    EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_FAILED_HINT));
}

// After a success the unit stays open: an arrival is ignored, its removal
// shows 40020.
TEST_F(UpdateTest, AfterSuccessArrivalIsIgnoredAndRemovalShowsConnectionLost) {
    PressUpdate();
    const std::size_t before = recorded_window::Operations().size();
    EXPECT_EQ(Arrive(UNIT_PATH), 1);
    EXPECT_EQ(recorded_window::Operations().size(), before);
    emulated_bus::Unplug(unit);
    EXPECT_EQ(Remove(UNIT_PATH), 1);
    EXPECT_EQ(Hint(), Waiting(IDS_CONNECTION_LOST));
}

// A build without a usable image refuses right after the unit test: its own
// box, nothing sent, no reset, the hint box as it was.
TEST_F(UpdateTest, BuildWithoutUsableImageRefuses) {
    const std::uint8_t odd[40] = {};
    const struct {
        const std::uint8_t* data;
        std::uint32_t size;
    } images[] = {{nullptr, 0}, {odd, 0}, {odd, 40}};
    for (const auto& image : images) {
        SCOPED_TRACE(image.size);
        recorded_window::Reset();
        SetNativeFirmwareImage(image.data, image.size);
        const std::wstring hint = Hint();
        PressUpdate();
        const auto boxes = recorded_window::Boxes();
        EXPECT_EQ(boxes.size(), 1u);
        if (boxes.size() != 1u) {
            continue;  // the next image is still tried
        }
        EXPECT_EQ(boxes[0].caption, L"Update failed!");
        EXPECT_EQ(boxes[0].text, LoadText(IDS_NO_FIRMWARE));
        EXPECT_EQ(unit->ExchangeCount(), startExchanges);
        EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
        EXPECT_EQ(Hint(), hint);
    }
}

// An image whose size is a multiple of 48 has no short block; its last full
// block brings the bar to 100.
TEST_F(UpdateTest, ImageOfWholeBlocksHasNoShortBlock) {
    std::vector<std::uint8_t> image(48 * 5);
    std::iota(image.begin(), image.end(), std::uint8_t{1});
    SetNativeFirmwareImage(image.data(), static_cast<std::uint32_t>(image.size()));
    const Sha256Digest digest = Sha256(image.data(), image.size());
    SetNativeFirmwareDigest(digest.data());
    PressUpdate();
    EXPECT_EQ(unit->blockLengths, std::vector<std::uint32_t>(5, 48));
    EXPECT_EQ(recorded_window::ProgressPositions(),
              (std::vector<std::uint32_t>{0, 20, 40, 60, 80, 100}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), unit->esc.flash.begin()));
}

// The bar's arithmetic cannot overflow, whatever the image's size.
TEST(ProgressPercent, NeverOverflows) {
    EXPECT_EQ(ProgressPercent(0xFFFFFFF0u, 0xFFFFFFF0u), 100u);
    EXPECT_EQ(ProgressPercent(0x7FFFFFF8u, 0xFFFFFFF0u), 50u);
    EXPECT_EQ(ProgressPercent(48, IMAGE_SIZE), 0u);
    EXPECT_EQ(ProgressPercent(21 * 48, IMAGE_SIZE), 1u);
}

}  // namespace
