// What the main window says about the connection, at start-up and as units
// come and go.
#include "app/connection_status.h"
#include "app/shell.h"
#include "app/texts.h"
#include "app/version_display.h"
#include "link/unit_connection.h"

namespace {

// The hint box joins a status text and the instructions with an empty line.
constexpr const wchar_t* STATUS_SEPARATOR = L"\r\n\r\n";

enum class UnitCase { NotFound, WrongMode, NoEsc, Incompatible, Ready };

bool IsAcceptedEscType(std::uint32_t typeCode) {
    return typeCode == ESC_TYPE_ORVANTO_A || typeCode == ESC_TYPE_ORVANTO_B;
}

// Decides, in this order, what a discovery's outcome means.
UnitCase JudgeDiscovery(std::int32_t result) {
    if (result != 0) {
        return UnitCase::NotFound;
    }
    if (unitConnection.unitInBootloader != 0) {
        return UnitCase::WrongMode;
    }
    if (unitConnection.escState != ESC_STATE_UPDATABLE) {
        return UnitCase::NoEsc;
    }
    if (!IsAcceptedEscType(EscTypeCode(unitConnection))) {
        return UnitCase::Incompatible;
    }
    return UnitCase::Ready;
}

void ShowIncompatibleEscBox() {
    const std::wstring text =
        FormatText(TEXT_BUFFER_SIZE, LoadText(IDS_INCOMPATIBLE_BOX), {MODEL_NAME});
    ShowMessageBox(mainWindow, text, LoadText(IDS_INCOMPATIBLE_CAPTION), BOX_OK | BOX_ICON_INFORMATION);
}

// A unit in its bootloader, a unit without an updatable ESC and an
// incompatible ESC are turned away: Update off, the record closed, then (for
// an incompatible ESC after the information box) the status text.
void TurnUnitAway(UnitCase unitCase) {
    EnableItem(mainWindow, IDC_UPDATE, false);
    ResetConnection();
    switch (unitCase) {
    case UnitCase::WrongMode:
        ShowStatusAndInstructions(IDS_WRONG_MODE);
        break;
    case UnitCase::NoEsc:
        ShowStatusAndInstructions(IDS_NO_UPDATABLE_ESC);
        break;
    case UnitCase::Incompatible:
        ShowIncompatibleEscBox();
        ShowStatusAndInstructions(IDS_INCOMPATIBLE_ESC);
        break;
    default:
        break;
    }
}

void ShowReady() { SetItemText(mainWindow, IDC_HINT, LoadText(IDS_READY)); }

// The window for a unit just identified: Ready with Update on, or the unit
// turned away; then the rows.
void ShowIdentified(UnitCase unitCase) {
    if (unitCase == UnitCase::Ready) {
        ShowReady();
        EnableItem(mainWindow, IDC_UPDATE, true);
    } else {
        TurnUnitAway(unitCase);
    }
    RefreshVersionDisplay();
}

int OnArrival(const DeviceBroadcast& broadcast) {
    if (broadcast.deviceType != DEVICE_TYPE_INTERFACE) {
        return 1;
    }
    // One unit at a time: while one is open, a second is not looked at.
    if (unitConnection.handle != INVALID_HID_HANDLE) {
        return 1;
    }
    const std::int32_t result = DiscoverUnit();
    if (result != 0) {
        // No unit, or one that could not be identified: that one stays open,
        // and no further arrival is looked at until it is removed.
        return 1;
    }
    ShowIdentified(JudgeDiscovery(result));
    return 1;
}

int OnRemoval(const DeviceBroadcast& broadcast) {
    if (broadcast.deviceType != DEVICE_TYPE_INTERFACE) {
        return 1;
    }
    if (unitConnection.handle == INVALID_HID_HANDLE) {
        return 1;
    }
    if (!SamePathIgnoringAsciiCase(unitConnection.devicePath, broadcast.name)) {
        return 1;  // another device went away
    }
    ResetConnection();
    EnableItem(mainWindow, IDC_UPDATE, false);
    RefreshVersionDisplay();
    ShowStatusAndInstructions(IDS_CONNECTION_LOST);
    return 1;
}

}  // namespace

void ShowOpenUnit() { ShowIdentified(JudgeDiscovery(0)); }

bool OpenUnitIsReady() {
    return unitConnection.handle != INVALID_HID_HANDLE && JudgeDiscovery(0) == UnitCase::Ready;
}

bool SamePathIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        return false;
    }
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

void ShowStatusAndInstructions(std::uint32_t statusId) {
    std::wstring text = LoadText(statusId) + STATUS_SEPARATOR;
    CutToTextBuffer(text);
    SetItemText(mainWindow, IDC_HINT, text);
    // The instructions are appended to what the hint box now holds.
    const std::wstring instructions = LoadText(IDS_INSTRUCTIONS);
    SetItemText(mainWindow, IDC_HINT, GetItemText(mainWindow, IDC_HINT) + instructions);
}

void ShowConnectionAtStart() {
    const UnitCase unitCase = JudgeDiscovery(DiscoverUnit());
    if (unitCase != UnitCase::NotFound) {
        ShowIdentified(unitCase);
        return;
    }
    EnableItem(mainWindow, IDC_UPDATE, false);
    ResetConnection();
    ShowStatusAndInstructions(IDS_NO_UNIT_FOUND);
    RefreshVersionDisplay();
}

int OnDeviceChange(std::uint32_t event, const DeviceBroadcast* broadcast) {
    if (event != DEVICE_EVENT_ARRIVAL && event != DEVICE_EVENT_REMOVE_COMPLETE) {
        return 0;
    }
    if (broadcast == nullptr) {
        return 1;  // nothing to look at
    }
    return event == DEVICE_EVENT_ARRIVAL ? OnArrival(*broadcast) : OnRemoval(*broadcast);
}
