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
    std::string kind;    // "text", "enable", "title", "box", "end", "icon", "register", "unregister"
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

}  // namespace recorded_window
