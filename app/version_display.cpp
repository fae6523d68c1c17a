// The three version rows: the programming unit, the ESC's bootloader and the
// ESC's firmware.
#include "app/shell.h"
#include "app/texts.h"
#include "app/version_display.h"
#include "link/unit_connection.h"

namespace {

constexpr std::size_t VERSION_BUFFER_SIZE = 32;
constexpr const wchar_t* NO_UNIT_VERSION = L"0.0.0";
constexpr const wchar_t* NO_ESC_FIRMWARE = L"----------";

const int ROW_CONTROLS[] = {IDC_VERSION_UNIT, IDC_VERSION_BOOTLOADER, IDC_VERSION_ESC,
                            IDC_LABEL_UNIT,   IDC_LABEL_BOOTLOADER,   IDC_LABEL_ESC};

std::uint32_t Byte(std::uint32_t word, int index) { return (word >> (8 * index)) & 0xFF; }

// "b3." when byte 3 is set, then "b1.b0"; byte 2 is never shown.
std::wstring ThreePartText(std::uint32_t version) {
    std::wstring text;
    if (Byte(version, 3) != 0) {
        text = FormatText(VERSION_BUFFER_SIZE, L"%u.", {Byte(version, 3)});
    }
    return text + FormatText(VERSION_BUFFER_SIZE - text.size(), L"%u.%u",
                             {Byte(version, 1), Byte(version, 0)});
}

}  // namespace

std::wstring UnitVersionText(std::uint32_t version) {
    // A version word with byte 0 zero is stored one byte up.
    if (Byte(version, 0) == 0) {
        version >>= 8;
    }
    return ThreePartText(version);
}

std::wstring BootloaderVersionText(std::uint32_t version) { return ThreePartText(version); }

std::wstring EscVersionText(std::uint16_t version) {
    if (version == ESC_NO_FIRMWARE_VERSION) {
        return NO_ESC_FIRMWARE;
    }
    return FormatText(VERSION_BUFFER_SIZE, L"%u.%u", {version >> 8, version & 0xFF});
}

void RefreshVersionDisplay() {
    if (unitConnection.handle == INVALID_HID_HANDLE) {
        SetItemText(mainWindow, IDC_VERSION_UNIT, NO_UNIT_VERSION);
        SetItemText(mainWindow, IDC_VERSION_BOOTLOADER, NO_UNIT_VERSION);
        SetItemText(mainWindow, IDC_VERSION_ESC, NO_UNIT_VERSION);
        for (int id : ROW_CONTROLS) {
            EnableItem(mainWindow, id, false);
        }
        return;
    }
    for (int id : ROW_CONTROLS) {
        EnableItem(mainWindow, id, true);
    }
    SetItemText(mainWindow, IDC_VERSION_UNIT, UnitVersionText(unitConnection.unitFirmwareVersion));
    SetItemText(mainWindow, IDC_VERSION_BOOTLOADER,
                BootloaderVersionText(EscBootloaderVersion(unitConnection)));
    SetItemText(mainWindow, IDC_VERSION_ESC, EscVersionText(EscFirmwareVersion(unitConnection)));
    SetItemText(mainWindow, IDC_LABEL_UNIT,
                unitConnection.productId == PRODUCT_ID_ORBICON ? L"ORBICON" : L"LINK-BOX");
}
