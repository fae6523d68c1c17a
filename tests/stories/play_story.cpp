// The one player of the owner's stories for the C++ stages (play_story.h).
#include "tests/stories/play_story.h"

#include <algorithm>

#include "res/resource.h"
#include "update/firmware_update.h"

namespace {

std::string Quoted(const std::wstring& text) { return "\"" + Narrow(text) + "\""; }

std::string Listed(const std::vector<int>& values) {
    std::string list;
    for (int value : values) {
        list += (list.empty() ? "" : ", ") + std::to_string(value);
    }
    return "{" + list + "}";
}

// The texts the box may show on this stage: its text, "%s" filled in, with
// one of its code lines below (none where it has none).
std::vector<std::wstring> BoxTexts(const StoryBox& box) {
    if (!StageOnRealStack() || box.realStackStatuses.empty()) {
        return {StoryBoxText(box, box.status, StageLastError(box.lastError))};
    }
    std::vector<std::wstring> texts;
    for (std::uint32_t status : box.realStackStatuses) {
        texts.push_back(StoryBoxText(box, status, StageLastError(box.realStackLastError)));
    }
    return texts;
}

bool CheckBoxes(const StoryAct& act, const std::string& where) {
    const std::vector<SeenBox> seen = StageBoxes();
    if (seen.size() != act.boxes.size()) {
        std::string boxes;
        for (const SeenBox& box : seen) {
            boxes += "\n  " + Quoted(box.caption) + ": " + Quoted(box.text);
        }
        StageFailed(where + ": " + std::to_string(act.boxes.size()) + " message boxes",
                    std::to_string(seen.size()) + boxes);
        return false;
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const StoryBox& want = act.boxes[i];
        const SeenBox& box = seen[i];
        const std::string what = where + ", box " + std::to_string(i + 1) + " (" + want.kind + ")";
        const std::wstring caption = StoryText(want.caption);
        if (box.caption != caption) {
            StageFailed(what + ": the caption " + Quoted(caption), Quoted(box.caption));
        }
        const std::vector<std::wstring> texts = BoxTexts(want);
        if (std::find(texts.begin(), texts.end(), box.text) == texts.end()) {
            std::string wanted;
            for (const std::wstring& text : texts) {
                wanted += (wanted.empty() ? "" : " or ") + Quoted(text);
            }
            StageFailed(what + ": the text " + wanted, Quoted(box.text));
        }
        if (box.buttons != want.buttons) {
            StageFailed(what + ": the buttons " + Listed(want.buttons), Listed(box.buttons));
        }
        if (box.defaultButton != want.buttons.front()) {
            StageFailed(what + ": the default button " + std::to_string(want.buttons.front()),
                        std::to_string(box.defaultButton));
        }
        if (box.icon != want.icon) {
            StageFailed(what + ": the icon " + want.icon, box.icon);
        }
        if (want.kind == "failure" && box.progressOpen) {
            StageFailed(what + ": the progress window gone before the box", "it open");
        }
    }
    return true;
}

void CheckWindow(const StoryAct& act, const std::string& where) {
    const StorySee& see = act.see;
    std::optional<std::wstring> hint;
    if (see.hint) {
        hint = see.waiting ? StoryWaitingHint(*see.hint) : StoryText(*see.hint);
    }
    struct Row {
        const std::optional<std::wstring>& want;
        std::wstring SeenWindow::*seen;
        const char* name;
    };
    const Row rows[] = {{see.unit, &SeenWindow::unit, "unit"},
                        {see.unitVersion, &SeenWindow::unitVersion, "unitVersion"},
                        {see.bootloader, &SeenWindow::bootloader, "bootloader"},
                        {see.esc, &SeenWindow::esc, "esc"}};
    const SeenWindow window = StageWindow(act, [&](const SeenWindow& now) {
        bool settled = !now.boxOpen && (!hint || now.hint == *hint) &&
                       (!see.update || now.updateEnabled == *see.update);
        for (const Row& row : rows) {
            settled = settled && (!row.want || now.*row.seen == *row.want);
        }
        return settled;
    });
    if (window.boxOpen) {
        StageFailed(where + ": no message box open once the act is over", "one open");
    }
    if (hint && window.hint != *hint) {
        StageFailed(where + ": the hint " + Quoted(*hint), Quoted(window.hint));
    }
    if (see.update && window.updateEnabled != *see.update) {
        StageFailed(where + ": Update " + (*see.update ? "enabled" : "disabled"),
                    window.updateEnabled ? "enabled" : "disabled");
    }
    for (const Row& row : rows) {
        if (row.want && window.*row.seen != *row.want) {
            StageFailed(where + ": the row " + row.name + " " + Quoted(*row.want),
                        Quoted(window.*row.seen));
        }
    }
}

void CheckUnit(const StorySee& see, const std::string& where) {
    if (see.progress) {
        if (const std::optional<std::uint32_t> positions = StageProgressPositions()) {
            if (*positions != *see.progress) {
                StageFailed(where + ": " + std::to_string(*see.progress) +
                                " positions given to the progress bar",
                            std::to_string(*positions));
            }
        }
    }
    if (!see.reports && !see.blockWaitMs && !see.flashImage && !see.flashBlocks) {
        return;
    }
    const std::optional<SeenUnit> unit = StageUnit();
    if (!unit) {
        return;
    }
    if (see.reports && unit->reports != *see.reports) {
        StageFailed(where + ": " + std::to_string(*see.reports) + " reports received by the unit",
                    std::to_string(unit->reports));
    }
    if (see.blockWaitMs) {
        const std::uint64_t least = *see.blockWaitMs * 1000ull;
        if (!unit->leastBlockWaitUs || *unit->leastBlockWaitUs < least) {
            StageFailed(where + ": at least " + std::to_string(least) +
                            " us after each data block's reply",
                        unit->leastBlockWaitUs ? std::to_string(*unit->leastBlockWaitUs) + " us"
                                               : "no block followed by a report");
        }
    }
    if (see.flashImage || see.flashBlocks) {
        const std::uint32_t written =
            see.flashImage ? unit->imageSize
                           : std::min(unit->imageSize, *see.flashBlocks * BLOCK_BYTES);
        const std::vector<std::uint8_t>& flash = unit->flash;
        if (flash.size() < written || !std::equal(unit->image, unit->image + written, flash.begin())) {
            StageFailed(where + ": the flash holding the image's first " + std::to_string(written) +
                            " bytes",
                        "other bytes");
        } else if (!std::all_of(flash.begin() + written, flash.end(),
                                [](std::uint8_t b) { return b == 0xFF; })) {
            StageFailed(where + ": nothing written after the first " + std::to_string(written) +
                            " bytes",
                        "something written");
        }
    }
}

}  // namespace

void PlayStory(const Story& story) {
    for (std::size_t number = 1; number <= story.acts.size(); ++number) {
        const StoryAct& act = story.acts[number - 1];
        const std::string where = "act " + std::to_string(number) + " (" + ActName(act.what) + ")";
        StageBeginAct(act, number);
        if (!StageDo(act, number) || !CheckBoxes(act, where)) {
            return;
        }
        CheckWindow(act, where);
        CheckUnit(act.see, where);
        StageActChecked(act, number);
    }
}

SeenWindow WindowFrom(const std::function<std::wstring(int)>& text, bool updateEnabled,
                      bool boxOpen) {
    SeenWindow window;
    window.hint = text(IDC_HINT);
    window.updateEnabled = updateEnabled;
    window.unit = text(IDC_LABEL_UNIT);
    window.unitVersion = text(IDC_VERSION_UNIT);
    window.bootloader = text(IDC_VERSION_BOOTLOADER);
    window.esc = text(IDC_VERSION_ESC);
    window.boxOpen = boxOpen;
    return window;
}

const char* ActName(StoryDo what) {
    const char* const names[] = {"look", "plug", "unplug", "replug", "arm", "update"};
    return names[static_cast<int>(what)];
}
