// Raw-data resources: FindResourceW, LoadResource, SizeofResource and
// LockResource on the program's own module. The bytes stay where the loader
// mapped them.
#include <windows.h>

#include "platform/resources.h"
#include "platform/win32/module.h"

RawResource LoadRawResource(std::uint32_t id) {
    const HRSRC found = FindResourceW(moduleInstance, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));
    if (found == nullptr) {
        return RawResource{nullptr, 0};
    }
    const HGLOBAL loaded = LoadResource(moduleInstance, found);
    const DWORD size = SizeofResource(moduleInstance, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    return RawResource{static_cast<const std::uint8_t*>(data), data != nullptr ? size : 0};
}
