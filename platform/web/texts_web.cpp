// Texts in the browser, from the same source as the resource string tables.
// The language follows the browser's: German when navigator.language starts
// with "de", English otherwise.
#include "platform/texts.h"
#include "platform/web/page_host.h"

namespace {

struct TextEntry {
    std::uint32_t id;
    const wchar_t* english;
    const wchar_t* german;
};

const TextEntry TEXTS[] = {
#include "texts_table.inc"
};

}  // namespace

std::wstring LoadTextResource(std::uint32_t id) {
    static const bool german = PageLanguageIsGerman();
    for (const TextEntry& entry : TEXTS) {
        if (entry.id == id) {
            std::wstring text = german ? entry.german : entry.english;
            if (text.size() > TEXT_BUFFER_SIZE - 1) {
                text.resize(TEXT_BUFFER_SIZE - 1);
            }
            return text;
        }
    }
    return std::wstring();
}
