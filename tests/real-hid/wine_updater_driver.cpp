// orvanto-wine-driver: runs the product program, orvanto-updater.exe, as a
// user would and reads what its windows say. The program has no test hooks:
// this driver is another process of the same desktop, which finds the main
// dialog and the message boxes by their class, owner process and title,
// reads their texts with WM_GETTEXT, and presses buttons by posting the
// WM_COMMAND a click sends. Only a message box's icon is read inside the
// program, by orvanto-wine-box-icon.dll (wine_box_icon_hook.cpp says why).
// Every wait is bounded; a step that does not come fails with what the
// window showed instead.
//
// usage: orvanto-wine-driver UPDATER.EXE stories
//        orvanto-wine-driver UPDATER.EXE update
//        orvanto-wine-driver desktop
//
// stories: plays the owner's stories (tests/stories/, Stories()) in one run
// of the program: the driver does the window's side of each act, whoever
// runs it (tests/real-hid/wine.test.mjs) the unit's side. They speak in
// lines, in on standard input and out on standard output:
//   out "ready: the main window is up"     once the program's window is there
//   in  "story NAME"                       plays the story NAME:
//     out "act N unit: DO"                 at the start of each act (DO:
//                                          look, plug, unplug, replug, arm,
//                                          update) once the driver is ready
//                                          for it; answered "go" when the
//                                          unit's side of the act is done,
//                                          "stop" to give the story up
//     out "act N box B unit: WHILEOPEN"    while box B is open, when the
//                                          story does something then
//                                          (unplug, plug, swap-esc);
//                                          answered "go" or "stop"
//     out "act N unit: seen"               once the act is over, where the
//                                          story checks the unit's side;
//                                          answered "seen reports=R
//                                          least-us=W|none held=H upto=U
//                                          size=S" (SeenUnit's fields) or
//                                          "stop"
//     out "act N done" or "act N failed: WHAT"
//                                          once the act is checked
//     out "story NAME: passed", "story NAME: failed" or "story NAME: stopped"
//                                          at its end; after a failure the
//                                          boxes still open are closed
//   in  "close"                            presses Close; out "closed: exit
//                                          code N", and the driver ends, with
//                                          0 when N is 0
// A story starts from a window without a unit, whatever its hint: the
// driver waits until Update is off and no box is open. The window's side of
// an act: Update pressed; each box of the act awaited, read, the window
// read while it is open where the story says what it must show, and
// answered; then the window read once it shows what the act must leave (or
// the act's time is up, or a box the story does not foresee is open). The
// story's player (tests/stories/play_story.h) checks what was read and what
// the unit's side saw. Other lines out tell what was seen.
//
// update: the unit plugged in before the start is found; one whole update
// with the program's real waits; Close. Prints "update: S s from the
// confirmation to the success text" (tests/real-hid/guest-measure-wine.sh).
//
// desktop: holds Wine's desktop for the programs that follow: Wine ends its
// desktop process (explorer.exe) and the desktop shortly after the last
// program on it, and a program that then comes starts it anew, which under
// an emulated processor can leave the session without a desktop that
// programs get a window on (tests/real-hid/guest-wine-lib.sh says more).
// This opens a hidden window, says "ready: the desktop is up (thread ID)"
// once it has one (exit status 3 when it got none), and then waits until
// Wine is shut down.
//
// Exits 0 when every check passed, 1 otherwise ("FAIL: ..." says why), 2 for
// bad usage.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/window.h"
#include "res/resource.h"
#include "tests/poll.h"
#include "tests/real-hid/say.h"
#include "tests/stories/play_story.h"
#include "tests/wine/box_icons.h"
#include "tests/wine/expected_texts.h"
#include "tests/window_title.h"

namespace {

using expected_texts::Text;

constexpr int BOX_TEXT_ID = 0xFFFF;  // the static control of a message box's text
constexpr const char* STAGE = "real-stack-wine";

// Limits, generous for an emulated processor: a start of Wine's own services
// and of the program, a discovery, an update with its 46 s of waits.
constexpr DWORD START_LIMIT_MS = 240000;
constexpr DWORD DISCOVERY_LIMIT_MS = 180000;
constexpr DWORD BOX_LIMIT_MS = 120000;
constexpr DWORD UPDATE_LIMIT_MS = 900000;
constexpr DWORD EXIT_LIMIT_MS = 60000;
// Once the hint is there, the rows and Update are in place within this.
constexpr DWORD SETTLE_LIMIT_MS = 10000;

// A check that did not hold: what was to be seen, and what was.
struct Failure {
    std::string what;
};

// The other side gave the story up.
struct Stopped {};

[[noreturn]] void Fail(const std::string& what, const std::string& seen) {
    throw Failure{what + ": saw " + seen};
}

std::string Quoted(const std::wstring& text) { return "\"" + Narrow(text) + "\""; }

// WM_GETTEXT, which the system carries across processes. False when the
// window's thread did not answer within `limitMs` (it is busy, e.g. in an
// update).
bool ReadText(HWND window, std::wstring& text, DWORD limitMs = 2000) {
    std::vector<wchar_t> buffer(8192, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_NORMAL, limitMs,
                             &copied)) {
        return false;
    }
    text.assign(buffer.data());
    return true;
}

struct Box {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;  // the visible ones of IDOK, IDCANCEL, IDYES, IDNO
    int defaultButton = 0;
    // The system icon's resource id as orvanto-wine-box-icon.dll saw it: 0
    // not seen (yet), 1 none.
    ULONG_PTR icon = 0;
};

class Updater {
public:
    explicit Updater(const std::wstring& path) : path_(path) { Start(); }

    ~Updater() { End(); }

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Waits for the main window. A program whose first window comes while
    // Wine's desktop process is not there, or starts too slowly (Wine gives
    // it 10 s; under an emulated processor it may take longer), gets no
    // window at all and ends at once with exit code 0: it is started again
    // then, twice at most.
    void AwaitMainWindow() {
        for (int attempt = 1;; ++attempt) {
            try {
                Await(START_LIMIT_MS, "the main window appears", [&] {
                    main_ = FindTopLevel(L"#32770", [&](HWND window) {
                        wchar_t title[128] = {};
                        GetWindowTextW(window, title, 128);
                        return std::wstring(title) == WINDOW_TITLE;
                    });
                    return main_ != nullptr;
                });
                return;
            } catch (const Failure&) {
                DWORD code = 1;
                if (attempt == 3 || Running() || !GetExitCodeProcess(process_.hProcess, &code) ||
                    code != 0) {
                    throw;
                }
                Say("the program ended with exit code 0 before its window came: Wine's desktop "
                    "was not ready; started again");
                End();
                Start();
            }
        }
    }

    // Has orvanto-wine-box-icon.dll, next to this program, mark the icon of
    // each message box of the program's window thread.
    void WatchBoxIcons() {
        wchar_t own[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
        std::wstring path(own, length);
        path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"orvanto-wine-box-icon.dll";
        const HMODULE module = LoadLibraryW(path.c_str());
        const auto hook = module == nullptr ? nullptr
                                            : reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(
                                                  GetProcAddress(module, "BoxIconHook")));
        const DWORD thread = GetWindowThreadProcessId(main_, nullptr);
        if (hook == nullptr || SetWindowsHookExW(WH_CBT, hook, module, thread) == nullptr) {
            Fail("the box icons can be watched", Narrow(path) + " not loaded or hooked, error " +
                                                     std::to_string(GetLastError()));
        }
        // Wine's window thread takes up a new hook with the next message it gets.
        PostMessageW(main_, WM_NULL, 0, 0);
    }

    HWND Item(int id) const { return GetDlgItem(main_, id); }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }

    std::wstring ItemText(int id) {
        std::wstring text;
        if (!ReadText(Item(id), text)) {
            return L"(no answer)";
        }
        return text;
    }

    std::string Rows() {
        return Narrow(ItemText(IDC_LABEL_UNIT)) + " " + Narrow(ItemText(IDC_VERSION_UNIT)) + ", " +
               Narrow(ItemText(IDC_LABEL_BOOTLOADER)) + " " +
               Narrow(ItemText(IDC_VERSION_BOOTLOADER)) + ", " + Narrow(ItemText(IDC_LABEL_ESC)) +
               " " + Narrow(ItemText(IDC_VERSION_ESC)) + "; Update " +
               (Enabled(IDC_UPDATE) ? "on" : "off");
    }

    // A message box over the main window, shown and with its text in place.
    bool FindBox(Box& box) {
        const HWND window = FindTopLevel(L"#32770", [&](HWND candidate) {
            return candidate != main_ && GetWindow(candidate, GW_OWNER) == main_ &&
                   IsWindowVisible(candidate) && GetDlgItem(candidate, BOX_TEXT_ID) != nullptr;
        });
        if (window == nullptr) {
            return false;
        }
        box = Box{};
        box.window = window;
        wchar_t caption[512] = {};
        GetWindowTextW(window, caption, 512);
        box.caption = caption;
        if (!ReadText(GetDlgItem(window, BOX_TEXT_ID), box.text)) {
            return false;
        }
        // The default button by its style: Wine's boxes answer DM_GETDEFID
        // with IDOK whatever their buttons.
        for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
            const HWND button = GetDlgItem(window, id);
            if (button != nullptr && IsWindowVisible(button)) {
                box.buttons.push_back(id);
                if ((GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                    box.defaultButton = id;
                }
            }
        }
        box.icon = reinterpret_cast<ULONG_PTR>(GetPropW(window, L"orvanto-box-icon"));
        return !box.buttons.empty();
    }

    Box AwaitBox(const std::string& what, DWORD limitMs) {
        Box box;
        Await(limitMs, what, [&] { return FindBox(box); });
        return box;
    }

    // The box's icon as orvanto-wine-box-icon.dll marked it, which it does
    // as the box is activated or focused: that may come just after the box
    // is shown.
    void AwaitIcon(Box& box) {
        PollUntil([&] {
            box.icon = reinterpret_cast<ULONG_PTR>(GetPropW(box.window, L"orvanto-box-icon"));
            return box.icon != 0;
        }, 5000, 50);
    }

    // Whether the update's progress window is there.
    bool ProgressWindowOpen() {
        return FindTopLevel(L"msctls_progress32", [](HWND) { return true; }) != nullptr;
    }

    void Press(const Box& box, int id) {
        PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box.window, id)));
        // The box is gone before anything else is looked at.
        Await(BOX_LIMIT_MS, "the box closes", [&] { return !IsWindow(box.window); });
    }

    void Click(int id) {
        PostMessageW(main_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Item(id)));
    }

    // Waits until the hint box says `expected`; a message box on the way
    // (but `open`, one that is known to be open) fails the wait with its text.
    void AwaitHint(const std::wstring& expected, const std::string& what, DWORD limitMs,
                   HWND open = nullptr) {
        std::wstring hint;
        Await(limitMs, what, [&] {
            Box box;
            if (FindBox(box) && box.window != open) {
                Fail(what, "a message box " + Quoted(box.caption) + ": " + Narrow(box.text));
            }
            return ReadText(Item(IDC_HINT), hint, 1000) && hint == expected;
        });
    }

    // Answers every box that is open, Cancel or No where it has them, until
    // none comes for a second; after a failed story.
    void CloseBoxes() {
        ULONGLONG quiet = GetTickCount64() + 1000;
        const ULONGLONG end = GetTickCount64() + BOX_LIMIT_MS;
        while (GetTickCount64() < quiet && GetTickCount64() < end && Running()) {
            Box box;
            if (FindBox(box)) {
                int answer = box.buttons.front();
                for (int id : {IDCANCEL, IDNO}) {
                    for (int button : box.buttons) {
                        answer = button == id ? id : answer;
                    }
                }
                Say("closing a box left open: %s (%s)", Quoted(box.caption).c_str(),
                    Narrow(box.text).c_str());
                PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(box.window, answer)));
                quiet = GetTickCount64() + 1000;
            }
            Sleep(100);
        }
    }

    bool Running() { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

    DWORD AwaitExit() {
        if (WaitForSingleObject(process_.hProcess, EXIT_LIMIT_MS) != WAIT_OBJECT_0) {
            Fail("the program ends", "it still runs " + std::to_string(EXIT_LIMIT_MS / 1000) +
                                         " s later");
        }
        DWORD code = 12345;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

    // Polls `done` every 100 ms for at most `limitMs`; fails with what the
    // window shows when it never holds.
    void Await(DWORD limitMs, const std::string& what, const std::function<bool()>& done) {
        const bool held = PollUntil([&] {
            if (done()) {
                return true;
            }
            if (!Running()) {
                DWORD code = 0;
                GetExitCodeProcess(process_.hProcess, &code);
                Fail(what, "the program ended with exit code " + std::to_string(code));
            }
            return false;
        }, limitMs, 100);
        if (!held) {
            Fail(what, Situation() + " (after " + std::to_string(limitMs / 1000) + " s)");
        }
    }

    // What the windows show, for a failure message.
    std::string Situation() {
        if (main_ == nullptr) {
            return "no main window";
        }
        std::wstring hint;
        std::string seen = ReadText(Item(IDC_HINT), hint, 1000)
                               ? "hint " + Quoted(hint) + ", rows " + Rows()
                               : "a main window that does not answer";
        Box box;
        if (FindBox(box)) {
            seen += ", message box " + Quoted(box.caption) + ": " + Narrow(box.text);
        }
        return seen;
    }

private:
    void Start() {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        std::wstring command = L"\"" + path_ + L"\"";
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process_)) {
            Fail("the updater starts", "CreateProcessW error " + std::to_string(GetLastError()));
        }
        Say("started %s, process %lu", Narrow(path_).c_str(), process_.dwProcessId);
    }

    void End() {
        if (process_.hProcess != nullptr) {
            if (Running()) {
                TerminateProcess(process_.hProcess, 99);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
            process_ = PROCESS_INFORMATION{};
        }
    }

    HWND FindTopLevel(const wchar_t* className, const std::function<bool(HWND)>& wanted) {
        struct Search {
            DWORD process;
            const wchar_t* className;
            const std::function<bool(HWND)>* wanted;
            HWND found;
        } search{process_.dwProcessId, className, &wanted, nullptr};
        EnumWindows(
            [](HWND window, LPARAM data) -> BOOL {
                auto* search = reinterpret_cast<Search*>(data);
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                wchar_t name[64] = {};
                GetClassNameW(window, name, 64);
                if (process == search->process && lstrcmpiW(name, search->className) == 0 &&
                    (*search->wanted)(window)) {
                    search->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    std::wstring path_;
    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
};

void Expect(bool passed, const std::string& what, const std::string& seen) {
    if (!passed) {
        Fail(what, seen);
    }
}

// ---------------------------------------------------------------- the stories

// A line of the other side, without its line end; "" at the end of input.
std::string ReadLine() {
    char buffer[1024];
    if (std::fgets(buffer, sizeof(buffer), stdin) == nullptr) {
        return "";
    }
    std::string line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// Says `request` and returns the other side's answer ("stop" ends the story).
std::string Ask(const std::string& request) {
    Say("%s", request.c_str());
    const std::string answer = ReadLine();
    if (answer == "stop") {
        throw Stopped{};
    }
    return answer;
}

// Says `request` and waits for the other side's "go".
void Request(const std::string& request) {
    const std::string answer = Ask(request);
    if (answer != "go") {
        Fail("the answer to \"" + request + "\"",
             answer.empty() ? "the end of the input" : "\"" + answer + "\"");
    }
}

// The story being played: the program, and what its act has brought.
struct Play {
    Updater* updater = nullptr;
    std::vector<SeenBox> boxes;
    DWORD limitMs = BOX_LIMIT_MS;  // how long the act may take
    ULONGLONG confirmedAt = 0;
    std::size_t act = 0;  // its number, from 1
};
Play play;

// Plays the story; says how it ended.
void PlayNamedStory(Updater& updater, const std::string& name) {
    const Story* story = nullptr;
    for (const Story& candidate : Stories()) {
        story = candidate.name == name ? &candidate : story;
    }
    try {
        Expect(story != nullptr, "a story of the table", "no story " + name);
        const std::string reason = CannotPlay(*story, StageName());
        Expect(reason.empty(), "a story this stage plays", "\"" + reason + "\"");
        updater.Await(DISCOVERY_LIMIT_MS, "a window without a unit and without a box", [&] {
            Box box;
            return !updater.Enabled(IDC_UPDATE) && !updater.FindBox(box);
        });
        play = Play{};
        play.updater = &updater;
        PlayStory(*story);
        Say("story %s: passed", name.c_str());
        return;
    } catch (const Failure& failure) {
        Say("act %zu failed: %s", play.act, failure.what.c_str());
        updater.CloseBoxes();
        Say("story %s: failed", name.c_str());
    } catch (const Stopped&) {
        updater.CloseBoxes();
        Say("story %s: stopped", name.c_str());
    }
}

int RunStories(const std::wstring& path) {
    Updater updater(path);
    updater.AwaitMainWindow();
    updater.WatchBoxIcons();
    Say("ready: the main window is up");
    for (;;) {
        const std::string line = ReadLine();
        if (line.rfind("story ", 0) == 0) {
            PlayNamedStory(updater, line.substr(6));
        } else if (line == "close") {
            updater.Click(IDCANCEL);
            const DWORD code = updater.AwaitExit();
            Say("closed: exit code %lu", code);
            return code == 0 ? 0 : 1;
        } else {
            Fail("a line \"story NAME\" or \"close\"",
                 line.empty() ? "the end of the input" : "\"" + line + "\"");
        }
    }
}

// ---------------------------------------------------------------- update

int RunUpdate(const std::wstring& path) {
    Updater updater(path);
    updater.AwaitMainWindow();
    updater.AwaitHint(Text(IDS_READY), "the unit is found and Ready", DISCOVERY_LIMIT_MS);
    Say("rows: %s", updater.Rows().c_str());
    Expect(updater.Enabled(IDC_UPDATE), "Update can be pressed", "it disabled");
    updater.Click(IDC_UPDATE);
    const Box confirm = updater.AwaitBox("the confirmation box appears", BOX_LIMIT_MS);
    Expect(confirm.caption == Text(IDS_CONFIRM_CAPTION), "the confirmation box",
           Quoted(confirm.caption));
    const ULONGLONG confirmed = GetTickCount64();
    updater.Press(confirm, IDOK);
    updater.AwaitHint(Text(IDS_UPDATE_SUCCEEDED), "the update ends with the success text",
                      UPDATE_LIMIT_MS);
    Say("update: %.1f s from the confirmation to the success text",
        static_cast<double>(GetTickCount64() - confirmed) / 1000.0);
    Say("rows: %s", updater.Rows().c_str());
    updater.Click(IDCANCEL);
    const DWORD code = updater.AwaitExit();
    Expect(code == 0, "Close ends the program with exit code 0",
           "exit code " + std::to_string(code));
    return 0;
}

int HoldDesktop() {
    const HWND window = CreateWindowExW(0, L"STATIC", L"orvanto-wine-desktop", WS_OVERLAPPED, 0, 0,
                                        10, 10, nullptr, nullptr, GetModuleHandleW(nullptr),
                                        nullptr);
    if (window == nullptr) {
        Say("FAIL: a window on Wine's desktop: error %lu", GetLastError());
        return 3;
    }
    // Wine's error lines start with the thread's id: whoever started this
    // can tell its lines from the desktop process's.
    Say("ready: the desktop is up (thread %04lx)", GetCurrentThreadId());
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

std::wstring StoryText(std::uint32_t id) { return Text(id); }

// ---- The player's driver: the window's side of each act, the unit's side
// asked of the other end of the lines.

const char* StageName() { return STAGE; }

void StageBeginAct(const StoryAct& act, std::size_t number) {
    play.act = number;
    play.boxes.clear();
    play.confirmedAt = 0;
    play.limitMs = act.what == StoryDo::Update ? UPDATE_LIMIT_MS
                   : act.what == StoryDo::Plug || act.what == StoryDo::Replug ? DISCOVERY_LIMIT_MS
                                                                                : BOX_LIMIT_MS;
}

bool StageDo(const StoryAct& act, std::size_t number) {
    Updater& updater = *play.updater;
    const std::string where = "act " + std::to_string(number);
    Request(where + " unit: " + ActName(act.what));
    if (act.what == StoryDo::Update) {
        updater.Click(IDC_UPDATE);
    }
    for (std::size_t index = 0; index < act.boxes.size(); ++index) {
        const StoryBox& want = act.boxes[index];
        const std::string what = where + " box " + std::to_string(index + 1) + " (" +
                                 StoryBoxKindName(want.kind) + ")";
        Box box = updater.AwaitBox(what + " appears", play.limitMs);
        updater.AwaitIcon(box);
        SeenBox seen;
        seen.caption = box.caption;
        seen.text = box.text;
        seen.buttons = box.buttons;  // the buttons' ids are the answers
        seen.defaultButton = box.defaultButton;
        seen.icon = box.icon == 0 ? "not seen" : box.icon == 1 ? "none" : BoxIconName(box.icon);
        seen.progressOpen = updater.ProgressWindowOpen();
        play.boxes.push_back(seen);
        Say("%s: %s: %s; buttons %zu, default %d, icon %s", what.c_str(),
            Quoted(seen.caption).c_str(), Narrow(seen.text).c_str(), seen.buttons.size(),
            seen.defaultButton, seen.icon.c_str());
        if (want.whileOpen != StoryWhileOpen::Nothing) {
            Request(where + " box " + std::to_string(index + 1) +
                    " unit: " + StoryWhileOpenName(want.whileOpen));
        }
        if (SeesWindow(want.see)) {
            SeenWindow window;
            PollUntil([&] {
                window = WindowFrom([&](int id) { return updater.ItemText(id); },
                                    updater.Enabled(IDC_UPDATE), true);
                return WindowShows(want.see, window) || !updater.Running();
            }, DISCOVERY_LIMIT_MS, 100);
            play.boxes.back().window = window;
        }
        updater.Press(box, want.answer);
        if (want.kind == StoryBoxKind::Confirmation) {
            play.confirmedAt = GetTickCount64();
        }
    }
    return true;
}

std::vector<SeenBox> StageBoxes() { return play.boxes; }

SeenWindow StageWindow(const StoryAct& act, const std::function<bool(const SeenWindow&)>& settled) {
    Updater& updater = *play.updater;
    SeenWindow window;
    PollUntil([&] {
        Box box;
        const bool boxOpen = updater.FindBox(box);
        window = WindowFrom([&](int id) { return updater.ItemText(id); },
                            updater.Enabled(IDC_UPDATE), boxOpen);
        // A box the story does not foresee ends the wait at once.
        return settled(window) || window.boxOpen || !updater.Running();
    }, play.limitMs, 100);
    if (play.confirmedAt != 0 && act.see.hint == IDS_UPDATE_SUCCEEDED && settled(window)) {
        Say("%.1f s from the confirmation to the success text",
            static_cast<double>(GetTickCount64() - play.confirmedAt) / 1000.0);
    }
    return window;
}

// The bar's positions are the program's own: not counted from outside.
std::optional<std::uint32_t> StageProgressPositions() { return std::nullopt; }

// The kernel HID unit's side, as the other end reads it.
std::optional<SeenUnit> StageUnit() {
    const std::string answer = Ask("act " + std::to_string(play.act) + " unit: seen");
    SeenUnit seen;
    char least[32] = {};
    unsigned reports = 0, held = 0, upTo = 0, size = 0;
    if (std::sscanf(answer.c_str(), "seen reports=%u least-us=%31s held=%u upto=%u size=%u",
                    &reports, least, &held, &upTo, &size) != 5) {
        Fail("what the unit saw (\"seen reports=R least-us=W held=H upto=U size=S\")",
             "\"" + answer + "\"");
    }
    seen.reports = reports;
    if (std::string(least) != "none") {
        seen.leastBlockWaitUs = std::strtoull(least, nullptr, 10);
    }
    seen.imageBytesHeld = held;
    seen.writtenUpTo = upTo;
    seen.imageSize = size;
    return seen;
}

void StageFailed(const std::string& what, const std::string& seen) { Fail(what, seen); }

void StageNote(const std::string& line) { Say("%s", line.c_str()); }

void StageActChecked(const StoryAct&, std::size_t number) {
    Say("act %zu: rows %s", number, play.updater->Rows().c_str());
    Say("act %zu done", number);
}

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"desktop") {
        return HoldDesktop();
    }
    const std::wstring mode = argc == 3 ? argv[2] : L"";
    if (mode != L"stories" && mode != L"update") {
        std::fprintf(stderr,
                     "usage: orvanto-wine-driver UPDATER.EXE stories|update\n"
                     "       orvanto-wine-driver desktop\n");
        return 2;
    }
    try {
        return mode == L"stories" ? RunStories(argv[1]) : RunUpdate(argv[1]);
    } catch (const Failure& failure) {
        Say("FAIL: %s", failure.what.c_str());
        return 1;
    }
}
