// The window operations of the native tests: each is recorded in order, the
// dialog's controls keep their texts and enabled states, and message boxes
// are answered from a script.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/window.h"

struct WindowOperation {
    // "text", "enable", "title", "box", "end", "icon", "register", "unregister",
    // "progress", "position", "top", "show", "destroy"; or a kind of the
    // test's own from Note()
    std::string kind;
    int id = 0;          // control id, end result
    std::wstring text;   // text set, or box text
    std::wstring caption;
    std::uint32_t value = 0;  // enabled state, box style
};

struct BoxAnswer {
    int answer;
    // Runs while the box is open (the box's message loop dispatching).
    std::function<void()> whileOpen;
};

namespace recorded_window {

void Reset();
const std::vector<WindowOperation>& Operations();
// Puts an event from outside the window (a report the unit received, say)
// into the same sequence, so that a test sees it in order with the window's
// operations.
void Note(const std::string& kind);
std::vector<WindowOperation> Boxes();

std::wstring ItemText(int id);
bool ItemEnabled(int id);
std::wstring Title();
bool Ended();
int EndResult();

// Answers for the coming message boxes, in order; without one, a box is
// answered with OK.
void QueueBoxAnswer(BoxAnswer answer);
void FailRegistration(bool fail);

// The progress window: whether it can be created, the positions it was set
// to, and whether it still exists.
void FailProgressWindow(bool fail);
const std::vector<std::uint32_t>& ProgressPositions();
bool ProgressWindowExists();
constexpr WindowHandle PROGRESS_WINDOW = 0x7000;

// The window in the foreground (the main window's screen rectangle is
// 100,120 to 560,500).
void SetForeground(WindowHandle window);
// The foreground window asked for, given how many bar positions were set.
void SetForegroundSchedule(std::function<WindowHandle(std::size_t positions)> schedule);

}  // namespace recorded_window
