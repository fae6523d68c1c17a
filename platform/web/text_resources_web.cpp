// Texts in the browser, from the same source as the resource string tables.
// The language follows the browser's: German when navigator.language starts
// with "de", English otherwise.
#include "platform/text_resources.h"
#include "platform/text_table.h"
#include "platform/web/page_host.h"

namespace {

const TextEntry TEXTS[] = {
#include "texts_table.inc"
};

}  // namespace

std::wstring LoadTextResource(std::uint32_t id) {
    static const bool german = PageLanguageIsGerman();
    return FindText(TEXTS, id, german);
}
