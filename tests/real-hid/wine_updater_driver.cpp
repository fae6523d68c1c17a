// orvanto-wine-driver: runs the product program, orvanto-updater.exe, as a
// user would and reads what its windows say. The program has no test hooks:
// this driver is another process of the same desktop, which finds the main
// dialog and the message boxes by their class, owner process and title,
// reads their texts with WM_GETTEXT, and presses buttons by posting the
// WM_COMMAND a click sends. Every wait is bounded; a step that does not come
// fails with what the window showed instead.
//
// usage: orvanto-wine-driver UPDATER.EXE check
//        orvanto-wine-driver UPDATER.EXE update
//        orvanto-wine-driver UPDATER.EXE start
//        orvanto-wine-driver desktop
//
// check: the story of tests/real-hid/guest-wine.sh, with the default unit
// (LINK-BOX 1.4, ESC bootloader 1.2.3, ESC 2.5 of an accepted type) armed to
// refuse the purge with 0x1234:
//   1. the unit is found: the Ready text, the three version rows, Update on;
//   2. Update, confirmed: the purge is refused; the box says so with the code
//      line 0x00001234-0x00000000; the unit is closed and Update off;
//   3. "ready: replug the unit": whoever runs the driver arms the unit to be
//      pulled out at the third data block, pulls it out and plugs it in; the
//      window finds it again (WM_DEVICECHANGE) and says Ready;
//   4. Update, confirmed: the unit goes at block 3; the box names the data
//      block and shows a code line of a failed transfer;
//   5. "ready: plug the unit in": plugged in again, found again, Ready;
//   6. Update, confirmed: a whole update with the program's real waits, to
//      the success text, the ESC row at 3.0 and Update off;
//   7. Close ends the program with exit code 0.
// update: steps 1, 6 and 7 only (no checks of the rows), and the time from
// the confirmation to the success text, for the measuring script.
// start: steps 1 and 7 only.
// desktop: holds Wine's desktop for the programs that follow. Wine starts
// its desktop process (explorer.exe) for the first window of a session and
// ends it shortly after the last program with a window; a program whose
// first window comes while the desktop process is still starting (it is
// given 10 s, too little under an emulated processor) gets no window at all,
// and orvanto-updater.exe then ends at once with exit code 0. This opens a
// hidden window, says "ready: the desktop is up" once it has one (exit status
// 3 when it got none), and then waits until Wine is shut down.
//
// Prints "PASS: ..." or "FAIL: ..." per check and what it saw; stops at the
// first failure. Exits 0 when every check passed, 1 otherwise, 2 for bad usage.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>
#include <cwchar>

#include "res/resource.h"
#include "tests/wine/expected_texts.h"

namespace {

using expected_texts::Text;

constexpr const wchar_t* MAIN_TITLE = L"VESTORA ORVANTO FW Updater 3.0 ";
constexpr int BOX_TEXT_ID = 0xFFFF;  // the static control of a message box's text

// Limits, generous for an emulated processor: a start of Wine's own services
// and of the program, a discovery, an update with its 46 s of waits.
constexpr DWORD START_LIMIT_MS = 240000;
constexpr DWORD DISCOVERY_LIMIT_MS = 180000;
constexpr DWORD BOX_LIMIT_MS = 120000;
constexpr DWORD UPDATE_LIMIT_MS = 900000;
constexpr DWORD EXIT_LIMIT_MS = 60000;

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        if (c == L'\r') {
            narrow += "\\r";
        } else if (c == L'\n') {
            narrow += "\\n";
        } else {
            narrow += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
        }
    }
    return narrow;
}

void Say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& what, const std::string& seen) {
    Say("FAIL: %s: saw %s", what.c_str(), seen.c_str());
    std::exit(1);
}

void Pass(const std::string& what) { Say("PASS: %s", what.c_str()); }

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

std::wstring FormatCodeLine(std::uint32_t status, std::uint32_t lastError) {
    wchar_t line[512];
    swprintf(line, 512, Text(IDS_ERROR_CODE_LINE).c_str(), status, lastError);
    return line;
}

struct Box {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;
};

class Updater {
public:
    explicit Updater(const std::wstring& path) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        std::wstring command = L"\"" + path + L"\"";
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process_)) {
            Fail("the updater starts", "CreateProcessW error " + std::to_string(GetLastError()));
        }
        Say("started %s, process %lu", Narrow(path).c_str(), process_.dwProcessId);
    }

    ~Updater() {
        if (process_.hProcess != nullptr) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_.hProcess, 99);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
    }

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void AwaitMainWindow() {
        Await(START_LIMIT_MS, "the main window appears", [&] {
            main_ = FindTopLevel([&](HWND window) {
                wchar_t title[128] = {};
                GetWindowTextW(window, title, 128);
                return std::wstring(title) == MAIN_TITLE;
            });
            return main_ != nullptr;
        });
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
        const HWND window = FindTopLevel([&](HWND candidate) {
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
        for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
            const HWND button = GetDlgItem(window, id);
            if (button != nullptr && IsWindowVisible(button)) {
                box.buttons.push_back(id);
            }
        }
        return !box.buttons.empty();
    }

    Box AwaitBox(const std::string& what, DWORD limitMs = BOX_LIMIT_MS) {
        Box box;
        Await(limitMs, what, [&] { return FindBox(box); });
        return box;
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
    // fails the wait with its text.
    void AwaitHint(const std::wstring& expected, const std::string& what, DWORD limitMs) {
        std::wstring hint;
        Await(limitMs, what, [&] {
            Box box;
            if (FindBox(box)) {
                Fail(what, "a message box \"" + Narrow(box.caption) + "\": " + Narrow(box.text));
            }
            return ReadText(Item(IDC_HINT), hint, 1000) && hint == expected;
        });
    }

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
        const ULONGLONG end = GetTickCount64() + limitMs;
        while (!done()) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(process_.hProcess, &code);
                Fail(what, "the program ended with exit code " + std::to_string(code));
            }
            if (GetTickCount64() >= end) {
                Fail(what, Situation() + " (after " + std::to_string(limitMs / 1000) + " s)");
            }
            Sleep(100);
        }
    }

    // What the windows show, for a failure message.
    std::string Situation() {
        if (main_ == nullptr) {
            return "no main window";
        }
        std::wstring hint;
        std::string seen = ReadText(Item(IDC_HINT), hint, 1000)
                               ? "hint \"" + Narrow(hint) + "\""
                               : "a main window that does not answer";
        Box box;
        if (FindBox(box)) {
            seen += ", message box \"" + Narrow(box.caption) + "\": " + Narrow(box.text);
        }
        return seen;
    }

private:
    HWND FindTopLevel(const std::function<bool(HWND)>& wanted) {
        struct Search {
            DWORD process;
            const std::function<bool(HWND)>* wanted;
            HWND found;
        } search{process_.dwProcessId, &wanted, nullptr};
        EnumWindows(
            [](HWND window, LPARAM data) -> BOOL {
                auto* search = reinterpret_cast<Search*>(data);
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                wchar_t name[16] = {};
                GetClassNameW(window, name, 16);
                if (process == search->process && std::wstring(name) == L"#32770" &&
                    (*search->wanted)(window)) {
                    search->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
};

void Expect(bool passed, const std::string& what, const std::string& seen) {
    if (!passed) {
        Fail(what, seen);
    }
    Pass(what + ": " + seen);
}

void AwaitReady(Updater& updater, const std::string& when) {
    updater.AwaitHint(Text(IDS_READY), "the unit is found and Ready (" + when + ")",
                      DISCOVERY_LIMIT_MS);
    Pass("the hint says Ready (" + when + ")");
    Say("rows: %s", updater.Rows().c_str());
}

// Whether the ESC row shows 3.0 or newer: Update then asks the version
// question after the confirmation.
bool AsksVersionQuestion(Updater& updater) {
    const std::wstring row = updater.ItemText(IDC_VERSION_ESC);
    return row.find(L'.') != std::wstring::npos && std::wcstoul(row.c_str(), nullptr, 10) >= 3;
}

// Presses Update and confirms; answers the version question Yes when the ESC
// row says it comes. Returns the tick count of the confirmation.
ULONGLONG StartUpdate(Updater& updater) {
    if (!updater.Enabled(IDC_UPDATE)) {
        Fail("Update can be pressed", "it is disabled");
    }
    const bool question = AsksVersionQuestion(updater);
    updater.Click(IDC_UPDATE);
    const Box confirm = updater.AwaitBox("the confirmation box appears");
    Expect(confirm.caption == Text(IDS_CONFIRM_CAPTION) && confirm.text == Text(IDS_CONFIRM_UPDATE) &&
               confirm.buttons == std::vector<int>{IDOK, IDCANCEL},
           "Update asks for confirmation (OK, Cancel)", "\"" + Narrow(confirm.caption) + "\"");
    const ULONGLONG confirmed = GetTickCount64();
    updater.Press(confirm, IDOK);
    if (question) {
        const Box box = updater.AwaitBox("the version question appears");
        Expect(box.caption == Text(IDS_VERSION_QUESTION_CAPTION) &&
                   box.buttons == std::vector<int>{IDYES, IDNO},
               "the ESC at 3.0 or newer brings the version question (Yes, No)",
               "\"" + Narrow(box.caption) + "\"");
        updater.Press(box, IDYES);
    }
    return confirmed;
}

// An update that fails: its box, with `text` and then a code line that
// `codeLine` accepts; OK; then the failure hint, the unit closed, Update off.
void FailedUpdate(Updater& updater, const std::string& what, const std::wstring& text,
                  const std::function<bool(const std::wstring&)>& codeLine) {
    StartUpdate(updater);
    const Box box = updater.AwaitBox("the failure box of " + what, UPDATE_LIMIT_MS);
    const std::size_t lineBreak = box.text.find(L"\r\n");
    const std::wstring first = box.text.substr(0, lineBreak);
    const std::wstring line = lineBreak == std::wstring::npos ? L"" : box.text.substr(lineBreak + 2);
    Expect(box.caption == Text(IDS_UPDATE_FAILED_CAPTION) && first == text && codeLine(line) &&
               box.buttons == std::vector<int>{IDOK},
           "the box of " + what, "\"" + Narrow(box.caption) + "\": " + Narrow(box.text));
    Say("code line: %s", Narrow(line).c_str());
    updater.Press(box, IDOK);
    updater.AwaitHint(Text(IDS_UPDATE_FAILED_HINT), "the failure hint after " + what, BOX_LIMIT_MS);
    const std::string rows = updater.Rows();
    Expect(!updater.Enabled(IDC_UPDATE) && updater.ItemText(IDC_VERSION_ESC) == L"0.0.0" &&
               !updater.Enabled(IDC_VERSION_ESC),
           "after " + what + " the unit is closed and Update is off", rows);
}

void SuccessfulUpdate(Updater& updater, bool checkRows) {
    const ULONGLONG confirmed = StartUpdate(updater);
    updater.AwaitHint(Text(IDS_UPDATE_SUCCEEDED), "the update ends with the success text",
                      UPDATE_LIMIT_MS);
    const double seconds = static_cast<double>(GetTickCount64() - confirmed) / 1000.0;
    Pass("the update succeeded");
    Say("update: %.1f s from the confirmation to the success text", seconds);
    const std::string rows = updater.Rows();
    if (checkRows) {
        Expect(updater.ItemText(IDC_VERSION_ESC) == L"3.0" && !updater.Enabled(IDC_UPDATE) &&
                   updater.Enabled(IDC_VERSION_ESC),
               "after the update the ESC row shows 3.0 and Update is off", rows);
    } else {
        Say("rows: %s", rows.c_str());
    }
}

void CloseUpdater(Updater& updater) {
    updater.Click(IDCANCEL);
    const DWORD code = updater.AwaitExit();
    Expect(code == 0, "Close ends the program with exit code 0",
           "exit code " + std::to_string(code));
}

// A code line of a transfer that failed when the unit went: status
// LINK_WRITE_FAILED (-2) or LINK_READ_FAILED (-3) with the failing call's
// last error, which is neither 0 nor ERROR_IO_PENDING, nor ERROR_TIMEOUT: the
// program must notice the unit's going at once, not at its time limit.
bool FailedTransferLine(const std::wstring& line) {
    if (line.size() < 8) {
        return false;
    }
    const auto error =
        static_cast<std::uint32_t>(std::wcstoul(line.substr(line.size() - 8).c_str(), nullptr, 16));
    return error != 0 && error != ERROR_IO_PENDING && error != ERROR_TIMEOUT &&
           (line == FormatCodeLine(0xFFFFFFFEu, error) || line == FormatCodeLine(0xFFFFFFFDu, error));
}

int RunCheck(const std::wstring& path) {
    Updater updater(path);
    updater.AwaitMainWindow();
    Pass("the main window appears");

    AwaitReady(updater, "at start");
    Expect(updater.ItemText(IDC_LABEL_UNIT) == L"LINK-BOX" &&
               updater.ItemText(IDC_VERSION_UNIT) == L"1.4" &&
               updater.ItemText(IDC_VERSION_BOOTLOADER) == L"1.2.3" &&
               updater.ItemText(IDC_VERSION_ESC) == L"2.5" && updater.Enabled(IDC_UPDATE),
           "the rows read LINK-BOX 1.4, ESC bootloader 1.2.3, ESC 2.5, and Update is on",
           updater.Rows());

    FailedUpdate(updater, "the refused purge", Text(IDS_PURGE_FAILED),
                 [](const std::wstring& line) { return line == FormatCodeLine(0x1234, 0); });

    Say("ready: replug the unit");
    AwaitReady(updater, "after the unit was plugged in again");

    FailedUpdate(updater, "the unit pulled out at a data block", Text(IDS_DATA_BLOCK_FAILED),
                 FailedTransferLine);

    Say("ready: plug the unit in");
    AwaitReady(updater, "after the unit was plugged in once more");

    SuccessfulUpdate(updater, true);
    CloseUpdater(updater);
    return 0;
}

int RunStart(const std::wstring& path) {
    Updater updater(path);
    updater.AwaitMainWindow();
    Pass("the main window appears");
    AwaitReady(updater, "at start");
    CloseUpdater(updater);
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
    Say("ready: the desktop is up");
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

int RunUpdate(const std::wstring& path) {
    Updater updater(path);
    updater.AwaitMainWindow();
    AwaitReady(updater, "at start");
    SuccessfulUpdate(updater, false);
    CloseUpdater(updater);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"desktop") {
        return HoldDesktop();
    }
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: orvanto-wine-driver UPDATER.EXE check|update|start\n"
                     "       orvanto-wine-driver desktop\n");
        return 2;
    }
    const std::wstring scenario = argv[2];
    if (scenario == L"check") {
        return RunCheck(argv[1]);
    }
    if (scenario == L"update") {
        return RunUpdate(argv[1]);
    }
    if (scenario == L"start") {
        return RunStart(argv[1]);
    }
    std::fprintf(stderr, "orvanto-wine-driver: unknown scenario\n");
    return 2;
}
