// The demo: the same updater, with the emulated programming unit in place of
// the USB HID backend, the stand-in image, and a control window beside it.
//
//   orvanto-updater-demo.exe                         the demo with its controls
//   orvanto-updater-demo.exe --tour FOLDER [PREFIX] [--quick]
//                                                    the scripted tour
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "emulator/win32/control_window.h"
#include "emulator/win32/demo_notifications.h"
#include "emulator/win32/tour.h"
#include "app/win32/main_dialog_win32.h"
#include "platform/win32/system_libraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    RestrictDllSearchToSystem32();
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments != nullptr && count >= 3 && std::wstring(arguments[1]) == L"--tour") {
        const std::wstring folder = arguments[2];
        std::wstring prefix;
        bool quick = false;
        for (int i = 3; i < count; ++i) {
            if (std::wstring(arguments[i]) == L"--quick") {
                quick = true;
            } else {
                prefix = arguments[i];
            }
        }
        LocalFree(arguments);
        return RunTour(folder, prefix, quick);
    }
    if (arguments != nullptr) {
        LocalFree(arguments);
    }
    ForwardBusEventsToMainWindow();
    CreateControlWindow(instance);
    return RunUpdater(instance);
}
