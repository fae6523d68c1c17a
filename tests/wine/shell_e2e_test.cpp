// The real orvanto-updater.exe under Wine with no unit plugged in: the test
// starts it, reads its window as the user sees it, and closes it. The
// expected texts come from the same table the program's resources are made of.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "res/resource.h"
#include "tests/wine/expected_texts.h"
#include "tests/window_title.h"

namespace {

using expected_texts::German;
using expected_texts::Text;

std::wstring UpdaterPath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\'));  // tests\wine
    folder.resize(folder.find_last_of(L'\\'));  // tests
    folder.resize(folder.find_last_of(L'\\'));  // build folder
    return folder + L"\\orvanto-updater.exe";
}

// WM_GETTEXT, which the system carries across processes (GetWindowTextW
// does not ask another process's edit control).
std::wstring WindowText(HWND window) {
    wchar_t text[4096] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        5000, &copied);
    return text;
}

HWND FindChildWithId(HWND dialog, int id) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(child) == id) {
            return child;
        }
    }
    return nullptr;
}

class Updater : public ::testing::Test {
protected:
    void SetUp() override {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        std::wstring command = L"\"" + UpdaterPath() + L"\"";
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process_))
            << GetLastError();
        for (int i = 0; i < 200 && window_ == nullptr; ++i) {
            window_ = FindWindowW(L"#32770", WINDOW_TITLE);
            if (window_ == nullptr) {
                Sleep(100);
            }
        }
        ASSERT_NE(window_, nullptr) << "the main window did not appear";
    }

    void TearDown() override {
        if (process_.hProcess != nullptr) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_.hProcess, 99);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
    }

    DWORD WaitForExit() {
        EXPECT_EQ(WaitForSingleObject(process_.hProcess, 20000), WAIT_OBJECT_0);
        DWORD code = 12345;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

    std::wstring Item(int id) { return WindowText(GetDlgItem(window_, id)); }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(window_, id)) != FALSE; }

    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

// Start-up without a unit, as the user reads it; then Close ends the program
// with exit code 0.
TEST_F(Updater, StartsWithoutUnitAndClosesWithZero) {
    // The test command runs this once in an English and once in a German
    // Wine; make sure the language is the one it asked for.
    wchar_t expected[8] = {};
    if (GetEnvironmentVariableW(L"ORVANTO_EXPECT_LANGUAGE", expected, 8) > 0) {
        ASSERT_EQ(German(), std::wstring(expected) == L"de");
    }
    EXPECT_EQ(WindowText(window_), WINDOW_TITLE);
    EXPECT_EQ(Item(IDC_LABEL_UNIT), Text(IDS_LABEL_UNIT));
    EXPECT_EQ(Item(IDC_LABEL_BOOTLOADER), Text(IDS_LABEL_BOOTLOADER));
    EXPECT_EQ(Item(IDC_LABEL_ESC), Text(IDS_LABEL_ESC));
    for (int id : {IDC_VERSION_UNIT, IDC_VERSION_BOOTLOADER, IDC_VERSION_ESC}) {
        EXPECT_EQ(Item(id), L"0.0.0") << id;
        EXPECT_FALSE(Enabled(id)) << id;
    }
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    EXPECT_EQ(Item(IDC_HINT), Text(IDS_NO_UNIT_FOUND) + L"\r\n\r\n" + Text(IDS_INSTRUCTIONS));
    EXPECT_EQ(Item(IDCANCEL), German() ? L"Beenden" : L"Close");
    EXPECT_EQ(Item(IDC_UPDATE), L"Update");
    EXPECT_EQ(Item(IDC_VERSION_GROUP),
              German() ? L"Installierte Firmware Versionen" : L"Installed firmware version");
    EXPECT_EQ(WindowText(FindChildWithId(window_, IDC_STATIC)),
              German() ? L"Hinweisfenster:" : L"Hint:");

    // The Close button, as a click sends it.
    PostMessageW(window_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window_, IDCANCEL)));
    EXPECT_EQ(WaitForExit(), 0u);
}

// The caption's close box and Alt+F4 arrive as WM_CLOSE.
TEST_F(Updater, CloseBoxEndsTheProgramWithZero) {
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(), 0u);
}

// Keys go to the focused control, the Close button; the dialog manager turns
// Escape into IDCANCEL, and Enter into the default button, which is Close.
TEST_F(Updater, EscapeKeyCloses) {
    const HWND focused = GetDlgItem(window_, IDCANCEL);
    PostMessageW(focused, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(focused, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    EXPECT_EQ(WaitForExit(), 0u);
}

TEST_F(Updater, EnterKeyCloses) {
    const HWND focused = GetDlgItem(window_, IDCANCEL);
    PostMessageW(focused, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(focused, WM_KEYUP, VK_RETURN, 0xC01C0001);
    EXPECT_EQ(WaitForExit(), 0u);
}

}  // namespace
