// What a story's boxes and hint read as, made from the texts in the language
// the stage plays in (StoryText, which each stage defines).
#include <cwchar>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/stories/story.h"

std::vector<std::wstring> StoryBoxTexts(const StoryBox& box, const std::string& stage) {
    std::wstring text = StoryText(box.text);
    const std::size_t fill = text.find(L"%s");
    if (!box.fill.empty() && fill != std::wstring::npos) {
        text.replace(fill, 2, box.fill);
    }
    for (const auto& [name, code] : box.codes) {
        if (name != stage) {
            continue;
        }
        std::vector<std::wstring> texts;
        for (std::uint32_t status : code.statuses) {
            wchar_t line[512] = {};
            std::swprintf(line, 512, StoryText(IDS_ERROR_CODE_LINE).c_str(),
                          static_cast<unsigned>(status), static_cast<unsigned>(code.lastError));
            texts.push_back(text + L"\r\n" + line);
        }
        return texts;
    }
    return {text};
}

std::wstring StoryWaitingHint(std::uint32_t statusId) {
    return StoryText(statusId) + L"\r\n\r\n" + StoryText(IDS_INSTRUCTIONS);
}
