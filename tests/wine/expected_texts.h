// What the Windows tests expect to read: the texts from the same table the
// program's string resources are made of, in the language of the Wine that
// runs the test.
#pragma once

#include <windows.h>

#include <string>

namespace expected_texts {

struct TextEntry {
    unsigned id;
    const wchar_t* english;
    const wchar_t* german;
};

inline const TextEntry TEXTS[] = {
#include "texts_table.inc"
};

inline bool German() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN; }

inline std::wstring Text(unsigned id) {
    for (const TextEntry& entry : TEXTS) {
        if (entry.id == id) {
            return German() ? entry.german : entry.english;
        }
    }
    return L"";
}

}  // namespace expected_texts
