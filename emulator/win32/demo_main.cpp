// The demo: the same updater, with the emulated programming unit in place of
// the USB HID backend, the stand-in image, and a control window beside it.
#include <windows.h>

#include "emulator/win32/control_window.h"
#include "emulator/win32/demo_notifications.h"
#include "app/win32/main_dialog_win32.h"
#include "platform/win32/system_libraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    RestrictDllSearchToSystem32();
    ForwardBusEventsToMainWindow();
    CreateControlWindow(instance);
    return RunUpdater(instance);
}
