// The updater's run on Windows: the main dialog from its template, until it
// ends. Shared by the product's entry point and the demo's.
#pragma once

#include <windows.h>

// Initialises the common controls, the module and the shell, runs the main
// dialog modally and returns the process exit code, 0.
int RunUpdater(HINSTANCE instance);
