// The owner's stories (tests/stories/stories.json) played by the portable
// core: the shell's handlers with the recorded window, the demo's emulated
// unit on the bus and the simulated clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "emulator/demo_unit.h"
#include "link/commands.h"
#include "tests/native/shell_fixture.h"
#include "tests/stories/story.h"
#include "update/firmware_image.h"
#include "update/firmware_update.h"

namespace {

std::uint32_t BoxStyle(const StoryBox& box) {
    std::uint32_t style = BOX_OK;
    if (box.buttons == std::vector<int>{ANSWER_OK, ANSWER_CANCEL}) {
        style = BOX_OK_CANCEL;
    } else if (box.buttons == std::vector<int>{ANSWER_YES, ANSWER_NO}) {
        style = BOX_YES_NO;
    }
    if (box.icon == "warning") {
        return style | BOX_ICON_EXCLAMATION;
    }
    return style | (box.icon == "error" ? BOX_ICON_ERROR : BOX_ICON_INFORMATION);
}

class StoryTest : public ShellFixture, public ::testing::WithParamInterface<Story> {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        OnInitDialog(DIALOG);
    }

    void TearDown() override {
        UnplugDemoUnit();
        ShellFixture::TearDown();
    }

    void Unplug() {
        UnplugDemoUnit();
        Remove(DEMO_UNIT_PATH);
    }

    // Does what the act does, answering its boxes as it says.
    void Do(const StoryAct& act, std::vector<bool>& progressOpenAtBox) {
        for (std::size_t i = 0; i < act.boxes.size(); ++i) {
            const StoryBox& box = act.boxes[i];
            recorded_window::QueueBoxAnswer({box.answer, [this, &box, &progressOpenAtBox] {
                progressOpenAtBox.push_back(recorded_window::ProgressWindowExists());
                if (box.whileOpen == "unplug") {
                    Unplug();
                } else if (box.whileOpen == "plug") {
                    Unplug();
                    PlugDemoUnit(box.unit)->purgeDurationMs = box.purgeMs;
                    Arrive(DEMO_UNIT_PATH);
                }
            }});
        }
        switch (act.what) {
        case StoryDo::Look:
            break;
        case StoryDo::Plug:
            if (DemoUnit()) {
                Unplug();  // the unit plugged in before goes first
            }
            PlugDemoUnit(act.unit)->purgeDurationMs = act.purgeMs;
            Arrive(DEMO_UNIT_PATH);
            break;
        case StoryDo::Unplug:
            Unplug();
            break;
        case StoryDo::Replug:
            if (DemoUnit()) {
                Unplug();
            }
            ASSERT_NE(ReplugDemoUnit(), nullptr);
            Arrive(DEMO_UNIT_PATH);
            break;
        case StoryDo::Arm: {
            DemoFaultKind kind{};
            DemoFaultStep step{};
            ASSERT_TRUE(DemoFaultKindFromName(act.fault.kind, kind)) << act.fault.kind;
            ASSERT_TRUE(DemoFaultStepFromName(act.fault.step, step)) << act.fault.step;
            ASSERT_TRUE(ArmDemoFault(kind, step, act.fault.block, act.fault.errorCode));
            break;
        }
        case StoryDo::Update:
            ASSERT_TRUE(OnCommand(IDC_UPDATE));
            break;
        }
    }

    void Play(const Story& story) {
        for (std::size_t number = 0; number < story.acts.size(); ++number) {
            const StoryAct& act = story.acts[number];
            SCOPED_TRACE("act " + std::to_string(number + 1));
            const std::shared_ptr<EmulatedUnit> unitBefore = LastDemoUnit();
            const std::size_t logBefore = unitBefore ? unitBefore->Log().size() : 0;
            const std::size_t boxesBefore = recorded_window::Boxes().size();
            const std::size_t positionsBefore = recorded_window::ProgressPositions().size();
            std::vector<bool> progressOpenAtBox;
            ASSERT_NO_FATAL_FAILURE(Do(act, progressOpenAtBox));

            const auto allBoxes = recorded_window::Boxes();
            const std::vector<WindowOperation> boxes(allBoxes.begin() + boxesBefore, allBoxes.end());
            ASSERT_EQ(boxes.size(), act.boxes.size()) << "message boxes";
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                const StoryBox& want = act.boxes[i];
                SCOPED_TRACE("box " + std::to_string(i + 1) + ", " + want.kind);
                EXPECT_EQ(boxes[i].caption, LoadText(want.caption));
                EXPECT_EQ(boxes[i].text, StoryBoxText(want));
                EXPECT_EQ(boxes[i].value, BoxStyle(want));
                if (want.kind == "failure") {
                    EXPECT_FALSE(progressOpenAtBox.at(i)) << "the progress window is gone before the box";
                }
            }

            const StorySee& see = act.see;
            if (see.hint) {
                EXPECT_EQ(Hint(), see.waiting ? StoryWaitingHint(*see.hint) : LoadText(*see.hint));
            }
            if (see.update) {
                EXPECT_EQ(UpdateEnabled(), *see.update) << "Update enabled";
            }
            const std::pair<const std::optional<std::wstring>&, int> rows[] = {
                {see.unit, IDC_LABEL_UNIT}, {see.unitVersion, IDC_VERSION_UNIT},
                {see.bootloader, IDC_VERSION_BOOTLOADER}, {see.esc, IDC_VERSION_ESC}};
            for (const auto& [want, id] : rows) {
                if (want) {
                    EXPECT_EQ(recorded_window::ItemText(id), *want) << "the row of control " << id;
                }
            }
            const std::shared_ptr<EmulatedUnit> unit = LastDemoUnit();
            const std::size_t from = unit == unitBefore ? logBefore : 0;
            if (see.reports) {
                ASSERT_NE(unit, nullptr);
                std::uint32_t received = 0;
                for (std::size_t i = from; i < unit->Log().size(); ++i) {
                    received += unit->Log()[i].fromHost ? 1 : 0;
                }
                EXPECT_EQ(received, *see.reports) << "reports the unit received";
            }
            if (see.progress) {
                EXPECT_EQ(recorded_window::ProgressPositions().size() - positionsBefore, *see.progress)
                    << "positions the bar was given";
            }
            if (see.blockWaitMs) {
                const auto least = unit->LeastHostWaitAfter(CMD_WRITE_DATA, from);
                ASSERT_TRUE(least.has_value()) << "no block was followed by another report";
                EXPECT_GE(*least, *see.blockWaitMs * 1000ull) << "the least wait after a block, in us";
            }
            if (see.flashImage || see.flashBlocks) {
                const FirmwareImage image = LocateFirmwareImage();
                const std::uint32_t size =
                    see.flashImage ? image.size : std::min(image.size, *see.flashBlocks * BLOCK_BYTES);
                const auto& flash = unit->esc.flash;
                EXPECT_TRUE(std::equal(image.data, image.data + size, flash.begin()))
                    << "the flash does not hold the first " << size << " bytes of the image";
                EXPECT_TRUE(std::all_of(flash.begin() + size, flash.end(),
                                        [](std::uint8_t b) { return b == 0xFF; }))
                    << "something was written after the first " << size << " bytes";
            }
        }
    }
};

TEST_P(StoryTest, Plays) {
    const std::string reason = CannotPlay(GetParam(), "native");
    if (!reason.empty()) {
        GTEST_SKIP() << reason;
    }
    Play(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Story, StoryTest, ::testing::ValuesIn(Stories()),
                         [](const ::testing::TestParamInfo<Story>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace

std::wstring StoryText(std::uint32_t id) { return LoadText(id); }
