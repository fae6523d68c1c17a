// The demo: the same updater, with the emulated programming unit in place of
// the USB HID backend, the stand-in image, and a control window beside it.
#include <windows.h>

#include "emulator/win32/control_window.h"
#include "emulator/win32/demo_notifications.h"
#include "platform/win32/main_dialog_win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    ForwardBusEventsToMainWindow();
    CreateControlWindow(instance);
    return RunUpdater(instance);
}
