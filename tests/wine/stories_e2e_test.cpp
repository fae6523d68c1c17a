// The owner's stories (tests/stories/stories.json) played with the real
// dialog under Wine: the emulated unit plugged in and pulled out as each act
// says, Update pressed as a click does, every message box read on screen and
// answered, and after each act the window, the progress bar, the reports the
// unit received and the ESC's flash looked at. The waits run 50 times faster
// than real. In a German Wine every story is played in German.
#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/demo_unit.h"
#include "tests/wine/scaled_clock.h"
#include "tests/wine/updater_session.h"
#include "link/report.h"
#include "platform/window.h"
#include "res/resource.h"
#include "tests/stories/story_cases.h"
#include "tests/wine/box_icons.h"
#include "tests/wine/expected_texts.h"
#include "update/firmware_update.h"

namespace session = updater_session;

namespace {

using expected_texts::German;
using expected_texts::Text;

constexpr std::uint32_t TEST_CLOCK_SCALE = 50;
// The longest act at the test's clock scale (a whole update, or a minute's
// erase and an update), with room to spare.
constexpr DWORD ACT_LIMIT_MS = 60000;

// A story's screenshot name as the end-to-end tests save it: e2e-NAME-en.bmp
// or e2e-NAME-de.bmp.
std::wstring ShotName(const std::string& name) {
    return L"e2e-" + std::wstring(name.begin(), name.end()) + (German() ? L"-de" : L"-en");
}

// Arms the fault for the next update on the plugged unit, on the dialog's
// thread; false without a unit.
bool ArmFault(const StoryFault& fault) {
    bool armed = false;
    session::OnDialogThread([&] {
        armed = ArmDemoFault(fault.kind, fault.step, fault.block, fault.errorCode, fault.lastError);
    });
    return armed;
}

// What the emulated unit holds at a moment of the story, read on the
// dialog's thread: the unit plugged in last, how much its log holds, and
// whether it is plugged in.
struct UnitMoment {
    std::shared_ptr<EmulatedUnit> unit;
    std::size_t logSize = 0;
    bool plugged = false;
};

UnitMoment UnitNow() {
    UnitMoment moment;
    session::OnDialogThread([&] {
        moment.unit = LastDemoUnit();
        moment.logSize = moment.unit ? moment.unit->Log().size() : 0;
        moment.plugged = DemoUnit() != nullptr;
    });
    return moment;
}

// Where things stood when the act began, to tell what the act brought.
struct ActStart {
    UnitMoment unit;
    std::size_t boxes = 0;
    std::size_t positions = 0;
    std::uint32_t removals = 0;
    // The window while each box was open, read right before its answer.
    std::vector<SeenWindow> windowAtBox;
};
ActStart start;

// Pulls the plugged unit out and waits until the window has handled it.
bool PullOut() {
    if (!session::AwaitDeviceEvent(DBT_DEVICEREMOVECOMPLETE, [] { UnplugDemoUnit(); })) {
        StageFailed("the window handles the unit's removal within 10 s", "it did not");
        return false;
    }
    return true;
}

// Plugs a unit in on the dialog's thread (`plugIn` says whether it could)
// and waits until the window has handled its arrival, boxes included.
bool PlugIn(const std::function<bool()>& plugIn) {
    bool plugged = false;
    if (!session::AwaitDeviceEvent(DBT_DEVICEARRIVAL, [&] { plugged = plugIn(); })) {
        StageFailed("the window handles the unit's arrival within 10 s", "it did not");
        return false;
    }
    if (!plugged) {
        StageFailed("a unit plugged in", "none could be");
    }
    return plugged;
}

// The answers for the act's boxes, in order; a box that is open while the
// unit is pulled out (or swapped) is answered once the window has handled
// the removal (or the arrival); an ESC swapped behind the unit sets off no
// notification. Right before each answer the window is read.
void QueueAnswers(const StoryAct& act) {
    for (const StoryBox& box : act.boxes) {
        const std::wstring shot = box.shot.empty() ? L"" : ShotName(box.shot);
        const auto look = [] {
            start.windowAtBox.push_back(
                WindowFrom(session::ItemText, session::ItemEnabled(IDC_UPDATE), true));
        };
        switch (box.whileOpen) {
        case StoryWhileOpen::Nothing:
            session::AnswerAfter(box.answer, nullptr, 0, shot, look);
            break;
        case StoryWhileOpen::Unplug:
            session::AnswerAfter(box.answer, [] { UnplugDemoUnit(); },
                                 DBT_DEVICEREMOVECOMPLETE, shot, look);
            break;
        case StoryWhileOpen::Plug:
            session::AnswerAfter(box.answer, [&box] {
                UnplugDemoUnit();
                if (const std::shared_ptr<EmulatedUnit> unit = PlugDemoUnit(box.unit)) {
                    unit->purgeDurationMs = box.purgeMs;
                }
            }, DBT_DEVICEARRIVAL, shot, look);
            break;
        case StoryWhileOpen::SwapEsc:
            session::AnswerAfter(box.answer, [&box] { SwapDemoEsc(box.unit); }, 0, shot, look);
            break;
        }
    }
}

class StoryPlay : public ::testing::TestWithParam<Story> {
protected:
    void SetUp() override {
        ASSERT_TRUE(session::Start(session::ScreenshotFolderFromEnvironment()))
            << "the main window did not appear";
        SetClockScale(TEST_CLOCK_SCALE);
    }

    void TearDown() override {
        const std::vector<std::string> problems = session::Finish();
        EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
        start = ActStart{};
    }
};

ORVANTO_STORY_CASES(StoryPlay);

}  // namespace

std::wstring StoryText(std::uint32_t id) { return Text(id); }

// ---- The player's driver.

const char* StageName() { return "wine"; }

void StageBeginAct(const StoryAct&, std::size_t) {
    start.unit = UnitNow();
    start.boxes = session::Boxes().size();
    start.positions = session::Progress().positions.size();
    start.removals = session::DeviceEventsHandled(DBT_DEVICEREMOVECOMPLETE);
    start.windowAtBox.clear();
}

bool StageDo(const StoryAct& act, std::size_t) {
    QueueAnswers(act);
    switch (act.what) {
    case StoryDo::Look:
        break;
    case StoryDo::Plug:
        if (start.unit.plugged && !PullOut()) {
            return false;
        }
        if (!PlugIn([&] {
                const std::shared_ptr<EmulatedUnit> unit = PlugDemoUnit(act.unit);
                if (unit) {
                    unit->purgeDurationMs = act.purgeMs;
                }
                return unit != nullptr;
            })) {
            return false;
        }
        break;
    case StoryDo::Unplug:
        if (!start.unit.plugged) {
            StageFailed("a unit to pull out", "none plugged in");
            return false;
        }
        if (!PullOut()) {
            return false;
        }
        break;
    case StoryDo::Replug:
        if ((act.pullOutFirst && start.unit.plugged && !PullOut()) ||
            !PlugIn([] { return ReplugDemoUnit() != nullptr; })) {
            return false;
        }
        break;
    case StoryDo::Arm:
        if (!ArmFault(act.fault)) {
            StageFailed("the fault " + act.fault.name + " armed", "it was not");
            return false;
        }
        break;
    case StoryDo::Update:
        if (!session::Press(IDC_UPDATE, ACT_LIMIT_MS)) {
            StageFailed("the update returns within " + std::to_string(ACT_LIMIT_MS) + " ms",
                        "it did not");
            return false;
        }
        break;
    }
    // A unit that went in the act (pulled out in the middle of an update) is
    // handled once the update has returned: what the act leaves is what the
    // window shows after that.
    if (start.unit.plugged && !UnitNow().plugged &&
        !session::WaitFor([] {
            return session::DeviceEventsHandled(DBT_DEVICEREMOVECOMPLETE) > start.removals;
        })) {
        StageFailed("the window handles the unit's removal within 10 s", "it did not");
        return false;
    }
    return true;
}

std::vector<SeenBox> StageBoxes() {
    const std::vector<ShownBox> all = session::Boxes();
    std::vector<SeenBox> seen;
    for (std::size_t i = start.boxes; i < all.size(); ++i) {
        SeenBox box;
        box.caption = all[i].caption;
        box.text = all[i].text;
        box.buttons = all[i].buttons;  // the buttons' ids are the answers
        box.defaultButton = all[i].defaultButton;
        box.icon = BoxIconName(static_cast<std::uintptr_t>(all[i].icon));
        box.progressOpen = all[i].progressWindowOpen;
        const std::size_t index = i - start.boxes;
        if (index < start.windowAtBox.size()) {
            box.window = start.windowAtBox[index];
        }
        seen.push_back(box);
    }
    return seen;
}

SeenWindow StageWindow(const StoryAct&, const std::function<bool(const SeenWindow&)>&) {
    // The update has returned and the device events are handled: the
    // window is as it stays.
    return WindowFrom(session::ItemText, session::ItemEnabled(IDC_UPDATE), false);
}

std::optional<std::uint32_t> StageProgressPositions() {
    return static_cast<std::uint32_t>(session::Progress().positions.size() - start.positions);
}

std::optional<SeenUnit> StageUnit() {
    const UnitMoment end = UnitNow();
    if (!end.unit) {
        StageFailed("a unit plugged in", "none ever");
        return std::nullopt;
    }
    // A unit plugged in during the act went through all of its log in it.
    const std::size_t from = end.unit == start.unit.unit ? start.unit.logSize : 0;
    SeenUnit seen;
    session::OnDialogThread([&] { seen = SeenOfUnit(*end.unit, from); });
    return seen;
}

void StageActChecked(const StoryAct& act, std::size_t) {
    if (!act.shot.empty()) {
        session::PaintThrough();
        session::Screenshot(session::MainWindow(), ShotName(act.shot));
    }
}
