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
#include "emulator/win32/scaled_clock.h"
#include "emulator/win32/updater_session.h"
#include "link/report.h"
#include "platform/window.h"
#include "res/resource.h"
#include "tests/stories/story.h"
#include "tests/wine/expected_texts.h"
#include "update/firmware_image.h"
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

int ButtonId(int answer) {
    switch (answer) {
    case ANSWER_OK:
        return IDOK;
    case ANSWER_CANCEL:
        return IDCANCEL;
    case ANSWER_YES:
        return IDYES;
    case ANSWER_NO:
        return IDNO;
    default:
        return 0;
    }
}

int IconId(const std::string& icon) {
    if (icon == "warning") {
        return SEEN_ICON_WARNING;
    }
    if (icon == "error") {
        return SEEN_ICON_ERROR;
    }
    return icon == "information" ? SEEN_ICON_INFORMATION : 0;
}

// Arms the fault for the next update on the plugged unit, on the dialog's
// thread; false for a name the demo does not know, or without a unit.
bool ArmFault(const StoryFault& fault) {
    DemoFaultKind kind{};
    DemoFaultStep step{};
    bool armed = false;
    if (DemoFaultKindFromName(fault.kind, kind) && DemoFaultStepFromName(fault.step, step)) {
        session::OnDialogThread(
            [&] { armed = ArmDemoFault(kind, step, fault.block, fault.errorCode); });
    }
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

// Where things stood when an act began, to tell what the act brought.
struct ActStart {
    UnitMoment unit;
    std::size_t boxes = 0;
    std::size_t positions = 0;
    std::uint32_t removals = 0;
};

class StoryPlay : public ::testing::TestWithParam<Story> {
protected:
    void SetUp() override {
        ASSERT_TRUE(session::Start(session::ScreenshotFolderFromEnvironment()))
            << "the main window did not appear";
    }

    void TearDown() override {
        const std::vector<std::string> problems = session::Finish();
        EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    }

    // Pulls the plugged unit out and waits until the window has handled it.
    static void PullOut() {
        ASSERT_TRUE(session::AwaitDeviceEvent(DBT_DEVICEREMOVECOMPLETE, [] { UnplugDemoUnit(); }))
            << "the window did not handle the unit's removal within 10 s";
    }

    // Plugs a unit in on the dialog's thread (`plugIn` says whether it could)
    // and waits until the window has handled its arrival, boxes included.
    static void PlugIn(const std::function<bool()>& plugIn) {
        bool plugged = false;
        ASSERT_TRUE(session::AwaitDeviceEvent(DBT_DEVICEARRIVAL, [&] { plugged = plugIn(); }))
            << "the window did not handle the unit's arrival within 10 s";
        ASSERT_TRUE(plugged);
    }

    // The answers for the act's boxes, in order; a box that is open while the
    // unit is pulled out is answered once the window has handled the removal.
    static void QueueAnswers(const StoryAct& act) {
        for (const StoryBox& box : act.boxes) {
            const std::wstring shot = box.shot.empty() ? L"" : ShotName(box.shot);
            if (box.whileOpen == "unplug") {
                session::AnswerAfter(ButtonId(box.answer), [] { UnplugDemoUnit(); },
                                     DBT_DEVICEREMOVECOMPLETE, shot);
            } else if (box.whileOpen == "plug") {
                // Pulled out, then the other unit in: the box is answered once
                // the window has handled its arrival.
                session::AnswerAfter(ButtonId(box.answer), [&box] {
                    UnplugDemoUnit();
                    if (const std::shared_ptr<EmulatedUnit> unit = PlugDemoUnit(box.unit)) {
                        unit->purgeDurationMs = box.purgeMs;
                    }
                }, DBT_DEVICEARRIVAL, shot);
            } else {
                ASSERT_EQ(box.whileOpen, "") << "nothing is done while a box is open but unplug or plug";
                session::Answer(ButtonId(box.answer), shot);
            }
        }
    }

    static void Do(const StoryAct& act, const ActStart& start) {
        switch (act.what) {
        case StoryDo::Look:
            break;
        case StoryDo::Plug: {
            if (start.unit.plugged) {
                ASSERT_NO_FATAL_FAILURE(PullOut());
            }
            ASSERT_NO_FATAL_FAILURE(PlugIn([&] {
                const std::shared_ptr<EmulatedUnit> unit = PlugDemoUnit(act.unit);
                if (unit) {
                    unit->purgeDurationMs = act.purgeMs;
                }
                return unit != nullptr;
            }));
            break;
        }
        case StoryDo::Unplug:
            ASSERT_TRUE(start.unit.plugged) << "no unit to pull out";
            ASSERT_NO_FATAL_FAILURE(PullOut());
            break;
        case StoryDo::Replug:
            if (start.unit.plugged) {
                ASSERT_NO_FATAL_FAILURE(PullOut());
            }
            ASSERT_NO_FATAL_FAILURE(PlugIn([] { return ReplugDemoUnit() != nullptr; }));
            break;
        case StoryDo::Arm:
            ASSERT_TRUE(ArmFault(act.fault))
                << "the fault " << act.fault.kind << " at " << act.fault.step << " was not armed";
            break;
        case StoryDo::Update:
            ASSERT_TRUE(session::Press(IDC_UPDATE, ACT_LIMIT_MS))
                << "the update did not return within " << ACT_LIMIT_MS << " ms";
            break;
        }
    }

    static void ExpectBoxes(const StoryAct& act, const ActStart& start) {
        const std::vector<SeenBox> seen = session::Boxes();
        std::wstring texts;
        for (std::size_t i = start.boxes; i < seen.size(); ++i) {
            texts += L"\n  " + seen[i].caption + L": " + seen[i].text;
        }
        ASSERT_EQ(seen.size() - start.boxes, act.boxes.size())
            << "message boxes in the act:" << ::testing::PrintToString(texts);
        for (std::size_t i = 0; i < act.boxes.size(); ++i) {
            const StoryBox& want = act.boxes[i];
            const SeenBox& box = seen[start.boxes + i];
            SCOPED_TRACE("box " + std::to_string(i + 1) + ", " + want.kind);
            EXPECT_EQ(box.caption, Text(want.caption));
            EXPECT_EQ(box.text, StoryBoxText(want));
            std::vector<int> buttons;
            for (int answer : want.buttons) {
                buttons.push_back(ButtonId(answer));
            }
            EXPECT_EQ(box.buttons, buttons);
            EXPECT_EQ(box.icon, IconId(want.icon));
            if (want.kind == "failure") {
                EXPECT_FALSE(box.progressWindowOpen) << "the progress window is gone before the box";
            }
        }
    }

    static void ExpectWindow(const StorySee& see) {
        if (see.hint) {
            const std::wstring text = Text(*see.hint);
            EXPECT_EQ(session::ItemText(IDC_HINT),
                      see.waiting ? StoryWaitingHint(*see.hint) : text);
        }
        if (see.update) {
            EXPECT_EQ(session::ItemEnabled(IDC_UPDATE), *see.update) << "Update enabled";
        }
        const std::pair<const std::optional<std::wstring>*, int> rows[] = {
            {&see.unit, IDC_LABEL_UNIT},
            {&see.unitVersion, IDC_VERSION_UNIT},
            {&see.bootloader, IDC_VERSION_BOOTLOADER},
            {&see.esc, IDC_VERSION_ESC}};
        for (const auto& row : rows) {
            if (*row.first) {
                EXPECT_EQ(session::ItemText(row.second), **row.first) << "control " << row.second;
            }
        }
    }

    // The reports, the bar's positions, the waits after the blocks and the
    // ESC's flash, all from the act's start on.
    static void ExpectUnit(const StorySee& see, const ActStart& start) {
        const UnitMoment end = UnitNow();
        const std::size_t from = end.unit == start.unit.unit ? start.unit.logSize : 0;
        if (see.progress) {
            EXPECT_EQ(session::Progress().positions.size() - start.positions, *see.progress)
                << "positions the bar was given";
        }
        if (!see.reports && !see.blockWaitMs && !see.flashImage && !see.flashBlocks) {
            return;
        }
        ASSERT_NE(end.unit, nullptr) << "no unit was ever plugged in";
        session::OnDialogThread([&] {
            const std::vector<LoggedReport>& log = end.unit->Log();
            if (see.reports) {
                const auto received = std::count_if(log.begin() + static_cast<std::ptrdiff_t>(from),
                                                    log.end(),
                                                    [](const LoggedReport& r) { return r.fromHost; });
                EXPECT_EQ(static_cast<std::uint32_t>(received), *see.reports)
                    << "reports the unit received";
            }
            if (see.blockWaitMs) {
                const std::optional<std::uint64_t> least =
                    end.unit->LeastHostWaitAfter(CMD_WRITE_DATA, from);
                EXPECT_TRUE(least.has_value()) << "no block's reply was followed by a report";
                EXPECT_GE(least.value_or(0), *see.blockWaitMs * 1000ull)
                    << "the least wait after a block's reply, in us";
            }
            if (see.flashImage || see.flashBlocks) {
                const FirmwareImage image = LocateFirmwareImage();
                const std::uint32_t written =
                    see.flashImage ? image.size
                                   : std::min(image.size, *see.flashBlocks * BLOCK_BYTES);
                const std::vector<std::uint8_t>& flash = end.unit->esc.flash;
                ASSERT_GE(flash.size(), written);
                EXPECT_TRUE(std::equal(image.data, image.data + written, flash.begin()))
                    << "the flash does not start with the image's first " << written << " bytes";
                EXPECT_EQ(std::count(flash.begin() + written, flash.end(), 0xFF),
                          static_cast<std::ptrdiff_t>(flash.size() - written))
                    << "not all is erased after the first " << written << " bytes";
            }
        });
    }

    static void Play(const Story& story) {
        const std::string reason = CannotPlay(story, "wine");
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        SetClockScale(TEST_CLOCK_SCALE);
        for (std::size_t number = 0; number < story.acts.size(); ++number) {
            const StoryAct& act = story.acts[number];
            SCOPED_TRACE("act " + std::to_string(number + 1));
            ActStart start;
            start.unit = UnitNow();
            start.boxes = session::Boxes().size();
            start.positions = session::Progress().positions.size();
            start.removals = session::DeviceEventsHandled(DBT_DEVICEREMOVECOMPLETE);
            ASSERT_NO_FATAL_FAILURE(QueueAnswers(act));
            ASSERT_NO_FATAL_FAILURE(Do(act, start));
            // A unit that went in the act (pulled out in the middle of an
            // update) is handled once the update has returned: what the act
            // leaves is what the window shows after that.
            if (start.unit.plugged && !UnitNow().plugged) {
                ASSERT_TRUE(session::WaitFor([&] {
                    return session::DeviceEventsHandled(DBT_DEVICEREMOVECOMPLETE) > start.removals;
                })) << "the window did not handle the unit's removal within 10 s";
            }
            ASSERT_NO_FATAL_FAILURE(ExpectBoxes(act, start));
            ExpectWindow(act.see);
            ASSERT_NO_FATAL_FAILURE(ExpectUnit(act.see, start));
            if (!act.shot.empty()) {
                session::PaintThrough();
                session::Screenshot(session::MainWindow(), ShotName(act.shot));
            }
        }
    }
};

// The story's name as a test's: GoogleTest takes no hyphen.
std::string TestName(const ::testing::TestParamInfo<Story>& info) {
    std::string name;
    for (const char c : info.param.name) {
        name += c == '-' ? '_' : c;
    }
    return name;
}

TEST_P(StoryPlay, Plays) { Play(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Story, StoryPlay, ::testing::ValuesIn(Stories()), TestName);

}  // namespace

std::wstring StoryText(std::uint32_t id) { return Text(id); }
