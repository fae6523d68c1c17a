// What a story's boxes and hint read as, made from the texts in the language
// the stage plays in (StoryText, which each stage defines).
#include <cwchar>

#include "res/resource.h"
#include "tests/stories/story.h"

std::wstring StoryBoxText(const StoryBox& box, std::optional<std::uint32_t> status,
                          std::uint32_t lastError) {
    std::wstring text = StoryText(box.text);
    const std::size_t fill = text.find(L"%s");
    if (!box.fill.empty() && fill != std::wstring::npos) {
        text.replace(fill, 2, box.fill);
    }
    if (status) {
        wchar_t line[512] = {};
        std::swprintf(line, 512, StoryText(IDS_ERROR_CODE_LINE).c_str(), static_cast<unsigned>(*status),
                      static_cast<unsigned>(lastError));
        text += L"\r\n";
        text += line;
    }
    return text;
}

std::wstring StoryBoxText(const StoryBox& box) { return StoryBoxText(box, box.status, box.lastError); }

std::wstring StoryWaitingHint(std::uint32_t statusId) {
    return StoryText(statusId) + L"\r\n\r\n" + StoryText(IDS_INSTRUCTIONS);
}
