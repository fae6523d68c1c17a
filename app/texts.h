// Loading texts and expanding format texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/text_resources.h"

// One argument of FormatText: a wide text for %s or a number for %u and %08x.
struct FormatArgument {
    FormatArgument(const wchar_t* value) : text(value) {}
    FormatArgument(const std::wstring& value) : text(value.c_str()) {}
    FormatArgument(std::uint32_t value) : number(value) {}
    FormatArgument(int value) : number(static_cast<std::uint32_t>(value)) {}

    const wchar_t* text = nullptr;
    std::uint32_t number = 0;
};

// The bounded wide-character formatter. Expands %s (a wide text), %u
// (unsigned decimal) and %08x (eight lower-case hexadecimal digits) from
// `arguments` in order, %% to %, and copies everything else. The result holds
// at most `capacity` - 1 characters: what does not fit is cut off. A
// conversion without its argument expands to nothing; any other % sequence
// is copied as it stands.
std::wstring FormatText(std::size_t capacity, const std::wstring& format,
                        std::initializer_list<FormatArgument> arguments);

// The text `id` (LoadTextResource), at most TEXT_BUFFER_SIZE - 1
// characters. The update calls it too (update/update_window.h).
std::wstring LoadText(std::uint32_t id);

// The `count` lowest hexadecimal digits of `value`, lower case, the most
// significant first (any digit above the eighth is 0).
std::wstring HexDigits(std::uint32_t value, std::size_t count);
