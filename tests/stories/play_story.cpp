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

// The hint as `see` gives it, if it does.
std::optional<std::wstring> HintOf(const StorySee& see) {
    if (!see.hint) {
        return std::nullopt;
    }
    return see.waiting ? StoryWaitingHint(*see.hint) : StoryText(*see.hint);
}

struct Row {
    std::optional<std::wstring> StorySee::*want;
    std::wstring SeenWindow::*seen;
    const char* name;
};
const Row ROWS[] = {{&StorySee::unit, &SeenWindow::unit, "unit"},
                    {&StorySee::unitVersion, &SeenWindow::unitVersion, "unitVersion"},
                    {&StorySee::bootloader, &SeenWindow::bootloader, "bootloader"},
                    {&StorySee::esc, &SeenWindow::esc, "esc"}};

// Checks what `see` gives of the window against `window`.
void CheckSeenWindow(const StorySee& see, const SeenWindow& window, const std::string& where) {
    const std::optional<std::wstring> hint = HintOf(see);
    if (hint && window.hint != *hint) {
        StageFailed(where + ": the hint " + Quoted(*hint), Quoted(window.hint));
    }
    if (see.update && window.updateEnabled != *see.update) {
        StageFailed(where + ": Update " + (*see.update ? "enabled" : "disabled"),
                    window.updateEnabled ? "enabled" : "disabled");
    }
    for (const Row& row : ROWS) {
        const std::optional<std::wstring>& want = see.*row.want;
        if (want && window.*row.seen != *want) {
            StageFailed(where + ": the row " + row.name + " " + Quoted(*want),
                        Quoted(window.*row.seen));
        }
    }
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
        const std::string what =
            where + ", box " + std::to_string(i + 1) + " (" + StoryBoxKindName(want.kind) + ")";
        const std::wstring caption = StoryText(want.caption);
        if (box.caption != caption) {
            StageFailed(what + ": the caption " + Quoted(caption), Quoted(box.caption));
        }
        const std::vector<std::wstring> texts = StoryBoxTexts(want, StageName());
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
        if (box.icon != StoryIconName(want.icon)) {
            StageFailed(what + ": the icon " + StoryIconName(want.icon), box.icon);
        }
        if (want.kind == StoryBoxKind::Failure && box.progressOpen) {
            StageFailed(what + ": the progress window gone before the box", "it open");
        }
        if (SeesWindow(want.see)) {
            if (box.window) {
                CheckSeenWindow(want.see, *box.window, what + ", while it is open");
            } else {
                StageFailed(what + ": the window read while the box is open", "not read");
            }
        }
    }
    return true;
}

// The window once the act is over: as the story says, and no box open.
void CheckWindow(const StoryAct& act, const std::string& where) {
    const SeenWindow window = StageWindow(
        act, [&](const SeenWindow& now) { return !now.boxOpen && WindowShows(act.see, now); });
    if (window.boxOpen) {
        StageFailed(where + ": no message box open once the act is over", "one open");
    }
    CheckSeenWindow(act.see, window, where);
}

// Whether the stage can make `check`; where the table says that it cannot,
// says so and why.
bool Checkable(StoryCheck check, const std::string& where) {
    const std::string why = StageUnchecked(StageName(), check);
    if (!why.empty()) {
        StageNote(where + ": " + StoryCheckName(check) + " not checked on " + StageName() + ": " +
                  why);
    }
    return why.empty();
}

void CheckUnit(const StorySee& see, const std::string& where) {
    if (see.progress && Checkable(StoryCheck::Progress, where)) {
        const std::optional<std::uint32_t> positions = StageProgressPositions();
        if (!positions) {
            StageFailed(where + ": the positions given to the progress bar", "none counted");
        } else if (*positions != *see.progress) {
            StageFailed(where + ": " + std::to_string(*see.progress) +
                            " positions given to the progress bar",
                        std::to_string(*positions));
        }
    }
    const bool reports = see.reports && Checkable(StoryCheck::Reports, where);
    const bool blockWait = see.blockWaitMs && Checkable(StoryCheck::BlockWaitMs, where);
    const bool flash = (see.flashImage || see.flashBlocks) && Checkable(StoryCheck::Flash, where);
    if (!reports && !blockWait && !flash) {
        return;
    }
    const std::optional<SeenUnit> unit = StageUnit();
    if (!unit) {
        return;
    }
    if (reports && unit->reports != *see.reports) {
        StageFailed(where + ": " + std::to_string(*see.reports) + " reports received by the unit",
                    std::to_string(unit->reports));
    }
    if (blockWait) {
        const std::uint64_t least = *see.blockWaitMs * 1000ull;
        if (!unit->leastBlockWaitUs || *unit->leastBlockWaitUs < least) {
            StageFailed(where + ": at least " + std::to_string(least) +
                            " us after each data block's reply",
                        unit->leastBlockWaitUs ? std::to_string(*unit->leastBlockWaitUs) + " us"
                                               : "no block followed by a report");
        }
    }
    if (flash) {
        const std::uint32_t written =
            see.flashImage ? unit->imageSize
                           : std::min(unit->imageSize, *see.flashBlocks * BLOCK_BYTES);
        if (unit->imageBytesHeld < written) {
            StageFailed(where + ": the flash holding the image's first " + std::to_string(written) +
                            " bytes",
                        "only its first " + std::to_string(unit->imageBytesHeld));
        } else if (unit->writtenUpTo > written) {
            StageFailed(where + ": nothing written after the first " + std::to_string(written) +
                            " bytes",
                        "bytes written up to " + std::to_string(unit->writtenUpTo));
        }
    }
}

}  // namespace

void PlayStory(const Story& story) {
    for (std::size_t number = 1; number <= story.acts.size(); ++number) {
        const StoryAct& act = story.acts[number - 1];
        const std::string where = "act " + std::to_string(number) + " (" + ActName(act.what) + ")";
        StageBeginAct(act, number);
        if (SeesWindow(act.before)) {
            CheckSeenWindow(act.before,
                            StageWindow(act, [&](const SeenWindow& now) {
                                return WindowShows(act.before, now);
                            }),
                            where + ", before it");
        }
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

bool WindowShows(const StorySee& see, const SeenWindow& window) {
    const std::optional<std::wstring> hint = HintOf(see);
    bool shows = (!hint || window.hint == *hint) &&
                 (!see.update || window.updateEnabled == *see.update);
    for (const Row& row : ROWS) {
        const std::optional<std::wstring>& want = see.*row.want;
        shows = shows && (!want || window.*row.seen == *want);
    }
    return shows;
}

bool SeesWindow(const StorySee& see) {
    bool sees = see.hint || see.update;
    for (const Row& row : ROWS) {
        sees = sees || (see.*row.want).has_value();
    }
    return sees;
}

void SeeFlash(SeenUnit& seen, const std::vector<std::uint8_t>& flash, const std::uint8_t* image,
              std::uint32_t imageSize) {
    seen.imageSize = imageSize;
    const std::size_t common = std::min<std::size_t>(flash.size(), imageSize);
    seen.imageBytesHeld = static_cast<std::uint32_t>(
        std::mismatch(image, image + common, flash.begin()).first - image);
    const auto lastWritten = std::find_if(flash.rbegin(), flash.rend(),
                                          [](std::uint8_t b) { return b != 0xFF; });
    seen.writtenUpTo = static_cast<std::uint32_t>(flash.rend() - lastWritten);
}

const char* ActName(StoryDo what) {
    const char* const names[] = {"look", "plug", "unplug", "replug", "arm", "update"};
    return names[static_cast<int>(what)];
}
