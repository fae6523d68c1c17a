// The table of every text in both languages, as the build makes it from
// res/texts.txt (texts_table.inc), for the platforms whose texts are not
// resource string tables: the native tests and the browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/text_resources.h"

struct TextEntry {
    std::uint32_t id;
    const wchar_t* english;
    const wchar_t* german;
};

// The text `id` of `table` in German or English, at most
// TEXT_BUFFER_SIZE - 1 characters; empty when the table has no such id.
template <std::size_t N>
std::wstring FindText(const TextEntry (&table)[N], std::uint32_t id, bool german) {
    for (const TextEntry& entry : table) {
        if (entry.id == id) {
            std::wstring text = german ? entry.german : entry.english;
            CutToTextBuffer(text);
            return text;
        }
    }
    return std::wstring();
}
