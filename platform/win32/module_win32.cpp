#include "platform/win32/module.h"

HINSTANCE moduleInstance = nullptr;

void SetModuleInstance(HINSTANCE instance) { moduleInstance = instance; }
