# The owner's stories as C++ (tests/stories/story.h): Stories(), made from
# the JSON that the browser stages read, as tests/stories/load_stories.py
# checks and completes it (the fault names it checks against are the
# emulated unit's, in emulator/demo_unit.cpp). Included by every folder whose
# programs play them; the rule is made once. ORVANTO_STORY_TABLE names the
# sources each such program compiles: the table, the texts its boxes and
# hint read as (story_texts.cpp, with StoryText defined by the program), and
# the player (play_story.cpp, with the program's driver).
set(ORVANTO_STORY_TABLE_CPP ${ORVANTO_GENERATED_DIR}/story_table.cpp)
set(ORVANTO_STORY_TABLE ${ORVANTO_STORY_TABLE_CPP} ${CMAKE_SOURCE_DIR}/tests/stories/story_texts.cpp
    ${CMAKE_SOURCE_DIR}/tests/stories/play_story.cpp)
if(NOT TARGET orvanto_story_table)
  add_custom_command(OUTPUT ${ORVANTO_STORY_TABLE_CPP}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/stories/make_story_table.py
            ${CMAKE_SOURCE_DIR}/tests/stories/stories.json ${ORVANTO_STORY_TABLE_CPP}
    DEPENDS ${CMAKE_SOURCE_DIR}/tests/stories/stories.json
            ${CMAKE_SOURCE_DIR}/tests/stories/load_stories.py
            ${CMAKE_SOURCE_DIR}/tests/stories/make_story_table.py
            ${CMAKE_SOURCE_DIR}/emulator/demo_unit.cpp
    COMMENT "Making the table of the stories")
  add_custom_target(orvanto_story_table DEPENDS ${ORVANTO_STORY_TABLE_CPP})
endif()
set_source_files_properties(${ORVANTO_STORY_TABLE_CPP} PROPERTIES GENERATED TRUE)
