// The owner's stories as GoogleTest cases, for the C++ stages that run under
// GoogleTest with the emulated unit (tests/native/stories_test.cpp,
// tests/wine/stories_e2e_test.cpp): the cases' registration and the unit's
// side of an act, once for both.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "emulator/emulated_unit.h"
#include "tests/stories/play_story.h"

// A story's case name: its name, with _ for - (GoogleTest takes no hyphen;
// CTest names the case "story NAME", tests/stories/story_table.cmake).
std::string StoryCaseName(const ::testing::TestParamInfo<Story>& info);

// What `unit` went through from its log's entry `from` on, its flash
// against the image the stage writes.
SeenUnit SeenOfUnit(const EmulatedUnit& unit, std::size_t from);

// One case per story for `Fixture` (a fixture whose parameter is the story),
// skipped with the table's reason where the stage cannot play it.
#define ORVANTO_STORY_CASES(Fixture)                                              \
    TEST_P(Fixture, Plays) {                                                      \
        const std::string reason = CannotPlay(GetParam(), StageName());          \
        if (!reason.empty()) {                                                    \
            GTEST_SKIP() << reason;                                               \
        }                                                                         \
        PlayStory(GetParam());                                                    \
    }                                                                             \
    INSTANTIATE_TEST_SUITE_P(Story, Fixture, ::testing::ValuesIn(Stories()), StoryCaseName)
