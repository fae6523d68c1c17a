// The owner's stories as the C++ stages read them: made at build time from
// tests/stories/stories.json (tests/stories/make_story_table.py), with every
// text, status and code by its C++ name, so that a name that does not exist
// fails the build. Each stage plays every story that it can play and skips
// the others with the reason the story gives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/demo_unit.h"

enum class StoryDo { Look, Plug, Unplug, Replug, Arm, Update };

// A message box the act must bring up, in order, and how it is answered.
struct StoryBox {
    std::string kind;  // "confirmation", "version-question", "failure", "incompatible"
    std::uint32_t caption = 0;
    std::uint32_t text = 0;
    std::wstring fill;  // put in for the text's %s
    std::vector<int> buttons;  // ANSWER_ values, in order
    std::string icon;  // "warning", "error", "information"
    // The code line below the text: status and last-error value. None: the
    // text stands alone.
    std::optional<std::uint32_t> status;
    std::uint32_t lastError = 0;
    // On a real HID stack, where it may differ: the statuses one of which the
    // code line shows, with its last-error value. Empty: as above.
    std::vector<std::uint32_t> realStackStatuses;
    std::uint32_t realStackLastError = 0;
    int answer = 0;
    // Done while the box is open, before it is answered: "unplug"; "plug"
    // (the unit that is in pulled out, `unit` plugged in and found);
    // "swap-esc" (`unit`'s ESC put on the unit's cable, the unit staying on
    // USB); or "".
    std::string whileOpen;
    DemoUnitSettings unit;  // for "plug" and "swap-esc"
    std::uint32_t purgeMs = 0;  // how long it takes to erase (as the table gives)
    std::string shot;  // a screenshot of the box, by this name, or ""
};

// What must be seen once the act is over; what is not given is not looked at.
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

struct StoryFault {
    std::string kind;  // as DemoFaultKindFromName takes it
    std::string step;  // as DemoFaultStepFromName takes it
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

// The text `id` in the language the stage plays in: each stage defines it.
std::wstring StoryText(std::uint32_t id);

// A box's text as it must read: its text with the %s filled in and, when a
// status is given, the code line with it and `lastError` below.
std::wstring StoryBoxText(const StoryBox& box, std::optional<std::uint32_t> status,
                          std::uint32_t lastError);
// ... with the code line the story gives.
std::wstring StoryBoxText(const StoryBox& box);

// The hint in its waiting form: the status and the instructions below it.
std::wstring StoryWaitingHint(std::uint32_t statusId);

// For GoogleTest's names and messages.
void PrintTo(const Story& story, std::ostream* out);
