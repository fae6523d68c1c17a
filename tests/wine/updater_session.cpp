#include "tests/wine/updater_session.h"

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
#include "tests/narrow.h"
#include "tests/poll.h"
#include "tests/wine/screen_capture.h"
#include "app/win32/main_dialog_win32.h"

namespace {

struct PendingAnswer {
    int button = 0;
    std::wstring screenshot;
    // Done on the dialog's thread while the box is open, before the answer,
    // which then waits for one more notification of `awaitEvent`.
    std::function<void()> work;
    WPARAM awaitEvent = 0;
    // Done on the dialog's thread once that notification is handled, right
    // before the answer: a look at the window while the box is open.
    std::function<void()> look;
};

// A box on its way to its answer (dialog thread only).
struct BoxInWaiting {
    ULONGLONG notedAt = 0;
    bool answerTaken = false;
    PendingAnswer answer;
    std::uint32_t eventsBeforeWork = 0;
    ULONGLONG workDoneAt = 0;
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
    std::vector<ShownBox> boxes;
    std::set<HWND> handledBoxes;
    SeenProgress progress;
    HWND progressWindow = nullptr;
    std::vector<std::string> problems;
    // Set on the dialog's thread, read on any.
    std::atomic<HWND> mainWindowHandle{nullptr};
    std::atomic<std::uint32_t> arrivalsHandled{0};
    std::atomic<std::uint32_t> removalsHandled{0};
    // Dialog thread only: the boxes waiting for their answers.
    std::map<HWND, BoxInWaiting> boxesInWaiting;
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
// A message that no window is ever sent.
constexpr UINT NEVER_SENT = WM_APP + 0x3FFF;

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

std::uint32_t EventsHandled(WPARAM kind) {
    Session& session = TheSession();
    if (kind == DBT_DEVICEARRIVAL) {
        return session.arrivalsHandled;
    }
    return kind == DBT_DEVICEREMOVECOMPLETE ? session.removalsHandled.load() : 0;
}

void NoteProblem(const std::string& problem) {
    std::lock_guard<std::mutex> lock(TheSession().mutex);
    TheSession().problems.push_back(problem);
}

// Takes the box's answer from the queue (Cancel, or OK, when none is
// queued) and does its work.
void TakeAnswer(HWND box, BoxInWaiting& waiting) {
    Session& session = TheSession();
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        if (!session.answers.empty()) {
            waiting.answer = session.answers.front();
            session.answers.pop_front();
        }
    }
    if (waiting.answer.button == 0) {
        waiting.answer.button = ButtonVisible(box, IDCANCEL) ? IDCANCEL : IDOK;
    }
    waiting.answerTaken = true;
    if (waiting.answer.work) {
        waiting.eventsBeforeWork = EventsHandled(waiting.answer.awaitEvent);
        waiting.answer.work();
        waiting.workDoneAt = GetTickCount64();
    }
}

// Runs in the message box's own loop, every BOX_POLL_MS until the box is
// answered: once the box is on screen, does the answer's work and, when the
// window has handled what the work set off, paints the box through, takes
// the screenshot asked for and answers. A box that does not come on screen
// within BOX_SHOWN_LIMIT_MS, or whose work's notification is not handled
// within as long, is noted as a problem and answered all the same.
void CALLBACK AnswerBox(HWND box, UINT, UINT_PTR timer, DWORD) {
    Session& session = TheSession();
    BoxInWaiting& waiting = session.boxesInWaiting[box];
    if (!waiting.answerTaken) {
        const bool shown = IsWindowVisible(box) != FALSE;
        if (!shown && GetTickCount64() - waiting.notedAt < BOX_SHOWN_LIMIT_MS) {
            return;  // the timer fires again
        }
        if (!shown) {
            NoteProblem("the message box \"" + Narrow(TextOf(box)) + "\" was not on screen within " +
                        std::to_string(BOX_SHOWN_LIMIT_MS) + " ms; answered regardless");
        }
        TakeAnswer(box, waiting);
    }
    if (waiting.answer.work && waiting.answer.awaitEvent != 0 &&
        EventsHandled(waiting.answer.awaitEvent) <= waiting.eventsBeforeWork) {
        if (GetTickCount64() - waiting.workDoneAt < BOX_SHOWN_LIMIT_MS) {
            return;  // the box's loop hands the notification on meanwhile
        }
        NoteProblem("the window did not handle the notification that the work for the box \"" +
                    Narrow(TextOf(box)) + "\" set off within " +
                    std::to_string(BOX_SHOWN_LIMIT_MS) + " ms; answered regardless");
    }
    KillTimer(box, timer);
    if (waiting.answer.look) {
        waiting.answer.look();
    }
    if (!waiting.answer.screenshot.empty()) {
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        updater_session::Screenshot(box, waiting.answer.screenshot);
    }
    const int button = waiting.answer.button;
    session.boxesInWaiting.erase(box);
    // The default button by its style, once the box is on screen (not yet
    // when it is activated): Wine's boxes answer DM_GETDEFID with IDOK
    // whatever their buttons.
    int defaultButton = 0;
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
        const HWND control = GetDlgItem(box, id);
        if (control != nullptr && ButtonVisible(box, id) &&
            (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            defaultButton = id;
        }
    }
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        for (ShownBox& seen : session.boxes) {
            if (seen.window == box) {
                seen.answer = button;
                seen.defaultButton = defaultButton;
            }
        }
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

void NoteMessageBox(HWND box) {
    Session& session = TheSession();
    ShownBox seen;
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
    session.boxesInWaiting[box].notedAt = GetTickCount64();
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

std::wstring ScreenshotFolderFromEnvironment() {
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ORVANTO_SCREENSHOTS", folder, MAX_PATH) == 0) {
        return L"";
    }
    CreateDirectoryW(folder, nullptr);
    return folder;
}

bool Start(const std::wstring& screenshots, DWORD timeoutMs) {
    Session& session = TheSession();
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.screenshots = screenshots;
        session.answers.clear();
        session.boxes.clear();
        session.handledBoxes.clear();
        session.boxesInWaiting.clear();
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
    return PollUntil(condition, timeoutMs, 20);
}

std::uint32_t DeviceEventsHandled(WPARAM kind) { return EventsHandled(kind); }

bool AwaitDeviceEvent(WPARAM kind, const std::function<void()>& work, DWORD timeoutMs) {
    const std::uint32_t before = EventsHandled(kind);
    OnDialogThread(work);
    return WaitFor([&] { return EventsHandled(kind) > before; }, timeoutMs);
}

void Answer(int button, const std::wstring& screenshot) {
    AnswerAfter(button, nullptr, 0, screenshot);
}

void AnswerAfter(int button, std::function<void()> work, WPARAM awaitEvent,
                 const std::wstring& screenshot, std::function<void()> look) {
    std::lock_guard<std::mutex> lock(TheSession().mutex);
    TheSession().answers.push_back(
        {button, screenshot, std::move(work), awaitEvent, std::move(look)});
}

std::vector<ShownBox> Boxes() {
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

void PaintThrough() {
    OnDialogThread([] {
        RedrawWindow(MainWindow(), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    });
}

bool Screenshot(HWND window, const std::wstring& name) {
    const std::wstring folder = TheSession().screenshots;
    // Under Wine what the windows paint reaches the screen in pieces while
    // their thread is busy, and in full once a thread of the process looks
    // for messages and finds none: looking for one that never comes puts all
    // that is painted on screen before it is captured.
    MSG none;
    PeekMessageW(&none, nullptr, NEVER_SENT, NEVER_SENT, PM_NOREMOVE);
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

std::vector<std::string> Finish() {
    const int result = Close();
    std::vector<std::string> problems = Problems();
    if (result != 0) {
        problems.insert(problems.begin(), "the updater's run returned " + std::to_string(result));
    }
    return problems;
}

}  // namespace updater_session
