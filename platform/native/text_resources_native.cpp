// Texts for the native build, from the same source as the resource string
// tables. The language follows the user interface language of the
// environment: German for German (Germany), English otherwise.
#include <cstdlib>
#include <cstring>

#include "platform/text_resources.h"
#include "platform/text_table.h"

namespace {

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
    return FindText(TEXTS, id, GermanUserInterface());
}
