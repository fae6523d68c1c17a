# The owner's stories as C++ (tests/stories/story.h): Stories(), made from
# the JSON that the browser stages read, as tests/stories/load_stories.py
# checks and completes it (the fault names it checks against are the
# emulated unit's, in emulator/demo_unit.cpp), and the table's kinds as
# enums (story_kinds.h). Included by every folder whose programs play them;
# the rule is made once. orvanto_plays_stories(TARGET [GOOGLETEST]) gives a
# program the table, the texts its boxes and hint read as (story_texts.cpp,
# with StoryText defined by the program) and the player (play_story.cpp,
# with the program's driver); with GOOGLETEST, the stories as its cases and
# the unit's side of the emulated unit (story_cases.cpp).
set(ORVANTO_STORY_DIR ${ORVANTO_GENERATED_DIR}/stories)
set(ORVANTO_STORY_TABLE_CPP ${ORVANTO_STORY_DIR}/story_table.cpp)
set(ORVANTO_STORY_KINDS_H ${ORVANTO_STORY_DIR}/story_kinds.h)
if(NOT TARGET orvanto_story_table)
  add_custom_command(OUTPUT ${ORVANTO_STORY_TABLE_CPP} ${ORVANTO_STORY_KINDS_H}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVANTO_STORY_DIR}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/stories/make_story_table.py
            ${CMAKE_SOURCE_DIR}/tests/stories/stories.json ${ORVANTO_STORY_TABLE_CPP}
            ${ORVANTO_STORY_KINDS_H}
    DEPENDS ${CMAKE_SOURCE_DIR}/tests/stories/stories.json
            ${CMAKE_SOURCE_DIR}/tests/stories/load_stories.py
            ${CMAKE_SOURCE_DIR}/tests/stories/make_story_table.py
            ${CMAKE_SOURCE_DIR}/emulator/demo_unit.cpp
    COMMENT "Making the table of the stories")
  add_custom_target(orvanto_story_table DEPENDS ${ORVANTO_STORY_TABLE_CPP} ${ORVANTO_STORY_KINDS_H})
endif()

function(orvanto_plays_stories target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "GOOGLETEST" "" "")
  target_sources(${target} PRIVATE ${ORVANTO_STORY_TABLE_CPP}
    ${CMAKE_SOURCE_DIR}/tests/stories/story_texts.cpp ${CMAKE_SOURCE_DIR}/tests/stories/play_story.cpp)
  if(arg_GOOGLETEST)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/stories/story_cases.cpp)
  endif()
  set_source_files_properties(${ORVANTO_STORY_TABLE_CPP} ${ORVANTO_STORY_KINDS_H}
    DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTIES GENERATED TRUE)
  target_include_directories(${target} PRIVATE ${ORVANTO_STORY_DIR})
  add_dependencies(${target} orvanto_story_table)
endfunction()

# Each story a test of its own, named as in the table ("story NAME"), as
# every stage names it: `ctest -R NAME` picks it on every C++ stage, as
# `node --test --test-name-pattern NAME` does on the browser's. `target` is
# the GoogleTest program whose parametrised `suite` plays them (GoogleTest
# writes the name's - as _); its other tests it discovers itself, without
# the stories.
function(orvanto_story_tests target suite)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "PROPERTIES")
  execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/stories/load_stories.py
                          --names ${CMAKE_SOURCE_DIR}/tests/stories/stories.json
                  OUTPUT_VARIABLE names ERROR_VARIABLE error RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${error}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/tests/stories/stories.json ${CMAKE_SOURCE_DIR}/tests/stories/load_stories.py)
  string(REPLACE "\n" ";" names "${names}")
  foreach(name IN LISTS names)
    if(name STREQUAL "")
      continue()
    endif()
    string(REPLACE "-" "_" case "${name}")
    add_test(NAME "story ${name}" COMMAND ${target} --gtest_filter=${suite}/${case})
    set_tests_properties("story ${name}" PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
      ${arg_PROPERTIES})
  endforeach()
endfunction()
