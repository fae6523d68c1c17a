// The stories as GoogleTest cases (story_cases.h), and what the player's
// driver does alike on both GoogleTest stages: a failed check is a test's
// failure, a note a line of its output.
#include "tests/stories/story_cases.h"

#include <algorithm>
#include <cstdio>

#include "link/report.h"
#include "update/firmware_image.h"

std::string StoryCaseName(const ::testing::TestParamInfo<Story>& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

SeenUnit SeenOfUnit(const EmulatedUnit& unit, std::size_t from) {
    SeenUnit seen;
    const std::vector<LoggedReport>& log = unit.Log();
    for (std::size_t i = from; i < log.size(); ++i) {
        seen.reports += log[i].fromHost ? 1 : 0;
    }
    seen.leastBlockWaitUs = unit.LeastHostWaitAfter(CMD_WRITE_DATA, from);
    const FirmwareImage image = LocateFirmwareImage();
    SeeFlash(seen, unit.esc.flash, image.data, image.size);
    return seen;
}

void StageFailed(const std::string& what, const std::string& seen) {
    ADD_FAILURE() << what << "; seen: " << seen;
}

void StageNote(const std::string& line) { std::printf("%s\n", line.c_str()); }
