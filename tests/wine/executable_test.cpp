// The built orvanto-updater.exe as a file: it loads no DLL that somebody put
// beside it, and it tells Windows its name and version.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/wine/expected_texts.h"
#include "tests/window_title.h"

namespace {

std::wstring BuildFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\'));  // tests\wine
    return folder;
}

std::wstring UpdaterPath() {
    std::wstring folder = BuildFolder();
    folder.resize(folder.find_last_of(L'\\'));  // tests
    folder.resize(folder.find_last_of(L'\\'));  // the build folder
    return folder + L"\\orvanto-updater.exe";
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Starts `program` in its folder and waits for it; with `window`, waits for
// that window instead and closes it.
DWORD RunProgram(const std::wstring& program, const std::wstring& folder, const wchar_t* window) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + program + L"\"";
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process)) {
        return 0xFFFFFFFF;
    }
    if (window != nullptr) {
        HWND found = nullptr;
        for (int i = 0; i < 200 && found == nullptr; ++i) {
            found = FindWindowW(L"#32770", window);
            Sleep(50);
        }
        EXPECT_NE(found, nullptr) << "the updater's window did not appear";
        Sleep(500);  // painted the logo, looked for units
        if (found != nullptr) {
            PostMessageW(found, WM_CLOSE, 0, 0);
        }
    }
    WaitForSingleObject(process.hProcess, 20000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

const wchar_t* const PLANTED[] = {L"hid.dll", L"msimg32.dll", L"comctl32.dll"};

// Wine's per-program setting: DLLs found on disk before its built-in ones.
void PreferDllsOnDisk(const wchar_t* program) {
    const std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
    HKEY overrides = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &overrides, nullptr) != ERROR_SUCCESS) {
        return;
    }
    for (const wchar_t* dll : {L"hid", L"msimg32", L"comctl32"}) {
        const wchar_t order[] = L"native,builtin";
        RegSetValueExW(overrides, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof(order));
    }
    RegCloseKey(overrides);
}

// hid.dll, msimg32.dll and comctl32.dll put beside the updater are not
// loaded: it takes them from System32 only. A careless program in the same
// folder does load them, which shows that the plant works.
TEST(Executable, LoadsNoDllPlantedBesideIt) {
    const std::wstring folder = BuildFolder() + L"\\planted";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* name : PLANTED) {
        const std::wstring dll = folder + L"\\" + name;
        ASSERT_TRUE(CopyFileW((BuildFolder() + L"\\planted_dll.dll").c_str(), dll.c_str(), FALSE));
        DeleteFileW((dll + L".loaded").c_str());
    }
    ASSERT_TRUE(CopyFileW((BuildFolder() + L"\\naive_loader.exe").c_str(),
                          (folder + L"\\naive_loader.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(UpdaterPath().c_str(), (folder + L"\\orvanto-updater.exe").c_str(), FALSE));
    // Windows searches a program's own folder first for DLLs that are not
    // KnownDLLs; Wine prefers its built-in DLLs unless told to take a DLL
    // found on disk first. Tell it so for the two programs, as Windows would
    // behave.
    for (const wchar_t* program : {L"naive_loader.exe", L"orvanto-updater.exe"}) {
        PreferDllsOnDisk(program);
    }

    ASSERT_EQ(RunProgram(folder + L"\\naive_loader.exe", folder, nullptr), 0u) << GetLastError();
    for (const wchar_t* name : PLANTED) {
        const std::wstring marker = folder + L"\\" + name + L".loaded";
        ASSERT_TRUE(Exists(marker)) << "the control did not load the planted " << std::string(name, name + wcslen(name));
        DeleteFileW(marker.c_str());
    }

    EXPECT_EQ(RunProgram(folder + L"\\orvanto-updater.exe", folder, WINDOW_TITLE), 0u);
    for (const wchar_t* name : PLANTED) {
        EXPECT_FALSE(Exists(folder + L"\\" + name + L".loaded"))
            << "the updater loaded the planted " << std::string(name, name + wcslen(name));
    }
}

// Wine's per-program setting that keeps hid.dll from loading at all, as on
// a Windows whose System32 lacks it.
void DisableHidDll(const wchar_t* program) {
    const std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
    HKEY overrides = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &overrides, nullptr),
              ERROR_SUCCESS);
    const wchar_t disabled[] = L"";
    RegSetValueExW(overrides, L"hid", 0, REG_SZ, reinterpret_cast<const BYTE*>(disabled), sizeof(disabled));
    RegCloseKey(overrides);
}

std::wstring WindowText(HWND window) {
    wchar_t text[2048] = {};
    GetWindowTextW(window, text, 2048);
    return text;
}

// Without hid.dll no unit can ever be found: the updater says so with the
// error box of a failed device registration and ends, instead of showing a
// window that waits for a unit in vain.
TEST(Executable, WithoutHidDllItSaysSoAndEnds) {
    const std::wstring folder = BuildFolder() + L"\\nohid";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring program = folder + L"\\orvanto-updater-nohid.exe";
    ASSERT_TRUE(CopyFileW(UpdaterPath().c_str(), program.c_str(), FALSE));
    DisableHidDll(L"orvanto-updater-nohid.exe");

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + program + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               folder.c_str(), &startup, &process));
    const std::wstring caption = expected_texts::Text(IDS_APPLICATION_ERROR_CAPTION);
    HWND box = nullptr;
    for (int i = 0; i < 400 && box == nullptr; ++i) {
        box = FindWindowW(L"#32770", caption.c_str());
        if (box == nullptr && WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
            break;
        }
    }
    ASSERT_NE(box, nullptr) << "no error box; the updater ran on without hid.dll";
    EXPECT_EQ(WindowText(GetDlgItem(box, 0xFFFF)), expected_texts::Text(IDS_REGISTRATION_FAILED));
    const HWND main = FindWindowW(L"#32770", WINDOW_TITLE);
    EXPECT_TRUE(main == nullptr || !IsWindowVisible(main)) << "the main window was shown";
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0) << "it did not end";
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* block, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + name;
    if (!VerQueryValueW(info.data(), query.c_str(), &value, &length) || length == 0) {
        return L"";
    }
    return static_cast<const wchar_t*>(value);
}

// File and product version 3.0.0.0, the product's and the maker's name, a
// description, in an English and a German block.
TEST(Executable, HasItsVersionResource) {
    const std::wstring path = UpdaterPath();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00030000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00030000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);

    for (const wchar_t* block : {L"040904b0", L"040704b0"}) {
        SCOPED_TRACE(std::string(block, block + 8));
        EXPECT_EQ(VersionString(info, block, L"ProductName"), L"VESTORA ORVANTO FW Updater");
        EXPECT_EQ(VersionString(info, block, L"CompanyName"), L"VESTORA");
        EXPECT_EQ(VersionString(info, block, L"FileVersion"), L"3.0.0.0");
        EXPECT_EQ(VersionString(info, block, L"ProductVersion"), L"3.0.0.0");
        EXPECT_FALSE(VersionString(info, block, L"FileDescription").empty());
    }
    EXPECT_EQ(VersionString(info, L"040704b0", L"FileDescription"),
              L"Firmware-Updater f\u00fcr VESTORA ORVANTO Regler");
}

}  // namespace
