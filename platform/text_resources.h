// Texts of the string table, by id: the platform's loader, and the size of
// the buffer every text is loaded into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Every text is loaded into a buffer of this many wide characters, terminator
// included.
constexpr std::size_t TEXT_BUFFER_SIZE = 2048;

// The text `id` in the user interface language, at most TEXT_BUFFER_SIZE - 1
// characters; empty when there is no such text. On Windows the resource
// loader chooses the language; elsewhere German for a German (Germany) user
// interface and English otherwise.
std::wstring LoadTextResource(std::uint32_t id);

// `text` cut to what a text buffer holds: its first TEXT_BUFFER_SIZE - 1
// characters.
inline void CutToTextBuffer(std::wstring& text) {
    if (text.size() > TEXT_BUFFER_SIZE - 1) {
        text.resize(TEXT_BUFFER_SIZE - 1);
    }
}
