// The updater shell: the main window's globals, the start of the program,
// the dialog's initialisation and the user's commands.
#include "app/shell.h"

#include "app/connection_status.h"
#include "app/texts.h"
#include "link/unit_connection.h"
#include "update/firmware_image.h"
#include "update/firmware_update.h"

WindowHandle mainWindow = 0;
NotificationHandle deviceNotification = 0;

namespace {

// The main window's title: model, version of the firmware carried, and an
// empty text that leaves one blank at the end.
constexpr const wchar_t* TITLE_FORMAT = L"VESTORA %s FW Updater %u.%u %s";
constexpr std::size_t TITLE_BUFFER_SIZE = 256;

}  // namespace

void StartShell() {
    unitConnection = InitialConnection();
    mainWindow = 0;
    deviceNotification = 0;
}

void OnInitDialog(WindowHandle window) {
    mainWindow = window;
    SetApplicationIcon(window);
    SetWindowTitle(window, FormatText(TITLE_BUFFER_SIZE, TITLE_FORMAT,
                                      {MODEL_NAME, NEW_FIRMWARE_VERSION >> 8,
                                       NEW_FIRMWARE_VERSION & 0xFF, L""}));
    SetItemText(window, IDC_LABEL_UNIT, LoadText(IDS_LABEL_UNIT));
    SetItemText(window, IDC_LABEL_BOOTLOADER, LoadText(IDS_LABEL_BOOTLOADER));
    SetItemText(window, IDC_LABEL_ESC, LoadText(IDS_LABEL_ESC));

    // Registered before the first discovery, so that a unit plugged in from
    // now on is announced once the dialog runs.
    deviceNotification = RegisterHidNotifications(window);
    if (deviceNotification == 0) {
        ShowMessageBox(window, LoadText(IDS_REGISTRATION_FAILED),
                       LoadText(IDS_APPLICATION_ERROR_CAPTION), BOX_OK | BOX_ICON_ERROR);
        ResetConnection();
        EndDialogWith(window, 1);
        return;
    }
    ShowConnectionAtStart();
}

void CloseMainDialog() {
    if (deviceNotification != 0) {
        UnregisterHidNotifications(deviceNotification);
        deviceNotification = 0;
    }
    ResetConnection();
    EndDialogWith(mainWindow, IDCANCEL);
}

bool OnCommand(int id) {
    switch (id) {
    case IDCANCEL:
        CloseMainDialog();
        return true;
    case IDC_UPDATE:
        RunFirmwareUpdate();
        return true;
    default:
        return false;
    }
}
