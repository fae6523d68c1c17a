#include "emulator/win32/tour.h"

#include <windows.h>

#include <cstdio>

#include "emulator/demo_unit.h"
#include "emulator/win32/updater_session.h"
#include "link/report.h"
#include "res/resource.h"

namespace session = updater_session;

namespace {

int failures = 0;

void Check(bool condition, const char* stage) {
    std::printf("tour: %-44s %s\n", stage, condition ? "ok" : "NOT AS EXPECTED");
    std::fflush(stdout);
    if (!condition) {
        ++failures;
    }
}

void Shot(const std::wstring& name) {
    session::OnDialogThread([] {
        RedrawWindow(session::MainWindow(), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    });
    session::Screenshot(session::MainWindow(), name);
}

}  // namespace

int RunTour(const std::wstring& folder, const std::wstring& prefix, bool quick) {
    failures = 0;
    if (!session::Start(folder)) {
        std::printf("tour: the updater's window did not appear\n");
        return 1;
    }

    // 1. No unit.
    Shot(prefix + L"1-no-unit");
    Check(!session::ItemEnabled(IDC_UPDATE), "no unit: Update disabled");

    // 2. A LINK-BOX with an ORVANTO ESC is plugged in.
    session::OnDialogThread([] { PlugDemoUnit(DemoUnitSettings{}); });
    Check(session::WaitFor([] { return session::ItemEnabled(IDC_UPDATE); }), "unit plugged: ready");
    Shot(prefix + L"2-unit-plugged");

    int stage = 3;
    if (!quick) {
        // 3. Update to success, with the real waits: about 46 seconds.
        session::OnDialogThread([&prefix] {
            DemoUnit()->onReport = [prefix](const std::vector<std::uint8_t>& report) {
                static int blocks = 0;
                if (report.at(1) == CMD_WRITE_DATA && ++blocks == 1000) {
                    session::Screenshot(session::MainWindow(), prefix + L"4-updating");
                }
            };
        });
        session::Answer(IDOK, prefix + L"3-confirmation");
        std::printf("tour: updating with the real waits, about 46 seconds...\n");
        std::fflush(stdout);
        Check(session::Press(IDC_UPDATE, 120000), "update ran to its end");
        Check(session::ItemText(IDC_VERSION_ESC) == L"3.0", "update succeeded: ESC shows 3.0");
        Shot(prefix + L"5-updated");
        stage = 6;

        // The unit is pulled out and plugged in again for the next stage.
        session::OnDialogThread([] { UnplugDemoUnit(); });
        session::WaitFor([] { return !session::ItemEnabled(IDC_VERSION_ESC); });
        session::OnDialogThread([] { PlugDemoUnit(DemoUnitSettings{}); });
        Check(session::WaitFor([] { return session::ItemEnabled(IDC_UPDATE); }), "unit plugged again");
    }

    // A failure: the unit reports an error to the purge.
    session::OnDialogThread([] {
        ArmDemoFault(DemoFaultKind::UnitError, DemoFaultStep::Purge, 0, 0xABCD);
    });
    session::Answer(IDOK);
    session::Answer(IDOK, prefix + std::to_wstring(stage) + L"-failure-box");
    Check(session::Press(IDC_UPDATE, 60000), "failing update ran to its end");
    Check(!session::ItemEnabled(IDC_UPDATE) && session::Boxes().size() >= 2,
          "failure reported, Update disabled");
    Shot(prefix + std::to_wstring(stage + 1) + L"-failed");

    Check(session::Close() == 0, "closed");
    return failures == 0 ? 0 : 1;
}
