// What the Windows tests expect to read: the texts from the same table the
// program's string resources are made of (platform/text_table.h), in the
// language of the Wine that runs the test.
#pragma once

#include <windows.h>

#include <string>

#include "platform/text_table.h"

namespace expected_texts {

inline const TextEntry TEXTS[] = {
#include "texts_table.inc"
};

inline bool German() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN; }

inline std::wstring Text(unsigned id) { return FindText(TEXTS, id, German()); }

}  // namespace expected_texts
