// The owner's stories as the C++ stages read them: made at build time from
// tests/stories/stories.json (tests/stories/make_story_table.py), with every
// text, status and code by its C++ name, so that a name that does not exist
// fails the build. Each stage plays every story that it can play and skips
// the others with the reason the story gives; what a stage cannot check of
// an act the table says too (StageUnchecked).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/demo_unit.h"
#include "story_kinds.h"  // made from the table beside the table's source

enum class StoryDo { Look, Plug, Unplug, Replug, Arm, Update };

// What must be seen once the act is over; what is not given is not looked at.
// Before an act and while a box is open only the window's part is given.
struct StorySee {
    std::optional<std::uint32_t> hint;
    bool waiting = false;  // the hint in its waiting form (the instructions below)
    std::optional<bool> update;  // Update enabled
    std::optional<std::wstring> unit, unitVersion, bootloader, esc;  // the rows
    std::optional<std::uint32_t> reports;  // reports the unit received in the act
    std::optional<std::uint32_t> progress;  // positions the bar was given
    std::optional<std::uint32_t> blockWaitMs;  // the least wait after a block's reply
    // The ESC's flash: the whole image, or this many blocks of it; 0xFF after.
    bool flashImage = false;
    std::optional<std::uint32_t> flashBlocks;
};

// A code line below a box's text: one of `statuses`, and the last error.
struct StoryCode {
    std::vector<std::uint32_t> statuses;
    std::uint32_t lastError = 0;
};

// A message box the act must bring up, in order, and how it is answered.
struct StoryBox {
    StoryBoxKind kind = StoryBoxKind::Confirmation;
    std::uint32_t caption = 0;
    std::uint32_t text = 0;
    std::wstring fill;  // put in for the text's %s
    std::vector<int> buttons;  // ANSWER_ values, in order
    StoryIcon icon = StoryIcon::Warning;
    // The code line below the text that each stage may show, by the stage's
    // name; none: the text stands alone.
    std::vector<std::pair<std::string, StoryCode>> codes;
    int answer = 0;
    // Done while the box is open, before it is answered: the unit pulled
    // out; the unit that is in pulled out and `unit` plugged in and found;
    // `unit`'s ESC put on the unit's cable, the unit staying on USB.
    StoryWhileOpen whileOpen = StoryWhileOpen::Nothing;
    DemoUnitSettings unit;  // for Plug and SwapEsc
    std::uint32_t purgeMs = 0;  // how long it takes to erase (as the table gives)
    StorySee see;  // the window while the box is open, once whileOpen is done
    std::string shot;  // a screenshot of the box, by this name, or ""
};

struct StoryFault {
    DemoFaultKind kind = DemoFaultKind::None;
    DemoFaultStep step = DemoFaultStep::SystemLock;
    std::string name;  // "KIND at STEP", as the table names them
    std::uint32_t block = 0;
    std::uint32_t errorCode = 0;  // as the table gives it, or its default
    std::uint32_t lastError = 0;  // of a failed write or read: as the table gives it, or its default
};

struct StoryAct {
    StoryDo what = StoryDo::Look;
    DemoUnitSettings unit;  // for Plug
    std::uint32_t purgeMs = 0;  // how long the plugged unit takes to erase (as the table gives)
    bool pullOutFirst = false;  // a unit that is in is pulled out first (Replug)
    StoryFault fault;  // for Arm
    StorySee before;  // the window before the act is done
    std::vector<StoryBox> boxes;
    StorySee see;
    std::string shot;  // a screenshot of the window once the act is over, or ""
};

struct Story {
    std::string name;
    std::string says;
    std::vector<StoryAct> acts;
    // Stages that cannot play the story, each with its reason.
    std::vector<std::pair<std::string, std::string>> cannot;
};

const std::vector<Story>& Stories();

// Why `stage` ("native", "wine", ...) cannot play the story, or "" when it can.
std::string CannotPlay(const Story& story, const std::string& stage);

// Why `stage` cannot make `check` of an act, or "" when it can.
std::string StageUnchecked(const std::string& stage, StoryCheck check);

// The text `id` in the language the stage plays in: each stage defines it.
std::wstring StoryText(std::uint32_t id);

// The texts the box may show on `stage`: its text with the %s filled in
// and, where it has one, below it one of the code lines the stage may show.
std::vector<std::wstring> StoryBoxTexts(const StoryBox& box, const std::string& stage);

// The hint in its waiting form: the status and the instructions below it.
std::wstring StoryWaitingHint(std::uint32_t statusId);

// For GoogleTest's names and messages.
void PrintTo(const Story& story, std::ostream* out);
