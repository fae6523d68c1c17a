// The control of the planted-DLL test: a program that loads the three DLLs by
// name with the default search order, as a careless program would. Beside the
// planted DLLs it must load them, or the test would prove nothing.
#include <windows.h>

#include <initializer_list>

int wmain() {
    for (const wchar_t* name : {L"hid.dll", L"msimg32.dll", L"comctl32.dll"}) {
        LoadLibraryW(name);
    }
    return 0;
}
