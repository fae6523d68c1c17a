// The one player of the owner's stories for the C++ stages: it walks a
// story's acts and makes every check (the window before an act, the boxes
// and the window while each is open, the hint, Update, the rows, the
// progress bar, the reports the unit received, the wait after a block, the
// ESC's flash). Each stage supplies only its driver: the Stage functions
// below, which act and read and never check, defined once per stage as the
// platform's seams are (tests/native/stories_test.cpp,
// tests/wine/stories_e2e_test.cpp, tests/real-hid/wine_updater_driver.cpp).
// What a stage cannot check the table says (StageUnchecked); the player
// says so for each check it leaves, and a check the table does not excuse
// that the driver cannot make fails.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/narrow.h"
#include "tests/stories/story.h"

// The main window as the stage read it.
struct SeenWindow {
    std::wstring hint;
    bool updateEnabled = false;
    std::wstring unit, unitVersion, bootloader, esc;  // the rows
    bool boxOpen = false;  // a message box is still open
};

// A message box as the stage saw it.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;  // ANSWER_ values, in order
    int defaultButton = 0;     // ANSWER_ value
    std::string icon;          // "warning", "error", "information", or what was seen instead
    bool progressOpen = false;  // the progress window was open while the box was
    // The main window while the box was open, once its whileOpen was done
    // (read where the story gives what it must show).
    std::optional<SeenWindow> window;
};

// The window as read through `text` (a control's text by its id).
SeenWindow WindowFrom(const std::function<std::wstring(int)>& text, bool updateEnabled,
                      bool boxOpen);

// Whether `window` shows what `see` gives of the window (the hint, Update,
// the rows): a driver that must wait for the window waits for this.
bool WindowShows(const StorySee& see, const SeenWindow& window);
// Whether `see` gives anything of the window.
bool SeesWindow(const StorySee& see);

// What the unit went through since the act began.
struct SeenUnit {
    std::uint32_t reports = 0;  // reports it received
    std::optional<std::uint64_t> leastBlockWaitUs;  // after a data block's reply
    // The ESC's flash against the image the stage writes: how many of its
    // first bytes are the image's, and the end of what is not 0xFF (0 for
    // a flash that is all 0xFF).
    std::uint32_t imageBytesHeld = 0;
    std::uint32_t writtenUpTo = 0;
    std::uint32_t imageSize = 0;
};

// The flash's part of SeenUnit, from the flash and the image.
void SeeFlash(SeenUnit& seen, const std::vector<std::uint8_t>& flash, const std::uint8_t* image,
              std::uint32_t imageSize);

// ---- The stage's driver.

// The stage's name in the table: "native", "wine", "real-stack-wine".
const char* StageName();
// The act `number` (from 1) begins: what the act brings is counted from now.
void StageBeginAct(const StoryAct& act, std::size_t number);
// Does the act (the unit plugged in, pulled out or in again, a fault armed,
// Update pressed) and answers each of its boxes as the story says, doing
// what the box's whileOpen says first and then, where the box's `see` gives
// anything (SeesWindow), reading the window once it shows it (WindowShows)
// or the stage's time for it is out. Returns once the act is over, false
// when it could not be done (the stage has said why through StageFailed).
bool StageDo(const StoryAct& act, std::size_t number);
// The boxes that came up since the act began, in order.
std::vector<SeenBox> StageBoxes();
// The main window once `settled` holds of it, or as it is when it does not
// within the stage's time for the act.
SeenWindow StageWindow(const StoryAct& act, const std::function<bool(const SeenWindow&)>& settled);
// The positions the progress bar was given since the act began, or none
// where the stage could not count them.
std::optional<std::uint32_t> StageProgressPositions();
// What the unit went through since the act began, or none where the stage
// could not tell (it has said why through StageFailed).
std::optional<SeenUnit> StageUnit();
// A check failed: `what` was to be seen, `seen` was seen instead.
void StageFailed(const std::string& what, const std::string& seen);
// A line for the stage's output: a check not made, and why.
void StageNote(const std::string& line);
// The act is done and checked (a screenshot of the window, where the stage
// takes them).
void StageActChecked(const StoryAct& act, std::size_t number);

// ---- The player.

// Plays `story`, which the stage can play, from its first act to its last
// or to the first act that could not be done.
void PlayStory(const Story& story);

// The act's name as the table writes it ("look", "plug", ...).
const char* ActName(StoryDo what);

