// The main window's story as the user sees it: start-up, units plugged in and
// pulled out, the hint box, the Update button and the version rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/native/shell_fixture.h"
#include "tests/window_title.h"

namespace {

const std::wstring INSTRUCTIONS_START =
    L"1.)\r\nDisconnect the VESTORA ESC from the receiver (Master and Slave Port)";

class ShellTest : public ShellFixture {
protected:
    void ExpectEmptyRows() {
        for (int id : {IDC_VERSION_UNIT, IDC_VERSION_BOOTLOADER, IDC_VERSION_ESC}) {
            EXPECT_EQ(recorded_window::ItemText(id), L"0.0.0") << id;
            EXPECT_FALSE(recorded_window::ItemEnabled(id)) << id;
        }
        for (int id : {IDC_LABEL_UNIT, IDC_LABEL_BOOTLOADER, IDC_LABEL_ESC}) {
            EXPECT_FALSE(recorded_window::ItemEnabled(id)) << id;
        }
    }
};

// Start-up without a unit: the title, the labels, the waiting form with 40017,
// Update off and empty rows.
TEST_F(ShellTest, StartUpWithoutUnitWaits) {
    OnInitDialog(DIALOG);
    EXPECT_EQ(mainWindow, DIALOG);
    EXPECT_EQ(recorded_window::Title(), WINDOW_TITLE);
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_UNIT), L"programming unit");
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_BOOTLOADER), L"ESC-bootloader");
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_ESC), L"ESC");
    EXPECT_EQ(Hint(), L"No programming unit was found on the USB Port. To update the ESC do the "
                      L"following:\r\n\r\n" + LoadText(IDS_INSTRUCTIONS));
    EXPECT_EQ(Hint().find(INSTRUCTIONS_START), 86u);
    EXPECT_FALSE(UpdateEnabled());
    ExpectEmptyRows();
    EXPECT_TRUE(recorded_window::Boxes().empty());
    EXPECT_FALSE(recorded_window::Ended());
    EXPECT_NE(deviceNotification, 0u);
}

// The order of the first steps: icon, title, labels, the registration, and
// only then discovery's exchanges with the unit, before the hint and Update
// are set. Catches a discovery run before the registration, which would miss
// a unit plugged in between the two.
TEST_F(ShellTest, RegistrationComesBeforeDiscovery) {
    auto unit = MakeUnit();
    unit->onReport = [](const std::vector<std::uint8_t>&) { recorded_window::Note("exchange"); };
    emulated_bus::Plug(unit);
    OnInitDialog(DIALOG);
    std::vector<std::string> kinds;
    for (const WindowOperation& operation : recorded_window::Operations()) {
        kinds.push_back(operation.kind);
    }
    const std::vector<std::string> start = {"icon",     "title",    "text",    "text", "text",
                                            "register", "exchange", "exchange", "exchange"};
    ASSERT_GE(kinds.size(), start.size()) << ::testing::PrintToString(kinds);
    EXPECT_EQ(std::vector<std::string>(kinds.begin(), kinds.begin() + start.size()), start);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "exchange"), 3)
        << "identification's three exchanges, and no others";
}

// Start-up with a ready unit (a compatible ESC behind it): ready form, Update on, rows shown,
// the unit stays open.
TEST_F(ShellTest, StartUpWithCompatibleEscIsReady) {
    auto unit = MakeUnit();
    unit->esc.typeCode = ESC_TYPE_ORVANTO_B;
    unit->firmwareVersion = 0x00010400;
    unit->esc.bootloaderVersion = 0x01000203;
    unit->esc.firmwareVersion = 0x0205;
    emulated_bus::Plug(unit);
    OnInitDialog(DIALOG);
    EXPECT_EQ(Hint(), LoadText(IDS_READY));
    EXPECT_EQ(Hint().find(L"\r\n\r\n1.)"), std::wstring::npos) << "no instructions when ready";
    EXPECT_TRUE(UpdateEnabled());
    EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
    EXPECT_EQ(recorded_window::ItemText(IDC_VERSION_UNIT), L"1.4");
    EXPECT_EQ(recorded_window::ItemText(IDC_VERSION_BOOTLOADER), L"1.2.3");
    EXPECT_EQ(recorded_window::ItemText(IDC_VERSION_ESC), L"2.5");
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_UNIT), L"LINK-BOX");
    EXPECT_TRUE(recorded_window::ItemEnabled(IDC_LABEL_ESC));
}

// A unit in its bootloader (wrong mode) and a unit without an updatable ESC
// at start-up: their status texts, Update off, the unit closed.
TEST_F(ShellTest, StartUpTurnsAwayWrongModeAndMissingEsc) {
    struct Case {
        bool bootloader;
        std::uint16_t escState;
        std::uint32_t status;
    };
    for (const Case& c : {Case{true, ESC_STATE_UPDATABLE, IDS_WRONG_MODE},
                          Case{false, 2, IDS_NO_UPDATABLE_ESC}}) {
        SCOPED_TRACE(c.status);
        recorded_window::Reset();
        auto unit = MakeUnit();
        unit->inBootloader = c.bootloader;
        unit->esc.state = c.escState;
        emulated_bus::Plug(unit);
        OnInitDialog(DIALOG);
        EXPECT_EQ(Hint(), Waiting(c.status));
        EXPECT_FALSE(UpdateEnabled());
        EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
        EXPECT_EQ(emulated_bus::OpenHandleCount(), 0u);
        ExpectEmptyRows();
        emulated_bus::Unplug(unit);
    }
}

// An incompatible ESC: the information box naming ORVANTO comes first, with
// the record already closed; then the waiting form with 40035.
TEST_F(ShellTest, StartUpWithIncompatibleEscInformsFirst) {
    auto unit = MakeUnit();
    unit->esc.typeCode = 0x12345678;
    emulated_bus::Plug(unit);
    bool closedDuringBox = false;
    recorded_window::QueueBoxAnswer(
        {ANSWER_OK, [&] { closedDuringBox = unitConnection.handle == INVALID_HID_HANDLE; }});
    OnInitDialog(DIALOG);
    const auto boxes = recorded_window::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"ESC incompatible");
    EXPECT_NE(boxes[0].text.find(L"type 'ORVANTO'."), std::wstring::npos);
    EXPECT_EQ(boxes[0].value, BOX_OK | BOX_ICON_INFORMATION);
    EXPECT_TRUE(closedDuringBox);
    EXPECT_EQ(Hint(), Waiting(IDS_INCOMPATIBLE_ESC));
    EXPECT_FALSE(UpdateEnabled());
    // The box comes before the hint text.
    const auto& operations = recorded_window::Operations();
    std::size_t boxAt = 0, hintAt = 0;
    for (std::size_t i = 0; i < operations.size(); ++i) {
        if (operations[i].kind == "box") boxAt = i;
        if (operations[i].kind == "text" && operations[i].id == IDC_HINT) hintAt = i;
    }
    EXPECT_LT(boxAt, hintAt);
}

// Registration fails: the error box, the record reset, the dialog ended with
// 1 before any discovery.
TEST_F(ShellTest, RegistrationFailureEndsTheDialog) {
    auto unit = MakeUnit();
    emulated_bus::Plug(unit);
    recorded_window::FailRegistration(true);
    OnInitDialog(DIALOG);
    const auto boxes = recorded_window::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Error in the application.");
    EXPECT_EQ(boxes[0].text, LoadText(IDS_REGISTRATION_FAILED));
    EXPECT_EQ(boxes[0].value, BOX_OK | BOX_ICON_ERROR);
    EXPECT_TRUE(recorded_window::Ended());
    EXPECT_EQ(recorded_window::EndResult(), 1);
    EXPECT_EQ(unit->ExchangeCount(), 0u);
    EXPECT_EQ(recorded_window::Operations().back().kind, "end");
    EXPECT_EQ(deviceNotification, 0u);
}

// Arrival while waiting, for each kind of unit: wrong mode, no updatable ESC,
// incompatible ESC, ready.
TEST_F(ShellTest, ArrivalWhileWaitingDecidesAnew) {
    OnInitDialog(DIALOG);
    auto unit = MakeUnit(UNIT_PATH, PRODUCT_ID_ORBICON);
    unit->inBootloader = true;
    emulated_bus::Plug(unit);
    EXPECT_EQ(Arrive(UNIT_PATH), 1);
    EXPECT_EQ(Hint(), Waiting(IDS_WRONG_MODE));

    unit->inBootloader = false;
    unit->esc.state = 0;
    EXPECT_EQ(Arrive(L"\\\\?\\hid#some-mouse"), 1) << "any HID arrival runs discovery";
    EXPECT_EQ(Hint(), Waiting(IDS_NO_UPDATABLE_ESC));

    unit->esc.state = ESC_STATE_UPDATABLE;
    unit->esc.typeCode = 1;
    EXPECT_EQ(Arrive(UNIT_PATH), 1);
    EXPECT_EQ(Hint(), Waiting(IDS_INCOMPATIBLE_ESC));
    EXPECT_EQ(recorded_window::Boxes().size(), 1u);

    unit->esc.typeCode = ESC_TYPE_ORVANTO_A;
    EXPECT_EQ(Arrive(UNIT_PATH), 1);
    EXPECT_EQ(Hint(), LoadText(IDS_READY));
    EXPECT_TRUE(UpdateEnabled());
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_UNIT), L"ORBICON");
}

// Another HID device arrives and there is no unit: nothing changes at all.
TEST_F(ShellTest, ArrivalOfAnotherDeviceChangesNothing) {
    OnInitDialog(DIALOG);
    const std::size_t before = recorded_window::Operations().size();
    emulated_bus::Plug(std::make_shared<SilentDevice>(L"mouse", 0x845E, 1));
    EXPECT_EQ(Arrive(L"mouse"), 1);
    EXPECT_EQ(recorded_window::Operations().size(), before);
    EXPECT_EQ(Hint(), Waiting(IDS_NO_UNIT_FOUND));

    const DeviceBroadcast volume{2, L""};
    EXPECT_EQ(OnDeviceChange(DEVICE_EVENT_ARRIVAL, &volume), 1);
    EXPECT_EQ(OnDeviceChange(0x0007, nullptr), 0) << "DBT_DEVNODES_CHANGED";
    EXPECT_EQ(OnDeviceChange(0x8001, &volume), 0) << "DBT_DEVICEQUERYREMOVE";
    EXPECT_EQ(recorded_window::Operations().size(), before);
}

// While a unit is open a second one is not looked at.
TEST_F(ShellTest, ArrivalIsIgnoredWhileAUnitIsOpen) {
    auto first = MakeUnit();
    emulated_bus::Plug(first);
    OnInitDialog(DIALOG);
    ASSERT_TRUE(UpdateEnabled());
    auto second = MakeUnit(L"second", PRODUCT_ID_ORBICON);
    emulated_bus::Plug(second);
    const std::size_t before = recorded_window::Operations().size();
    EXPECT_EQ(Arrive(L"second"), 1);
    EXPECT_EQ(recorded_window::Operations().size(), before);
    EXPECT_EQ(second->ExchangeCount(), 0u);
    EXPECT_EQ(unitConnection.devicePath, UNIT_PATH);
}

// A unit that is opened on arrival but fails identification is held open:
// the window stays as it was, further arrivals are ignored, its removal shows
// 40020.
TEST_F(ShellTest, FailedIdentificationOnArrivalHoldsTheUnit) {
    OnInitDialog(DIALOG);
    auto unit = MakeUnit();
    Fault fault;
    fault.kind = FaultKind::NoReply;
    fault.exchange = 1;
    unit->ArmFault(fault);
    emulated_bus::Plug(unit);
    const std::size_t before = recorded_window::Operations().size();
    EXPECT_EQ(Arrive(UNIT_PATH), 1);
    EXPECT_EQ(recorded_window::Operations().size(), before);
    EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
    EXPECT_EQ(Arrive(UNIT_PATH), 1);
    EXPECT_EQ(unit->ExchangeCount(), 1u);

    emulated_bus::Unplug(unit);
    EXPECT_EQ(Remove(UNIT_PATH), 1);
    EXPECT_EQ(Hint(), Waiting(IDS_CONNECTION_LOST));
    EXPECT_EQ(unitConnection.handle, INVALID_HID_HANDLE);
}

// Removal of the open unit, its path compared without regard to case: the
// unit is closed, Update off, the rows empty but the kind name stays.
TEST_F(ShellTest, RemovalOfTheOpenUnitIsRecognisedWithoutCase) {
    auto unit = MakeUnit();
    emulated_bus::Plug(unit);
    OnInitDialog(DIALOG);
    ASSERT_TRUE(UpdateEnabled());

    EXPECT_EQ(Remove(L"\\\\?\\hid#vid_3f19&pid_0002#other"), 1);
    EXPECT_TRUE(UpdateEnabled()) << "another device went away";

    std::wstring lower = UNIT_PATH;
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    }
    emulated_bus::Unplug(unit);
    EXPECT_EQ(Remove(lower), 1);
    EXPECT_EQ(Hint(), Waiting(IDS_CONNECTION_LOST));
    EXPECT_FALSE(UpdateEnabled());
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
    ExpectEmptyRows();
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_UNIT), L"LINK-BOX");

    const std::size_t before = recorded_window::Operations().size();
    EXPECT_EQ(Remove(UNIT_PATH), 1);
    EXPECT_EQ(recorded_window::Operations().size(), before) << "removal while waiting";
}

// Only A-Z fold; other characters compare by their code.
TEST(PathComparison, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(SamePathIgnoringAsciiCase(L"\\\\?\\HID#VID_3F19", L"\\\\?\\hid#vid_3f19"));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(L"\u00c4", L"\u00e4"));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(L"abc", L"abcd"));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(L"[", L"{"));
}

// Close: unregister, close the unit, end with IDCANCEL; other commands are
// not handled.
TEST_F(ShellTest, CloseReleasesEverything) {
    auto unit = MakeUnit();
    emulated_bus::Plug(unit);
    OnInitDialog(DIALOG);
    ASSERT_EQ(emulated_bus::OpenHandleCount(), 1u);
    EXPECT_FALSE(OnCommand(1234));
    EXPECT_FALSE(recorded_window::Ended());
    EXPECT_TRUE(OnCommand(IDCANCEL));
    EXPECT_TRUE(recorded_window::Ended());
    EXPECT_EQ(recorded_window::EndResult(), IDCANCEL);
    EXPECT_EQ(emulated_bus::OpenHandleCount(), 0u);
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
    const auto& operations = recorded_window::Operations();
    EXPECT_EQ(operations[operations.size() - 2].kind, "unregister");
}

// German user interface: the status texts and labels are German, the title
// is not.
TEST_F(ShellTest, GermanUserInterface) {
    setenv("LANG", "de_DE.UTF-8", 1);
    OnInitDialog(DIALOG);
    EXPECT_EQ(recorded_window::Title(), WINDOW_TITLE);
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_UNIT), L"Programmiereinheit");
    EXPECT_EQ(recorded_window::ItemText(IDC_LABEL_ESC), L"Regler");
    EXPECT_EQ(Hint().rfind(L"Es wurde keine Programmiereinheit", 0), 0u);
    setenv("LANG", "C.UTF-8", 1);
}

}  // namespace
