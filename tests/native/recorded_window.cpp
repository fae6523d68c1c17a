#include "tests/native/recorded_window.h"

namespace {

struct Window {
    std::vector<WindowOperation> operations;
    std::map<int, std::wstring> texts;
    std::map<int, bool> enabled;
    std::wstring title;
    bool ended = false;
    int endResult = 0;
    std::deque<BoxAnswer> answers;
    bool registrationFails = false;
    NotificationHandle nextNotification = 0x500;
    bool progressFails = false;
    bool progressExists = false;
    std::vector<std::uint32_t> positions;
    ScreenRect mainRect{100, 120, 560, 500};
    WindowHandle foreground = 0;
    std::function<WindowHandle(std::size_t)> foregroundSchedule;
};

Window& TheWindow() {
    static Window window;
    return window;
}

void Record(WindowOperation operation) { TheWindow().operations.push_back(std::move(operation)); }

}  // namespace

namespace recorded_window {

void Reset() { TheWindow() = Window{}; }
const std::vector<WindowOperation>& Operations() { return TheWindow().operations; }
void Note(const std::string& kind) { Record({kind, 0, L"", L"", 0}); }

std::vector<WindowOperation> Boxes() {
    std::vector<WindowOperation> boxes;
    for (const auto& operation : TheWindow().operations) {
        if (operation.kind == "box") {
            boxes.push_back(operation);
        }
    }
    return boxes;
}

std::wstring ItemText(int id) { return TheWindow().texts[id]; }

bool ItemEnabled(int id) {
    auto it = TheWindow().enabled.find(id);
    return it == TheWindow().enabled.end() ? true : it->second;
}

std::wstring Title() { return TheWindow().title; }
bool Ended() { return TheWindow().ended; }
int EndResult() { return TheWindow().endResult; }
void QueueBoxAnswer(BoxAnswer answer) { TheWindow().answers.push_back(std::move(answer)); }
void FailRegistration(bool fail) { TheWindow().registrationFails = fail; }
void FailProgressWindow(bool fail) { TheWindow().progressFails = fail; }
const std::vector<std::uint32_t>& ProgressPositions() { return TheWindow().positions; }
bool ProgressWindowExists() { return TheWindow().progressExists; }
void SetForeground(WindowHandle window) { TheWindow().foreground = window; }
void SetForegroundSchedule(std::function<WindowHandle(std::size_t)> schedule) {
    TheWindow().foregroundSchedule = std::move(schedule);
}

}  // namespace recorded_window

void SetItemText(WindowHandle, int id, const std::wstring& text) {
    TheWindow().texts[id] = text;
    Record({"text", id, text, L"", 0});
}

std::wstring GetItemText(WindowHandle, int id) { return TheWindow().texts[id]; }

void EnableItem(WindowHandle, int id, bool enable) {
    TheWindow().enabled[id] = enable;
    Record({"enable", id, L"", L"", enable ? 1u : 0u});
}

void SetWindowTitle(WindowHandle, const std::wstring& title) {
    TheWindow().title = title;
    Record({"title", 0, title, L"", 0});
}

int ShowMessageBox(WindowHandle, const std::wstring& text, const std::wstring& caption,
                   std::uint32_t style) {
    Record({"box", 0, text, caption, style});
    Window& window = TheWindow();
    if (window.answers.empty()) {
        return ANSWER_OK;
    }
    BoxAnswer answer = std::move(window.answers.front());
    window.answers.pop_front();
    if (answer.whileOpen) {
        answer.whileOpen();
    }
    return answer.answer;
}

void EndDialogWith(WindowHandle, int result) {
    TheWindow().ended = true;
    TheWindow().endResult = result;
    Record({"end", result, L"", L"", 0});
}

void SetApplicationIcon(WindowHandle) { Record({"icon", 0, L"", L"", 0}); }

NotificationHandle RegisterHidNotifications(WindowHandle) {
    Record({"register", 0, L"", L"", 0});
    if (TheWindow().registrationFails) {
        return 0;
    }
    return TheWindow().nextNotification++;
}

void UnregisterHidNotifications(NotificationHandle notification) {
    Record({"unregister", 0, L"", L"", static_cast<std::uint32_t>(notification)});
}

ScreenRect GetWindowRectangle(WindowHandle) { return TheWindow().mainRect; }

WindowHandle CreateProgressWindow(WindowHandle owner, const std::wstring& title, int x, int y,
                                  int width, int height) {
    WindowOperation operation{"progress", 0, title, L"", 0};
    operation.caption = std::to_wstring(x) + L"," + std::to_wstring(y) + L"," +
                        std::to_wstring(width) + L"x" + std::to_wstring(height) + L" owner " +
                        std::to_wstring(owner);
    Record(operation);
    if (TheWindow().progressFails) {
        return 0;
    }
    TheWindow().progressExists = true;
    return recorded_window::PROGRESS_WINDOW;
}

void SetProgressPosition(WindowHandle, std::uint32_t position) {
    TheWindow().positions.push_back(position);
    Record({"position", 0, L"", L"", position});
}

void RaiseWindowToTop(WindowHandle window) {
    Record({"top", 0, L"", L"", static_cast<std::uint32_t>(window)});
}

WindowHandle ForegroundWindow() {
    Window& window = TheWindow();
    if (window.foregroundSchedule) {
        return window.foregroundSchedule(window.positions.size());
    }
    return window.foreground;
}

void ShowWindowNormally(WindowHandle window) {
    Record({"show", 0, L"", L"", static_cast<std::uint32_t>(window)});
}

void DestroyWindowNow(WindowHandle window) {
    if (window == recorded_window::PROGRESS_WINDOW) {
        TheWindow().progressExists = false;
    }
    Record({"destroy", 0, L"", L"", static_cast<std::uint32_t>(window)});
}
