// The updater shell: the main window's state and what it does at start-up
// and on the user's commands. Portable; the dialog procedure of the platform
// hands every message here (device events: app/connection_status.h; the
// version rows: app/version_display.h; painting: app/main_window_painting.h).
#pragma once

#include "platform/window.h"
#include "res/resource.h"

// The model this updater serves. Update is offered only for its ESCs, by
// their type codes (ESC_TYPE_ORVANTO_A and _B, link/report.h).
constexpr const wchar_t* MODEL_NAME = L"ORVANTO";

// The main dialog, once it is initialised; 0 before.
extern WindowHandle mainWindow;
// The HID interface notification registration; 0 before or when it failed.
extern NotificationHandle deviceNotification;

// Start of the program: no unit open.
void StartShell();

// WM_INITDIALOG.
void OnInitDialog(WindowHandle window);

// WM_COMMAND with this control id: Close, or Update (RunFirmwareUpdate,
// update/firmware_update.h). Returns true when the command was handled.
bool OnCommand(int id);

// Close: unregister, close the unit, end the dialog with IDCANCEL.
void CloseMainDialog();
