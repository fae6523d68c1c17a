// What only the Windows window shows, driven under Wine with the emulated unit
// behind it: the ESC row's red and the logo's transparency read pixel by
// pixel, before and after an update, the progress window as it is made and
// its bar, and one update with the real waits. The owner's stories
// (stories_e2e_test.cpp) play the rest. The waits run 50 times faster than
// real, except in the update that measures them.
#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_window_painting.h"
#include "emulator/demo_unit.h"
#include "tests/wine/scaled_clock.h"
#include "tests/wine/screen_capture.h"
#include "tests/wine/updater_session.h"
#include "link/report.h"
#include "res/resource.h"
#include "tests/wine/expected_texts.h"
#include "tests/window_title.h"

namespace session = updater_session;

namespace {

using expected_texts::German;
using expected_texts::Text;

// A screenshot's name with the language of the run, so that the English and
// the German run keep theirs side by side.
std::wstring Named(const std::wstring& stage) { return stage + (German() ? L"-de" : L"-en"); }

// The time an update takes at the test's clock scale, with room to spare.
constexpr DWORD UPDATE_LIMIT_MS = 60000;
constexpr std::uint32_t TEST_CLOCK_SCALE = 50;
constexpr std::uint32_t IMAGE_BLOCKS = 2038;

class Updater : public ::testing::Test {
protected:
    void SetUp() override {
        SetClockScale(TEST_CLOCK_SCALE);
        ASSERT_TRUE(session::Start(session::ScreenshotFolderFromEnvironment()))
            << "the main window did not appear";
    }

    void TearDown() override {
        for (const std::string& problem : session::Finish()) {
            ADD_FAILURE() << problem;
        }
    }

    static void ExpectReady() {
        ASSERT_TRUE(session::ItemEnabled(IDC_UPDATE))
            << "the unit's arrival was handled, but Update is off; the hint reads: "
            << ::testing::PrintToString(session::ItemText(IDC_HINT));
    }

    // Plugs the demo's unit in, waits until the window has handled its
    // arrival, and expects it ready.
    static void PlugAndWaitForReady() {
        ASSERT_TRUE(session::AwaitDeviceEvent(DBT_DEVICEARRIVAL,
                                              [] { PlugDemoUnit(DemoUnitSettings{}); }))
            << "the window did not handle the unit's arrival within 10 s";
        ASSERT_NO_FATAL_FAILURE(ExpectReady());
    }

    // Presses Update and waits for the whole run.
    static void PressUpdate() { ASSERT_TRUE(session::Press(IDC_UPDATE, UPDATE_LIMIT_MS)); }
};

// A control's rectangle within a capture of the main window.
RECT InCapture(int id) {
    RECT main{};
    RECT control{};
    GetWindowRect(session::MainWindow(), &main);
    GetWindowRect(GetDlgItem(session::MainWindow(), id), &control);
    OffsetRect(&control, -main.left, -main.top);
    return control;
}

std::uint32_t CountColour(const WindowCapture& capture, const RECT& area, COLORREF colour) {
    std::uint32_t count = 0;
    for (int y = std::max(0L, area.top); y < std::min<LONG>(capture.height, area.bottom); ++y) {
        for (int x = std::max(0L, area.left); x < std::min<LONG>(capture.width, area.right); ++x) {
            count += capture.At(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

// The logo as the program carries it, one flag a pixel: true where it is the
// transparent key colour, RGB(0, 255, 0). Top row first.
struct LogoKey {
    int width = 0;
    int height = 0;
    std::vector<bool> transparent;
};

LogoKey ReadLogoKey() {
    LogoKey key;
    const HBITMAP logo = static_cast<HBITMAP>(LoadImageW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_LOGO), IMAGE_BITMAP, 0, 0, 0));
    if (logo == nullptr) {
        return key;
    }
    BITMAP info{};
    GetObjectW(logo, sizeof(info), &info);
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = info.bmWidth;
    format.bmiHeader.biHeight = -info.bmHeight;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(info.bmWidth) * info.bmHeight * 4);
    const HDC screen = GetDC(nullptr);
    const int rows = GetDIBits(screen, logo, 0, static_cast<UINT>(info.bmHeight), bgra.data(),
                               &format, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(logo);
    if (rows != info.bmHeight) {
        return key;
    }
    key.width = info.bmWidth;
    key.height = info.bmHeight;
    key.transparent.resize(bgra.size() / 4);
    for (std::size_t i = 0; i < key.transparent.size(); ++i) {
        key.transparent[i] = bgra[i * 4] == 0 && bgra[i * 4 + 1] == 255 && bgra[i * 4 + 2] == 0;
    }
    return key;
}

// The window as painted with a unit open, read pixel by pixel: the ESC row's
// label and version in pure red and no other row red; the logo drawn, with
// its green key transparent (no pure green anywhere, the window's face colour
// wherever the logo is key colour all round). Catches a lost text colour, a
// row coloured that should not be, and a logo blitted without its key.
TEST_F(Updater, EscRowIsRedAndLogoIsTransparent) {
    ASSERT_NO_FATAL_FAILURE(PlugAndWaitForReady());
    session::PaintThrough();
    WindowCapture capture;
    ASSERT_TRUE(CaptureWindow(session::MainWindow(), capture));

    const COLORREF red = RGB(255, 0, 0);
    const COLORREF green = RGB(0, 255, 0);
    EXPECT_GT(CountColour(capture, InCapture(IDC_LABEL_ESC), red), 0u) << "ESC label";
    EXPECT_GT(CountColour(capture, InCapture(IDC_VERSION_ESC), red), 0u) << "ESC version";
    for (int id :
         {IDC_LABEL_UNIT, IDC_VERSION_UNIT, IDC_LABEL_BOOTLOADER, IDC_VERSION_BOOTLOADER}) {
        EXPECT_EQ(CountColour(capture, InCapture(id), red), 0u) << "control " << id;
    }

    const RECT whole{0, 0, capture.width, capture.height};
    EXPECT_EQ(CountColour(capture, whole, green), 0u) << "pure green shows";

    // Where the program placed the logo, in the capture's coordinates.
    const LogoKey key = ReadLogoKey();
    ASSERT_GT(key.width, 0) << "the logo resource cannot be read";
    RECT window{};
    RECT group{};
    POINT client{0, 0};
    GetWindowRect(session::MainWindow(), &window);
    GetWindowRect(GetDlgItem(session::MainWindow(), IDC_VERSION_GROUP), &group);
    ClientToScreen(session::MainWindow(), &client);
    const LogoPlacement place = PlaceLogo(
        key.width, key.height, {window.left, window.top, window.right, window.bottom},
        {group.left, group.top, group.right, group.bottom}, GetSystemMetrics(SM_CXDLGFRAME),
        GetSystemMetrics(SM_CYCAPTION));
    ASSERT_GT(place.width, 0);
    ASSERT_GT(place.height, 0);
    const int left = client.x - window.left + place.x;
    const int top = client.y - window.top + place.y;
    ASSERT_LE(left + place.width, capture.width);
    ASSERT_LE(top + place.height, capture.height);

    // A drawn pixel whose source pixels, and their neighbours, are all key
    // colour must show the face colour, whatever the scaling picked.
    std::vector<int> opaque((key.width + 1) * static_cast<std::size_t>(key.height + 1), 0);
    const auto sum = [&](int x, int y) -> int& { return opaque[y * (key.width + 1) + x]; };
    for (int y = 0; y < key.height; ++y) {
        for (int x = 0; x < key.width; ++x) {
            sum(x + 1, y + 1) = sum(x, y + 1) + sum(x + 1, y) - sum(x, y) +
                                (key.transparent[y * key.width + x] ? 0 : 1);
        }
    }
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    std::uint32_t background = 0;
    std::uint32_t drawn = 0;
    std::vector<std::string> wrong;
    for (int dy = 0; dy < place.height; ++dy) {
        const int y0 = std::max(0, dy * key.height / place.height - 1);
        const int y1 = std::min(key.height, (dy + 1) * key.height / place.height + 2);
        for (int dx = 0; dx < place.width; ++dx) {
            const int x0 = std::max(0, dx * key.width / place.width - 1);
            const int x1 = std::min(key.width, (dx + 1) * key.width / place.width + 2);
            const COLORREF shown = capture.At(left + dx, top + dy);
            drawn += shown != face ? 1 : 0;
            if (sum(x1, y1) - sum(x0, y1) - sum(x1, y0) + sum(x0, y0) != 0) {
                continue;  // some of the logo itself is near
            }
            ++background;
            if (shown != face && wrong.size() < 5) {
                char text[80];
                std::snprintf(text, sizeof text, "(%d,%d) is rgb(%d,%d,%d)", dx, dy,
                              GetRValue(shown), GetGValue(shown), GetBValue(shown));
                wrong.push_back(text);
            }
        }
    }
    EXPECT_TRUE(wrong.empty()) << "the logo's background is not the face colour rgb("
                               << int{GetRValue(face)} << "," << int{GetGValue(face)} << ","
                               << int{GetBValue(face)} << "); first places in the logo: "
                               << ::testing::PrintToString(wrong);
    EXPECT_GT(background, static_cast<std::uint32_t>(place.width * place.height / 4))
        << "too little of the logo's background was looked at";
    EXPECT_GT(drawn, static_cast<std::uint32_t>(place.width * place.height / 50))
        << "the logo is not drawn";
}

// How many pure red pixels the window holds in `control` now: its own image,
// not what the screen has been given of it so far.
int RedHeldIn(HWND control) {
    RECT area{};
    GetClientRect(control, &area);
    const HDC context = GetDC(control);
    int red = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            red += GetPixel(context, x, y) == RGB(255, 0, 0) ? 1 : 0;
        }
    }
    ReleaseDC(control, context);
    return red;
}

// What the window holds at the ESC version just before the version paints
// itself; -1 until it has painted. Dialog thread only.
int escVersionRedBeforeItsPaint = -1;

LRESULT CALLBACK LookBeforeEscVersionPaints(int code, WPARAM wParam, LPARAM lParam) {
    const auto* call = reinterpret_cast<CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_PAINT &&
        call->hwnd == GetDlgItem(session::MainWindow(), IDC_VERSION_ESC)) {
        escVersionRedBeforeItsPaint = RedHeldIn(call->hwnd);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The whole update once, in the language of the run: the confirmation's
// owner, the progress window as made, where it stands and its bar, and the
// window painted through afterwards. What the whole-update story sees (the
// boxes, the hint, the rows, the flash) it leaves to the story.
//
// The progress window must lie inside the screen and centred on the main
// window, within a pixel. After the update the window is painted through, as
// when it is uncovered: the new version stands in red in the ESC row all
// along. The window is read at the version just before the version paints
// itself, and on screen afterwards. Catches a dialog that erases its
// background under its controls: the version, the last control painted, is
// then blank until its own paint reaches the screen, which under Wine may
// come after a screenshot (e2e-updated showed the ESC row without its
// version).
TEST_F(Updater, UpdatesToSuccessAndPaintsTheEscRowRed) {
    EXPECT_EQ(session::Title(), WINDOW_TITLE);
    ASSERT_NO_FATAL_FAILURE(PlugAndWaitForReady());
    session::OnDialogThread([] {
        DemoUnit()->onReport = [](const std::vector<std::uint8_t>& report) {
            static int blocks = 0;
            if (report.at(1) == CMD_WRITE_DATA && ++blocks == 1000) {
                session::Screenshot(FindWindowW(L"msctls_progress32", nullptr),
                                    Named(L"e2e-progress"));
                session::Screenshot(session::MainWindow(), Named(L"e2e-updating"));
            }
        };
    });
    session::Answer(IDOK);
    PressUpdate();

    const auto boxes = session::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, session::MainWindow());

    const SeenProgress progress = session::Progress();
    ASSERT_TRUE(progress.created);
    EXPECT_EQ(progress.title, Text(IDS_PROGRESS_TITLE));
    EXPECT_EQ(progress.style, 0x10000001u);
    EXPECT_EQ(progress.exStyle, 0u);
    EXPECT_EQ(progress.width, 400);
    EXPECT_EQ(progress.height, 50);
    EXPECT_EQ(progress.owner, session::MainWindow());
    RECT main{};
    GetWindowRect(session::MainWindow(), &main);
    MONITORINFO screen{};
    screen.cbSize = sizeof(screen);
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(session::MainWindow(), MONITOR_DEFAULTTONEAREST),
                                &screen));
    EXPECT_GE(progress.x, screen.rcMonitor.left);
    EXPECT_GE(progress.y, screen.rcMonitor.top);
    EXPECT_LE(progress.x + progress.width, screen.rcMonitor.right);
    EXPECT_LE(progress.y + progress.height, screen.rcMonitor.bottom);
    // Centres in half pixels: twice the centre is left plus right.
    EXPECT_LE(std::abs(2 * progress.x + progress.width - (main.left + main.right)), 2)
        << "the progress window's centre across, against the main window's";
    EXPECT_LE(std::abs(2 * progress.y + progress.height - (main.top + main.bottom)), 2)
        << "the progress window's centre down, against the main window's";
    ASSERT_EQ(progress.positions.size(), IMAGE_BLOCKS + 1);
    EXPECT_EQ(progress.positions.front(), 0u);
    EXPECT_EQ(progress.positions[21], 1u);
    EXPECT_EQ(progress.positions[1019], 50u);
    EXPECT_EQ(progress.positions.back(), 100u);
    EXPECT_EQ(FindWindowW(L"msctls_progress32", nullptr), nullptr) << "the progress window is gone";
    ASSERT_EQ(session::ItemText(IDC_VERSION_ESC), L"3.0");

    HHOOK hook = nullptr;
    session::OnDialogThread([&] {
        escVersionRedBeforeItsPaint = -1;
        hook = SetWindowsHookExW(WH_CALLWNDPROC, LookBeforeEscVersionPaints, nullptr,
                                 GetCurrentThreadId());
    });
    ASSERT_NE(hook, nullptr);
    session::PaintThrough();
    int redBeforeItsPaint = -1;
    session::OnDialogThread([&] {
        UnhookWindowsHookEx(hook);
        redBeforeItsPaint = escVersionRedBeforeItsPaint;
    });
    ASSERT_NE(redBeforeItsPaint, -1) << "the ESC version was not painted";
    EXPECT_GT(redBeforeItsPaint, 0) << "the window wiped the ESC version before it painted itself";

    WindowCapture capture;
    ASSERT_TRUE(CaptureWindow(session::MainWindow(), capture));
    EXPECT_GT(CountColour(capture, InCapture(IDC_VERSION_ESC), RGB(255, 0, 0)), 0u)
        << "the ESC version on screen";
}

// The commands of an update as the unit received them, a line each run of
// one command code: how many, and the least and the most time the host
// waited between the reply before and the command, in milliseconds.
std::string Traffic(const std::vector<LoggedReport>& log, std::size_t from) {
    std::string lines;
    char line[96];
    for (std::size_t i = from; i < log.size();) {
        const std::uint8_t code = log[i].bytes.at(1);
        std::size_t count = 0;
        double least = 1e9;
        double most = 0;
        for (; i < log.size() && (!log[i].fromHost || log[i].bytes.at(1) == code); ++i) {
            if (log[i].fromHost) {
                const double wait =
                    i == 0 ? 0 : (log[i].requestedAtUs - log[i - 1].completedAtUs) / 1000.0;
                least = std::min(least, wait);
                most = std::max(most, wait);
                ++count;
            }
        }
        std::snprintf(line, sizeof line, "\n  command 0x%02x x%zu, after %.1f to %.1f ms", code,
                      count, least, most);
        lines += line;
    }
    return lines;
}

// One update with the real waits: it must succeed, and its wall time divided
// by the 45,840 ms of waits the ESC needs is printed (not asserted: it
// depends on the machine), with the commands the unit received.
TEST_F(Updater, RealWaitsUpdate) {
    SetClockScale(1);
    ASSERT_NO_FATAL_FAILURE(PlugAndWaitForReady());
    std::size_t identified = 0;
    session::OnDialogThread([&] { identified = DemoUnit()->Log().size(); });
    session::Answer(IDOK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(session::Press(IDC_UPDATE, 120000));
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(session::ItemText(IDC_HINT), Text(IDS_UPDATE_SUCCEEDED));
    // From the system lock's write to the last reply, by the emulated unit's
    // log; the press of the button also holds the confirmation box.
    double commandsMs = 0;
    std::string traffic;
    session::OnDialogThread([&] {
        traffic = Traffic(DemoUnit()->Log(), identified);
        const auto& log = DemoUnit()->Log();
        std::size_t first = 0;
        while (first < log.size() && !(log[first].fromHost && log[first].bytes.at(1) == CMD_SYSTEM_LOCK)) {
            ++first;
        }
        if (first < log.size()) {
            commandsMs = (log.back().completedAtUs - log[first].requestedAtUs) / 1000.0;
        }
    });
    std::printf("real-wait update: lock to last reply %.1f ms / the ESC's waits 45840 ms = %.4f; "
                "whole press incl. the confirmation box %.1f ms\n"
                "real-wait update: what the unit received%s\n",
                commandsMs, commandsMs / 45840.0, wallMs, traffic.c_str());
    EXPECT_GE(commandsMs, 45840.0) << "the waits must not be shorter than the ESC needs";
    RecordProperty("wall_ms", static_cast<int>(wallMs));
}

}  // namespace
