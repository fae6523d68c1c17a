// The product's entry point. It takes nothing from its command line.
#include <windows.h>

#include "app/win32/main_dialog_win32.h"
#include "platform/win32/system_libraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    RestrictDllSearchToSystem32();
    return RunUpdater(instance);
}
