#include "emulator/win32/updater_session.h"

#include <commctrl.h>
#include <dbt.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "app/shell.h"
#include "emulator/emulated_device.h"
#include "emulator/win32/demo_notifications.h"
#include "emulator/win32/screen_capture.h"
#include "app/win32/main_dialog_win32.h"

namespace {

struct PendingAnswer {
    int button;
    std::wstring screenshot;
};

struct Session {
    std::mutex mutex;
    std::thread dialogThread;
    int result = -1;
    HHOOK cbtHook = nullptr;
    HHOOK callHook = nullptr;
    HHOOK returnHook = nullptr;
    std::wstring screenshots;
    std::deque<PendingAnswer> answers;
    std::vector<SeenBox> boxes;
    std::set<HWND> handledBoxes;
    SeenProgress progress;
    HWND progressWindow = nullptr;
    std::vector<std::string> problems;
    // Set on the dialog's thread, read on any.
    std::atomic<HWND> mainWindowHandle{nullptr};
    std::atomic<std::uint32_t> arrivalsHandled{0};
    std::atomic<std::uint32_t> removalsHandled{0};
    // Dialog thread only: when each box waiting for its answer was noted.
    std::map<HWND, ULONGLONG> boxNotedAt;
};

Session& TheSession() {
    static Session session;
    return session;
}

constexpr UINT_PTR ANSWER_TIMER = 0x0A45;
// How often a box is looked at until it is on screen, and for how long.
constexpr UINT BOX_POLL_MS = 10;
constexpr ULONGLONG BOX_SHOWN_LIMIT_MS = 5000;
constexpr int MESSAGE_BOX_TEXT = 0xFFFF;
// The control of a message box that shows its icon, on Windows and under Wine.
constexpr int ICON_STATIC_ID = 0x14;
constexpr int ICON_STATIC_ID_WINE = 1088;

std::string Narrow(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

std::wstring TextOf(HWND window) {
    wchar_t text[4096] = {};
    GetWindowTextW(window, text, 4096);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

bool ButtonVisible(HWND box, int id) {
    const HWND button = GetDlgItem(box, id);
    // The box is not shown yet when it is activated: look at the style bit.
    return button != nullptr && (GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE) != 0;
}

// Runs in the message box's own loop, every BOX_POLL_MS until the box is on
// screen: then paints it through, takes the screenshot asked for and answers.
// A box that does not come on screen within BOX_SHOWN_LIMIT_MS is noted as a
// problem and answered all the same.
void CALLBACK AnswerBox(HWND box, UINT, UINT_PTR timer, DWORD) {
    Session& session = TheSession();
    const bool shown = IsWindowVisible(box) != FALSE;
    const ULONGLONG waited = GetTickCount64() - session.boxNotedAt[box];
    if (!shown && waited < BOX_SHOWN_LIMIT_MS) {
        return;  // the timer fires again
    }
    KillTimer(box, timer);
    session.boxNotedAt.erase(box);
    if (!shown) {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.problems.push_back("the message box \"" + Narrow(TextOf(box)) +
                                   "\" was not on screen within " +
                                   std::to_string(BOX_SHOWN_LIMIT_MS) + " ms; answered regardless");
    }
    PendingAnswer answer{0, L""};
    std::size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        for (index = 0; index < session.boxes.size(); ++index) {
            if (session.boxes[index].window == box) {
                break;
            }
        }
        if (!session.answers.empty()) {
            answer = session.answers.front();
            session.answers.pop_front();
        }
    }
    if (answer.button == 0) {
        answer.button = ButtonVisible(box, IDCANCEL) ? IDCANCEL : IDOK;
    }
    if (!answer.screenshot.empty()) {
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        updater_session::Screenshot(box, answer.screenshot);
    }
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        if (index < session.boxes.size()) {
            session.boxes[index].answer = answer.button;
        }
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer.button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, answer.button)));
}

void NoteMessageBox(HWND box) {
    Session& session = TheSession();
    SeenBox seen;
    seen.caption = TextOf(box);
    seen.text = TextOf(GetDlgItem(box, MESSAGE_BOX_TEXT));
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
        if (ButtonVisible(box, id)) {
            seen.buttons.push_back(id);
        }
    }
    seen.owner = GetWindow(box, GW_OWNER);
    seen.window = box;
    seen.progressWindowOpen = session.progressWindow != nullptr && IsWindow(session.progressWindow);
    seen.answer = -1;
    // The icon is one of the system's shared icons in the box's icon static.
    for (int iconControl : {ICON_STATIC_ID, ICON_STATIC_ID_WINE}) {
        const auto icon =
            reinterpret_cast<HICON>(SendDlgItemMessageW(box, iconControl, STM_GETICON, 0, 0));
        for (int id : {SEEN_ICON_ERROR, SEEN_ICON_WARNING, SEEN_ICON_INFORMATION}) {
            if (icon != nullptr && icon == LoadIconW(nullptr, MAKEINTRESOURCEW(id))) {
                seen.icon = id;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.boxes.push_back(seen);
    }
    session.boxNotedAt[box] = GetTickCount64();
    SetTimer(box, ANSWER_TIMER, BOX_POLL_MS, AnswerBox);
}

LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam) {
    Session& session = TheSession();
    if (code == HCBT_ACTIVATE) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        if (ClassOf(window) == L"#32770" && GetDlgItem(window, MESSAGE_BOX_TEXT) != nullptr &&
            session.handledBoxes.insert(window).second) {
            NoteMessageBox(window);
        }
    } else if (code == HCBT_CREATEWND) {
        const auto* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
        const bool namedClass = !IS_INTRESOURCE(create->lpszClass);
        if (namedClass && lstrcmpiW(create->lpszClass, PROGRESS_CLASSW) == 0 &&
            (create->style & WS_CHILD) == 0) {
            std::lock_guard<std::mutex> lock(session.mutex);
            session.progressWindow = reinterpret_cast<HWND>(wParam);
            session.progress.created = true;
            session.progress.className = create->lpszClass;
            session.progress.title = create->lpszName != nullptr ? create->lpszName : L"";
            session.progress.style = static_cast<DWORD>(create->style);
            session.progress.exStyle = create->dwExStyle;
            session.progress.x = create->x;
            session.progress.y = create->y;
            session.progress.width = create->cx;
            session.progress.height = create->cy;
            session.progress.owner = create->hwndParent;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK CallHook(int code, WPARAM wParam, LPARAM lParam) {
    Session& session = TheSession();
    const auto* call = reinterpret_cast<CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == PBM_SETPOS && call->hwnd == session.progressWindow) {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.progress.positions.push_back(static_cast<std::uint32_t>(call->wParam));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// After the main window's procedure has returned: hands the window over once
// it has initialised (the shell's own handle is the dialog thread's), and
// counts the device notifications it has dealt with.
LRESULT CALLBACK ReturnHook(int code, WPARAM wParam, LPARAM lParam) {
    Session& session = TheSession();
    const auto* call = reinterpret_cast<CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && mainWindow != 0 && call->hwnd == reinterpret_cast<HWND>(mainWindow)) {
        if (call->message == WM_INITDIALOG) {
            session.mainWindowHandle = call->hwnd;
        } else if (call->message == WM_DEVICECHANGE && call->wParam == DBT_DEVICEARRIVAL) {
            ++session.arrivalsHandled;
        } else if (call->message == WM_DEVICECHANGE && call->wParam == DBT_DEVICEREMOVECOMPLETE) {
            ++session.removalsHandled;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void DialogThread(HANDLE ready) {
    Session& session = TheSession();
    ForwardBusEventsToMainWindow();
    session.cbtHook = SetWindowsHookExW(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
    session.callHook = SetWindowsHookExW(WH_CALLWNDPROC, CallHook, nullptr, GetCurrentThreadId());
    session.returnHook =
        SetWindowsHookExW(WH_CALLWNDPROCRET, ReturnHook, nullptr, GetCurrentThreadId());
    SetEvent(ready);
    session.result = RunUpdater(GetModuleHandleW(nullptr));
    UnhookWindowsHookEx(session.returnHook);
    UnhookWindowsHookEx(session.callHook);
    UnhookWindowsHookEx(session.cbtHook);
}

}  // namespace

namespace updater_session {

bool Start(const std::wstring& screenshots, DWORD timeoutMs) {
    Session& session = TheSession();
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.screenshots = screenshots;
        session.answers.clear();
        session.boxes.clear();
        session.handledBoxes.clear();
        session.progress = SeenProgress{};
        session.progressWindow = nullptr;
        session.problems.clear();
    }
    emulated_bus::Reset();
    mainWindow = 0;
    session.mainWindowHandle = nullptr;
    session.arrivalsHandled = 0;
    session.removalsHandled = 0;
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    session.dialogThread = std::thread(DialogThread, ready);
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    return WaitFor([] { return MainWindow() != nullptr && IsWindowVisible(MainWindow()); },
                   timeoutMs);
}

void OnDialogThread(std::function<void()> work) {
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PostToUpdaterThread([&work, done] {
        work();
        SetEvent(done);
    });
    WaitForSingleObject(done, INFINITE);
    CloseHandle(done);
}

HWND MainWindow() { return TheSession().mainWindowHandle; }

std::wstring Title() { return TextOf(MainWindow()); }

std::wstring ItemText(int id) { return TextOf(GetDlgItem(MainWindow(), id)); }

bool ItemEnabled(int id) { return IsWindowEnabled(GetDlgItem(MainWindow(), id)) != FALSE; }

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

std::uint32_t DeviceEventsHandled(WPARAM kind) {
    if (kind == DBT_DEVICEARRIVAL) {
        return TheSession().arrivalsHandled;
    }
    return kind == DBT_DEVICEREMOVECOMPLETE ? TheSession().removalsHandled.load() : 0;
}

void Answer(int button, const std::wstring& screenshot) {
    std::lock_guard<std::mutex> lock(TheSession().mutex);
    TheSession().answers.push_back({button, screenshot});
}

std::vector<SeenBox> Boxes() {
    std::lock_guard<std::mutex> lock(TheSession().mutex);
    return TheSession().boxes;
}

bool Press(int id, DWORD timeoutMs) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(MainWindow(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                               reinterpret_cast<LPARAM>(GetDlgItem(MainWindow(), id)), SMTO_NORMAL,
                               timeoutMs, &result) != 0;
}

std::vector<std::string> Problems() {
    std::lock_guard<std::mutex> lock(TheSession().mutex);
    return TheSession().problems;
}

SeenProgress Progress() {
    std::lock_guard<std::mutex> lock(TheSession().mutex);
    return TheSession().progress;
}

bool Screenshot(HWND window, const std::wstring& name) {
    const std::wstring folder = TheSession().screenshots;
    WindowCapture capture;
    if (folder.empty() || !CaptureWindow(window, capture)) {
        return false;
    }
    SaveBmp(folder + L"\\" + name + L".bmp", capture);
    return true;
}

int Close() {
    Session& session = TheSession();
    if (MainWindow() != nullptr) {
        PostMessageW(MainWindow(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    if (session.dialogThread.joinable()) {
        session.dialogThread.join();
    }
    session.mainWindowHandle = nullptr;
    return session.result;
}

}  // namespace updater_session
