// The one player of the owner's stories for the C++ stages: it walks a
// story's acts and makes every check (the boxes, the hint, Update, the rows,
// the progress bar, the reports the unit received, the wait after a block,
// the ESC's flash). Each stage supplies only its driver: the Stage functions
// below, which act and read and never check, defined once per stage as the
// platform's seams are (tests/native/stories_test.cpp,
// tests/wine/stories_e2e_test.cpp, tests/real-hid/wine_updater_driver.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/narrow.h"
#include "tests/stories/story.h"

// A message box as the stage saw it.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;  // ANSWER_ values, in order
    int defaultButton = 0;     // ANSWER_ value
    std::string icon;          // "warning", "error", "information", or what was seen instead
    bool progressOpen = false;  // the progress window was open while the box was
};

// The main window as the stage read it.
struct SeenWindow {
    std::wstring hint;
    bool updateEnabled = false;
    std::wstring unit, unitVersion, bootloader, esc;  // the rows
    bool boxOpen = false;  // a message box is still open
};

// The window as read through `text` (a control's text by its id).
SeenWindow WindowFrom(const std::function<std::wstring(int)>& text, bool updateEnabled,
                      bool boxOpen);

// What the unit went through since the act began.
struct SeenUnit {
    std::uint32_t reports = 0;  // reports it received
    std::optional<std::uint64_t> leastBlockWaitUs;  // after a data block's reply
    std::vector<std::uint8_t> flash;  // the ESC's flash now
    const std::uint8_t* image = nullptr;  // the image the stage writes
    std::uint32_t imageSize = 0;
};

// ---- The stage's driver.

// The stage's name in the table: "native", "wine", "real-stack-wine".
const char* StageName();
// Whether the stage runs on a real HID stack (a box's code line may then be
// one of the table's codeOnRealStack).
bool StageOnRealStack();
// The last-error value this stage shows where the table gives `lastError`
// (a stack that reports a unit gone with another error than Windows).
std::uint32_t StageLastError(std::uint32_t lastError);
// The act `number` (from 1) begins: what the act brings is counted from now.
void StageBeginAct(const StoryAct& act, std::size_t number);
// Does the act (the unit plugged in, pulled out or in again, a fault armed,
// Update pressed) and answers each of its boxes as the story says, doing
// what the box's whileOpen says first. Returns once the act is over, false
// when it could not be done (the stage has said why through StageFailed).
bool StageDo(const StoryAct& act, std::size_t number);
// The boxes that came up since the act began, in order.
std::vector<SeenBox> StageBoxes();
// The main window once `settled` holds of it, or as it is when it does not
// within the stage's time for the act.
SeenWindow StageWindow(const StoryAct& act, const std::function<bool(const SeenWindow&)>& settled);
// The positions the progress bar was given since the act began, or none
// where the stage cannot count them.
std::optional<std::uint32_t> StageProgressPositions();
// What the unit went through since the act began, or none where the unit's
// side is checked by whoever plays it (the kernel HID unit).
std::optional<SeenUnit> StageUnit();
// A check failed: `what` was to be seen, `seen` was seen instead.
void StageFailed(const std::string& what, const std::string& seen);
// The act is done and checked (a screenshot of the window, where the stage
// takes them).
void StageActChecked(const StoryAct& act, std::size_t number);

// ---- The player.

// Plays `story`, which the stage can play, from its first act to its last
// or to the first act that could not be done.
void PlayStory(const Story& story);

// The act's name as the table writes it ("look", "plug", ...).
const char* ActName(StoryDo what);

