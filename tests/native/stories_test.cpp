// The owner's stories (tests/stories/stories.json) played by the portable
// core: the shell's handlers with the recorded window, the demo's emulated
// unit on the bus and the simulated clock. The player
// (tests/stories/play_story.h) walks the acts and checks; this is its driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "emulator/demo_unit.h"
#include "tests/native/shell_fixture.h"
#include "tests/stories/story_cases.h"

namespace {

void Arrive() {
    const DeviceBroadcast broadcast{DEVICE_TYPE_INTERFACE, DEMO_UNIT_PATH};
    OnDeviceChange(DEVICE_EVENT_ARRIVAL, &broadcast);
}

void Unplug() {
    UnplugDemoUnit();
    const DeviceBroadcast broadcast{DEVICE_TYPE_INTERFACE, DEMO_UNIT_PATH};
    OnDeviceChange(DEVICE_EVENT_REMOVE_COMPLETE, &broadcast);
}

void Plug(const DemoUnitSettings& settings, std::uint32_t purgeMs) {
    if (DemoUnit()) {
        Unplug();  // the unit plugged in before goes first
    }
    PlugDemoUnit(settings)->purgeDurationMs = purgeMs;
    Arrive();
}

// Where things stood when the act began.
struct ActStart {
    std::shared_ptr<EmulatedUnit> unit;
    std::size_t log = 0;
    std::size_t boxes = 0;
    std::size_t positions = 0;
    std::vector<bool> progressOpenAtBox;
    std::vector<std::optional<SeenWindow>> windowAtBox;
};
ActStart start;

// A MessageBoxW style's buttons, default button and icon, as a box shows
// them.
SeenBox SeenFromStyle(const WindowOperation& box) {
    SeenBox seen;
    seen.caption = box.caption;
    seen.text = box.text;
    switch (box.value & 0x0F) {
    case BOX_OK_CANCEL:
        seen.buttons = {ANSWER_OK, ANSWER_CANCEL};
        break;
    case BOX_YES_NO:
        seen.buttons = {ANSWER_YES, ANSWER_NO};
        break;
    default:
        seen.buttons = {ANSWER_OK};
        break;
    }
    const std::size_t defaultIndex = (box.value >> 8) & 0x0F;  // MB_DEFBUTTON1 to 4
    seen.defaultButton = defaultIndex < seen.buttons.size() ? seen.buttons[defaultIndex] : 0;
    switch (box.value & 0xF0) {
    case BOX_ICON_EXCLAMATION:
        seen.icon = "warning";
        break;
    case BOX_ICON_ERROR:
        seen.icon = "error";
        break;
    case BOX_ICON_INFORMATION:
        seen.icon = "information";
        break;
    default:
        seen.icon = "none";
        break;
    }
    return seen;
}

class StoryTest : public ShellFixture, public ::testing::WithParamInterface<Story> {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        OnInitDialog(DIALOG);
    }

    void TearDown() override {
        UnplugDemoUnit();
        start = ActStart{};
        ShellFixture::TearDown();
    }
};

ORVANTO_STORY_CASES(StoryTest);

}  // namespace

std::wstring StoryText(std::uint32_t id) { return LoadText(id); }

// ---- The player's driver.

const char* StageName() { return "native"; }

void StageBeginAct(const StoryAct&, std::size_t) {
    start.unit = LastDemoUnit();
    start.log = start.unit ? start.unit->Log().size() : 0;
    start.boxes = recorded_window::Boxes().size();
    start.positions = recorded_window::ProgressPositions().size();
    start.progressOpenAtBox.clear();
    start.windowAtBox.clear();
}

bool StageDo(const StoryAct& act, std::size_t) {
    for (const StoryBox& box : act.boxes) {
        recorded_window::QueueBoxAnswer({box.answer, [&box] {
            start.progressOpenAtBox.push_back(recorded_window::ProgressWindowExists());
            switch (box.whileOpen) {
            case StoryWhileOpen::Nothing:
                break;
            case StoryWhileOpen::Unplug:
                Unplug();
                break;
            case StoryWhileOpen::Plug:
                Plug(box.unit, box.purgeMs);
                break;
            case StoryWhileOpen::SwapEsc:
                if (!SwapDemoEsc(box.unit)) {
                    StageFailed("an ESC swapped behind the unit", "no unit plugged in");
                }
                break;
            }
            // The device events are handled as they come: the window is as
            // it stays while the box is open.
            start.windowAtBox.push_back(
                WindowFrom(recorded_window::ItemText, recorded_window::ItemEnabled(IDC_UPDATE), true));
        }});
    }
    switch (act.what) {
    case StoryDo::Look:
        break;
    case StoryDo::Plug:
        Plug(act.unit, act.purgeMs);
        break;
    case StoryDo::Unplug:
        Unplug();
        break;
    case StoryDo::Replug:
        if (act.pullOutFirst && DemoUnit()) {
            Unplug();
        }
        if (ReplugDemoUnit() == nullptr) {
            StageFailed("a unit to plug in again", "none");
            return false;
        }
        Arrive();
        break;
    case StoryDo::Arm:
        if (!ArmDemoFault(act.fault.kind, act.fault.step, act.fault.block, act.fault.errorCode,
                          act.fault.lastError)) {
            StageFailed("the fault " + act.fault.name + " armed", "it refused");
            return false;
        }
        break;
    case StoryDo::Update:
        if (!OnCommand(IDC_UPDATE)) {
            StageFailed("Update handled", "not handled");
            return false;
        }
        break;
    }
    return true;
}

std::vector<SeenBox> StageBoxes() {
    const std::vector<WindowOperation> all = recorded_window::Boxes();
    std::vector<SeenBox> seen;
    for (std::size_t i = start.boxes; i < all.size(); ++i) {
        seen.push_back(SeenFromStyle(all[i]));
        const std::size_t index = i - start.boxes;
        seen.back().progressOpen =
            index < start.progressOpenAtBox.size() && start.progressOpenAtBox[index];
        if (index < start.windowAtBox.size()) {
            seen.back().window = start.windowAtBox[index];
        }
    }
    return seen;
}

SeenWindow StageWindow(const StoryAct&, const std::function<bool(const SeenWindow&)>&) {
    // The act has run to its end: the window is as it stays.
    return WindowFrom(recorded_window::ItemText, recorded_window::ItemEnabled(IDC_UPDATE), false);
}

std::optional<std::uint32_t> StageProgressPositions() {
    return static_cast<std::uint32_t>(recorded_window::ProgressPositions().size() - start.positions);
}

std::optional<SeenUnit> StageUnit() {
    const std::shared_ptr<EmulatedUnit> unit = LastDemoUnit();
    if (!unit) {
        StageFailed("a unit plugged in", "none ever");
        return std::nullopt;
    }
    // A unit plugged in during the act went through all of its log in it.
    return SeenOfUnit(*unit, unit == start.unit ? start.log : 0);
}

void StageActChecked(const StoryAct&, std::size_t) {}
