// The program's module on Windows: every resource is loaded from it.
#pragma once

#include <windows.h>

// The module whose resources the window, text and resource functions load;
// null until the front end sets it.
extern HINSTANCE moduleInstance;

// Set once by the front end at entry, before the first window or resource.
void SetModuleInstance(HINSTANCE instance);
