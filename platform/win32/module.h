// The program's module on Windows: every resource is loaded from it.
#pragma once

#include <windows.h>

extern HINSTANCE moduleInstance;
