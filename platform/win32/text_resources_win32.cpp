// Texts from the string table resources; the resource loader picks the
// language from the user interface language.
#include <windows.h>

#include "platform/text_resources.h"
#include "platform/win32/module.h"

std::wstring LoadTextResource(std::uint32_t id) {
    wchar_t buffer[TEXT_BUFFER_SIZE];
    const int length = LoadStringW(moduleInstance, id, buffer, static_cast<int>(TEXT_BUFFER_SIZE));
    return length > 0 ? std::wstring(buffer, static_cast<std::size_t>(length)) : std::wstring();
}
