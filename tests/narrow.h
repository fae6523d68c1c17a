// Wide texts in the tests' messages.
#pragma once

#include <cstdint>
#include <string>

// `text` in UTF-8 for a message, on one line: a line break written out as
// "\r" and "\n", other control characters as '?'.
inline std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (const wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (c == L'\r') {
            narrow += "\\r";
        } else if (c == L'\n') {
            narrow += "\\n";
        } else if (code < 0x20 || code == 0x7F || (code >= 0xD800 && code < 0xE000) ||
                   code > 0xFFFF) {
            narrow += '?';
        } else if (code < 0x80) {
            narrow += static_cast<char>(code);
        } else if (code < 0x800) {
            narrow += static_cast<char>(0xC0 | (code >> 6));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            narrow += static_cast<char>(0xE0 | (code >> 12));
            narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return narrow;
}
