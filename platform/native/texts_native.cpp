// Texts for the native build, from the same source as the resource string
// tables. The language follows the user interface language of the
// environment: German for German (Germany), English otherwise.
#include <cstdlib>
#include <cstring>

#include "platform/texts.h"

namespace {

struct TextEntry {
    std::uint32_t id;
    const wchar_t* english;
    const wchar_t* german;
};

const TextEntry TEXTS[] = {
#include "texts_table.inc"
};

// The first of LC_ALL, LC_MESSAGES and LANG that is set names the language.
bool GermanUserInterface() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return std::strncmp(value, "de_DE", 5) == 0;
        }
    }
    return false;
}

}  // namespace

std::wstring LoadTextResource(std::uint32_t id) {
    const bool german = GermanUserInterface();
    for (const TextEntry& entry : TEXTS) {
        if (entry.id == id) {
            return german ? entry.german : entry.english;
        }
    }
    return std::wstring();
}
