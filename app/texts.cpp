#include "app/texts.h"

namespace {

void AppendBounded(std::wstring& out, std::size_t capacity, const std::wstring& piece) {
    if (capacity == 0 || out.size() >= capacity - 1) {
        return;
    }
    out.append(piece, 0, capacity - 1 - out.size());
}

std::wstring Decimal(std::uint32_t value) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

}  // namespace

std::wstring HexDigits(std::uint32_t value, std::size_t count) {
    static const wchar_t DIGITS[] = L"0123456789abcdef";
    std::wstring text(count, L'0');
    for (std::size_t i = count; i > 0; --i) {
        text[i - 1] = DIGITS[value & 0xF];
        value >>= 4;
    }
    return text;
}

std::wstring FormatText(std::size_t capacity, const std::wstring& format,
                        std::initializer_list<FormatArgument> arguments) {
    std::wstring out;
    const FormatArgument* next = arguments.begin();
    auto take = [&]() -> const FormatArgument* {
        return next != arguments.end() ? next++ : nullptr;
    };
    for (std::size_t i = 0; i < format.size(); ++i) {
        const wchar_t c = format[i];
        if (c != L'%') {
            AppendBounded(out, capacity, std::wstring(1, c));
            continue;
        }
        const std::wstring rest = format.substr(i + 1, 3);
        if (rest.compare(0, 1, L"s") == 0) {
            const FormatArgument* argument = take();
            if (argument != nullptr && argument->text != nullptr) {
                AppendBounded(out, capacity, argument->text);
            }
            i += 1;
        } else if (rest.compare(0, 1, L"u") == 0) {
            const FormatArgument* argument = take();
            if (argument != nullptr) {
                AppendBounded(out, capacity, Decimal(argument->number));
            }
            i += 1;
        } else if (rest.compare(0, 3, L"08x") == 0) {
            const FormatArgument* argument = take();
            if (argument != nullptr) {
                AppendBounded(out, capacity, HexDigits(argument->number, 8));
            }
            i += 3;
        } else if (rest.compare(0, 1, L"%") == 0) {
            AppendBounded(out, capacity, L"%");
            i += 1;
        } else {
            AppendBounded(out, capacity, L"%");
        }
    }
    return out;
}

std::wstring LoadText(std::uint32_t id) {
    std::wstring text = LoadTextResource(id);
    CutToTextBuffer(text);
    return text;
}
