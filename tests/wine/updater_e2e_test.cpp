// The updater's real dialog, driven under Wine as a person would drive it,
// with the emulated unit behind it: plugging and unplugging, the Update
// button, every message box, the progress window and its bar, and the ESC's
// flash afterwards. The waits run 50 times faster than real, except in the
// scenario that measures them.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "emulator/demo_unit.h"
#include "emulator/win32/scaled_clock.h"
#include "emulator/win32/updater_session.h"
#include "link/report.h"
#include "res/resource.h"
#include "tests/wine/expected_texts.h"
#include "update/firmware_image.h"

namespace session = updater_session;

namespace {

using expected_texts::German;
using expected_texts::Text;

std::wstring Waiting(unsigned statusId) {
    return Text(statusId) + L"\r\n\r\n" + Text(IDS_INSTRUCTIONS);
}

std::wstring ScreenshotFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ORVANTO_SCREENSHOTS", folder, MAX_PATH) == 0) {
        return L"";
    }
    CreateDirectoryW(folder, nullptr);
    return folder;
}

// The time an update takes at the test's clock scale, with room to spare.
constexpr DWORD UPDATE_LIMIT_MS = 60000;
constexpr std::uint32_t TEST_CLOCK_SCALE = 50;
constexpr std::uint32_t IMAGE_BLOCKS = 2038;

class Updater : public ::testing::Test {
protected:
    void SetUp() override {
        SetClockScale(TEST_CLOCK_SCALE);
        ASSERT_TRUE(session::Start(ScreenshotFolder())) << "the main window did not appear";
    }

    void TearDown() override { EXPECT_EQ(session::Close(), 0); }

    // Plugs a unit in and waits until the window has taken it up.
    void Plug(const DemoUnitSettings& settings = DemoUnitSettings{}) {
        session::OnDialogThread([&] { PlugDemoUnit(settings); });
        session::WaitFor([] { return session::ItemText(IDC_VERSION_UNIT) != L"0.0.0" ||
                                     session::ItemText(IDC_HINT).find(Text(IDS_NO_UNIT_FOUND)) != 0; });
    }

    void PlugAndWaitForReady(const DemoUnitSettings& settings = DemoUnitSettings{}) {
        session::OnDialogThread([&] { PlugDemoUnit(settings); });
        ASSERT_TRUE(session::WaitFor([] { return session::ItemEnabled(IDC_UPDATE); }))
            << "the unit did not become ready";
    }

    std::uint32_t Exchanges() {
        std::uint32_t count = 0;
        session::OnDialogThread([&] { count = DemoUnit() ? DemoUnit()->ExchangeCount() : 0; });
        return count;
    }

    void Arm(DemoFaultKind kind, DemoFaultStep step, std::uint32_t block, std::uint32_t code) {
        bool armed = false;
        session::OnDialogThread([&] { armed = ArmDemoFault(kind, step, block, code); });
        ASSERT_TRUE(armed);
    }

    // Presses Update and waits for the whole run.
    void PressUpdate() { ASSERT_TRUE(session::Press(IDC_UPDATE, UPDATE_LIMIT_MS)); }

    // The window as painted now: paint it through first, on its own thread.
    void Shot(const std::wstring& name) {
        session::OnDialogThread([] {
            RedrawWindow(session::MainWindow(), nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        });
        session::Screenshot(session::MainWindow(), name);
    }
};

// No unit: the waiting form with 40017, Update off, empty rows.
TEST_F(Updater, StartsWithoutUnit) {
    EXPECT_EQ(session::Title(), L"VESTORA ORVANTO FW Updater 3.0 ");
    EXPECT_EQ(session::ItemText(IDC_HINT), Waiting(IDS_NO_UNIT_FOUND));
    EXPECT_FALSE(session::ItemEnabled(IDC_UPDATE));
    EXPECT_EQ(session::ItemText(IDC_VERSION_ESC), L"0.0.0");
    Shot(L"e2e-no-unit");
}

// A LINK-BOX with an accepted ESC is plugged in: Ready.
TEST_F(Updater, LinkBoxWithAcceptedEscIsReady) {
    PlugAndWaitForReady();
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_READY));
    EXPECT_EQ(session::ItemText(IDC_LABEL_UNIT), L"LINK-BOX");
    EXPECT_EQ(session::ItemText(IDC_VERSION_UNIT), L"1.4");
    EXPECT_EQ(session::ItemText(IDC_VERSION_BOOTLOADER), L"1.2.3");
    EXPECT_EQ(session::ItemText(IDC_VERSION_ESC), L"2.5");
    EXPECT_TRUE(session::ItemEnabled(IDC_VERSION_ESC));
    Shot(L"e2e-ready");
}

// The whole update: the confirmation, the progress window as made and its
// bar, the rows afterwards, and the image in the ESC's flash.
TEST_F(Updater, UpdatesToSuccess) {
    PlugAndWaitForReady();
    session::OnDialogThread([] {
        DemoUnit()->onReport = [](const std::vector<std::uint8_t>& report) {
            static int blocks = 0;
            if (report.at(1) == CMD_WRITE_DATA && ++blocks == 1000) {
                session::Screenshot(FindWindowW(L"msctls_progress32", nullptr), L"e2e-progress");
                session::Screenshot(session::MainWindow(), L"e2e-updating");
            }
        };
    });
    session::Answer(IDOK, L"e2e-box-confirmation");
    PressUpdate();

    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, Text(IDS_CONFIRM_CAPTION));
    EXPECT_EQ(boxes[0].text, Text(IDS_CONFIRM_UPDATE));
    EXPECT_EQ(boxes[0].buttons, (std::vector<int>{IDOK, IDCANCEL}));
    EXPECT_EQ(boxes[0].icon, 32515);
    EXPECT_EQ(boxes[0].owner, session::MainWindow());

    const SeenProgress progress = session::Progress();
    ASSERT_TRUE(progress.created);
    EXPECT_EQ(progress.title, Text(IDS_PROGRESS_TITLE));
    EXPECT_EQ(progress.style, 0x10000001u);
    EXPECT_EQ(progress.exStyle, 0u);
    EXPECT_EQ(progress.width, 400);
    EXPECT_EQ(progress.height, 50);
    EXPECT_EQ(progress.owner, session::MainWindow());
    RECT main{};
    GetWindowRect(session::MainWindow(), &main);
    EXPECT_EQ(progress.x, main.left + ((main.right - main.left) >> 1) - 200);
    EXPECT_EQ(progress.y, main.top + ((main.bottom - main.top) >> 1) - 25);
    ASSERT_EQ(progress.positions.size(), IMAGE_BLOCKS + 1);
    EXPECT_EQ(progress.positions.front(), 0u);
    EXPECT_EQ(progress.positions[21], 1u);
    EXPECT_EQ(progress.positions[1019], 50u);
    EXPECT_EQ(progress.positions.back(), 100u);
    EXPECT_EQ(FindWindowW(L"msctls_progress32", nullptr), nullptr) << "the progress window is gone";

    EXPECT_EQ(session::ItemText(IDC_VERSION_ESC), L"3.0");
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_UPDATE_SUCCEEDED));
    EXPECT_FALSE(session::ItemEnabled(IDC_UPDATE));
    Shot(L"e2e-updated");

    bool flashHoldsImage = false;
    session::OnDialogThread([&] {
        const FirmwareImage image = LocateFirmwareImage();
        const auto& flash = DemoUnit()->esc.flash;
        flashHoldsImage = image.size == 97808 &&
                          std::equal(image.data, image.data + image.size, flash.begin()) &&
                          std::all_of(flash.begin() + image.size, flash.end(),
                                      [](std::uint8_t b) { return b == 0xFF; });
    });
    EXPECT_TRUE(flashHoldsImage);
}

// Cancel at the confirmation, and No at the version question of an ESC at
// 3.0: nothing is sent, nothing changes.
TEST_F(Updater, DecliningSendsNothing) {
    DemoUnitSettings atThree;
    atThree.escFirmwareVersion = 0x0300;
    PlugAndWaitForReady(atThree);
    const std::uint32_t before = Exchanges();

    session::Answer(IDCANCEL);
    PressUpdate();
    session::Answer(IDOK);
    session::Answer(IDNO, L"e2e-box-version-question");
    PressUpdate();

    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].caption, Text(IDS_VERSION_QUESTION_CAPTION));
    EXPECT_EQ(boxes[2].text, Text(IDS_VERSION_QUESTION));
    EXPECT_EQ(boxes[2].buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(boxes[2].icon, 32515);
    EXPECT_EQ(Exchanges(), before);
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_READY));
    EXPECT_TRUE(session::ItemEnabled(IDC_UPDATE));
    EXPECT_EQ(session::ItemText(IDC_VERSION_ESC), L"3.0");
}

// The unit reports an error at the purge: the error box with the step's text
// and code line, then 40030.
TEST_F(Updater, FailureAtThePurge) {
    PlugAndWaitForReady();
    Arm(DemoFaultKind::UnitError, DemoFaultStep::Purge, 0, 0xABCD);
    session::Answer(IDOK);
    session::Answer(IDOK, L"e2e-box-failure");
    PressUpdate();

    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].caption, Text(IDS_UPDATE_FAILED_CAPTION));
    const std::wstring start = Text(IDS_PURGE_FAILED) + L"\r\n" +
                               std::wstring(Text(IDS_ERROR_CODE_LINE)).substr(0, Text(IDS_ERROR_CODE_LINE).find(L"0x")) +
                               L"0x0000abcd-0x";
    EXPECT_EQ(boxes[1].text.substr(0, start.size()), start);
    EXPECT_EQ(boxes[1].text.size(), start.size() + 8);
    EXPECT_EQ(boxes[1].buttons, std::vector<int>{IDOK});
    EXPECT_EQ(boxes[1].icon, 32513);
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_UPDATE_FAILED_HINT));
    EXPECT_FALSE(session::ItemEnabled(IDC_UPDATE));
    EXPECT_EQ(session::ItemText(IDC_VERSION_ESC), L"0.0.0");
    Shot(L"e2e-failed");
}

// A data block's reply never comes: after the time limit the update fails
// with -3 and ERROR_TIMEOUT, the progress window already gone.
TEST_F(Updater, FailureAtADataBlock) {
    PlugAndWaitForReady();
    Arm(DemoFaultKind::NoReply, DemoFaultStep::DataBlock, 10, 0);
    session::Answer(IDOK);
    session::Answer(IDOK);
    PressUpdate();

    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, Text(IDS_DATA_BLOCK_FAILED) + L"\r\n" +
                                 std::wstring(Text(IDS_ERROR_CODE_LINE)).substr(0, Text(IDS_ERROR_CODE_LINE).find(L"0x")) +
                                 L"0xfffffffd-0x000005b4");
    EXPECT_FALSE(boxes[1].progressWindowOpen);
    EXPECT_EQ(session::Progress().positions.size(), 10u) << "0, then blocks 1 to 9";
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_UPDATE_FAILED_HINT));
}

// The unit is pulled out in the middle of the update: the block fails with
// ERROR_DEVICE_NOT_CONNECTED, and the removal, handled after the update has
// returned, leaves the failure text.
TEST_F(Updater, UnitPulledOutMidUpdate) {
    PlugAndWaitForReady();
    Arm(DemoFaultKind::Unplug, DemoFaultStep::DataBlock, 500, 0);
    session::Answer(IDOK);
    session::Answer(IDOK);
    PressUpdate();
    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text.substr(boxes[1].text.size() - 21), L"0xfffffffe-0x0000048f");
    session::WaitFor([] { return false; }, 300);  // let the removal be handled
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_UPDATE_FAILED_HINT));
    EXPECT_FALSE(session::ItemEnabled(IDC_UPDATE));
}

// An ESC of another type: the information box naming ORVANTO, then 40035.
TEST_F(Updater, IncompatibleEsc) {
    DemoUnitSettings other;
    other.escTypeCode = 0x12345678;
    session::Answer(IDOK, L"e2e-box-incompatible");
    Plug(other);
    ASSERT_TRUE(session::WaitFor([] { return session::ItemText(IDC_HINT) == Waiting(IDS_INCOMPATIBLE_ESC); }));
    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, Text(IDS_INCOMPATIBLE_CAPTION));
    EXPECT_NE(boxes[0].text.find(L"'ORVANTO'"), std::wstring::npos);
    EXPECT_EQ(boxes[0].icon, 32516);
    EXPECT_FALSE(session::ItemEnabled(IDC_UPDATE));
}

// Pulled out while Ready: 40020.
TEST_F(Updater, UnplugWhileReady) {
    PlugAndWaitForReady();
    session::OnDialogThread([] { UnplugDemoUnit(); });
    ASSERT_TRUE(session::WaitFor([] { return session::ItemText(IDC_HINT) == Waiting(IDS_CONNECTION_LOST); }));
    EXPECT_FALSE(session::ItemEnabled(IDC_UPDATE));
    Shot(L"e2e-connection-lost");
}

// In German: the ready text, the confirmation and a failure, in German.
// Runs in the German Wine of the test command; skipped elsewhere.
TEST_F(Updater, GermanScenario) {
    if (!German()) {
        GTEST_SKIP() << "needs a German user interface";
    }
    PlugAndWaitForReady();
    EXPECT_EQ(session::ItemText(IDC_HINT).rfind(L"Programmiereinheit mit angeschlossenem Regler", 0), 0u);
    EXPECT_EQ(session::ItemText(IDC_LABEL_ESC), L"Regler");
    Shot(L"e2e-german-ready");
    Arm(DemoFaultKind::WriteFails, DemoFaultStep::SetAddress, 0, 0);
    session::Answer(IDOK, L"e2e-german-box-confirmation");
    session::Answer(IDOK, L"e2e-german-box-failure");
    PressUpdate();
    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, L"Wichtiger Hinweis");
    EXPECT_EQ(boxes[1].caption, L"Update fehlgeschlagen!");
    EXPECT_EQ(boxes[1].text, Text(IDS_ADDRESS_FAILED) + L"\r\nDas System meldet Fehlercode 0xfffffffe-0x0000001f");
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_UPDATE_FAILED_HINT));
    Shot(L"e2e-german-failed");
}

// One update with the real waits: it must succeed, and its wall time divided
// by the 45,840 ms of mandated waits is printed (not asserted: it depends on
// the machine).
TEST_F(Updater, RealWaitsUpdate) {
    SetClockScale(1);
    PlugAndWaitForReady();
    session::Answer(IDOK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(session::Press(IDC_UPDATE, 120000));
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_UPDATE_SUCCEEDED));
    // From the system lock's write to the last reply, by the emulated unit's
    // log; the press of the button also holds the confirmation box.
    double commandsMs = 0;
    session::OnDialogThread([&] {
        const auto& log = DemoUnit()->Log();
        std::size_t first = 0;
        while (first < log.size() && !(log[first].fromHost && log[first].bytes.at(1) == CMD_SYSTEM_LOCK)) {
            ++first;
        }
        if (first < log.size()) {
            commandsMs = (log.back().completedAtUs - log[first].requestedAtUs) / 1000.0;
        }
    });
    std::printf("real-wait update: lock to last reply %.1f ms / mandated 45840 ms = %.4f; "
                "whole press incl. the confirmation box %.1f ms\n",
                commandsMs, commandsMs / 45840.0, wallMs);
    EXPECT_GE(commandsMs, 45840.0) << "the waits must not be shorter than mandated";
    RecordProperty("wall_ms", static_cast<int>(wallMs));
}

}  // namespace
