#!/usr/bin/env python3
"""Makes the C++ table of the owner's stories from tests/stories/stories.json.

tests/stories/load_stories.py reads and checks the file and fills in every
default; this script only writes what it gives as C++: a source that defines
Stories() and StageUnchecked() (tests/stories/story.h) for the native, the
Wine and the real-stack Wine stage, and a header of the table's kinds as
enums (the boxes, their icons, what is done while one is open, the checks
a stage may lack), so that -Wswitch names each place a new one must be
handled. Texts, statuses and last-error values stay names (IDS_..., LINK_...,
PLATFORM_ERROR_...) and a fault's kind and step the emulated unit's
enumerators, so that the compiler refuses one that does not exist.

usage: make_story_table.py STORIES.JSON OUTPUT.CPP OUTPUT.H
"""
import json
import sys

sys.dont_write_bytecode = True  # nothing written into the sources' folder
import load_stories  # noqa: E402  (beside this script)

KINDS, STEPS = load_stories.fault_names()
ACTS = {"look": "Look", "plug": "Plug", "unplug": "Unplug", "replug": "Replug", "arm": "Arm",
        "update": "Update"}


def number(value):
    """A C++ expression for a number, or for a name of the program's."""
    return f"static_cast<std::uint32_t>({value})" if isinstance(value, str) else f"{value}u"


def boolean(value):
    return "true" if value else "false"


def wide(text):
    return "L" + json.dumps(text, ensure_ascii=True)


def narrow(text):
    return json.dumps(text, ensure_ascii=True)


def unit_lines(unit, record):
    return [
        f"{record}.unit.productId = {number(unit['productId'])};",
        f"{record}.unit.inBootloader = {boolean(unit['bootloader'])};",
        f"{record}.unit.escAttached = {boolean(unit['esc'])};",
        f"{record}.unit.escTypeCode = {number(unit['escTypeCode'])};",
        f"{record}.unit.escFirmwareVersion = {number(unit['escVersion'])};",
        f"{record}.unit.inputReportLength = {number(unit['inputLength'])};",
        f"{record}.unit.outputReportLength = {number(unit['outputLength'])};",
        f"{record}.purgeMs = {number(unit['purgeMs'])};",
    ]


def enumerator(name):
    """The C++ enumerator of a table's name: "version-question" is
    VersionQuestion, "blockWaitMs" BlockWaitMs."""
    return "".join(word[:1].upper() + word[1:] for word in name.split("-"))


def box_lines(box):
    lines = [f"b.kind = StoryBoxKind::{enumerator(box['kind'])};",
             f"b.caption = {box['caption']};",
             f"b.text = {box['text']};",
             f"b.icon = StoryIcon::{enumerator(box['icon'])};",
             "b.buttons = {" + ", ".join(f"ANSWER_{b}" for b in box["buttons"]) + "};",
             f"b.answer = ANSWER_{box['answer']};"]
    if "fill" in box:
        lines.append(f"b.fill = {wide(box['fill'])};")
    for stage, (statuses, last_error) in box.get("codes", {}).items():
        lines.append(f"b.codes.push_back({{{narrow(stage)}, {{{{" +
                     ", ".join(number(s) for s in statuses) + f"}}, {number(last_error)}}}}});")
    if "whileOpen" in box:
        lines.append(f"b.whileOpen = StoryWhileOpen::{enumerator(box['whileOpen'])};")
    if "unit" in box:
        lines += unit_lines(box["unit"], "b")
    lines += see_lines(box["see"], "b.see")
    if "shot" in box:
        lines.append(f"b.shot = {narrow(box['shot'])};")
    return lines


ROWS = ("unit", "unitVersion", "bootloader", "esc")


def see_lines(see, record):
    lines = []
    if "hint" in see:
        lines.append(f"{record}.hint = {see['hint']};")
    if see["waiting"]:
        lines.append(f"{record}.waiting = true;")
    if "update" in see:
        lines.append(f"{record}.update = {boolean(see['update'])};")
    for row in ROWS:
        if row in see["rows"]:
            lines.append(f"{record}.{row} = std::wstring({wide(see['rows'][row])});")
    for key in ("reports", "progress", "blockWaitMs"):
        if key in see:
            lines.append(f"{record}.{key} = {number(see[key])};")
    flash = see.get("flash")
    if flash == "image":
        lines.append(f"{record}.flashImage = true;")
    elif flash is not None:
        lines.append(f"{record}.flashBlocks = {number(flash['blocks'])};")
    return lines


def act_lines(act):
    lines = ["StoryAct a;", f"a.what = StoryDo::{ACTS[act['do']]};"]
    lines += unit_lines(act["unit"], "a")
    if act["pullOutFirst"]:
        lines.append("a.pullOutFirst = true;")
    if "fault" in act:
        fault = act["fault"]
        lines.append(f"a.fault.kind = {KINDS[fault['kind']]};")
        lines.append(f"a.fault.step = {STEPS[fault['step']]};")
        lines.append(f"a.fault.name = {narrow(fault['kind'] + ' at ' + fault['step'])};")
        lines.append(f"a.fault.errorCode = {number(fault['errorCode'])};")
        lines.append(f"a.fault.lastError = {number(fault['lastError'])};")
        if "block" in fault:
            lines.append(f"a.fault.block = {number(fault['block'])};")
    for box in act["boxes"]:
        lines += ["{", "    StoryBox b;", *("    " + l for l in box_lines(box)),
                  "    a.boxes.push_back(b);", "}"]
    lines += see_lines(act["before"], "a.before")
    lines += see_lines(act["see"], "a.see")
    if "shot" in act:
        lines.append(f"a.shot = {narrow(act['shot'])};")
    lines.append("s.acts.push_back(a);")
    return lines


def story_lines(story):
    lines = ["Story s;", f"s.name = {narrow(story['name'])};", f"s.says = {narrow(story['says'])};"]
    for stage, reason in story["cannot"].items():
        if reason:
            lines.append(f"s.cannot.push_back({{{narrow(stage)}, {narrow(reason)}}});")
    for act in story["acts"]:
        lines += ["{", *("    " + l for l in act_lines(act)), "}"]
    lines.append("stories.push_back(s);")
    return ["    {", *("        " + l for l in lines), "    }"]


def enum_lines(name, what, values, first=()):
    """An enum class of the table's names, and the name of each."""
    names = [*first, *values]
    return [f"// {what}", f"enum class {name} {{ " + ", ".join(enumerator(v) for v in names) + " };", "",
            f"inline const char* {name}Name({name} value) {{",
            "    switch (value) {",
            *(f"    case {name}::{enumerator(v)}:\n        return {narrow(v)};" for v in names),
            "    }",
            '    return "?";',
            "}", ""]


def header(table):
    return "\n".join([
        "// Made by tests/stories/make_story_table.py from tests/stories/stories.json:",
        "// the table's kinds, as tests/stories/load_stories.py names them.",
        "#pragma once",
        "",
        *enum_lines("StoryBoxKind", "The table's kinds of message box.", list(table["boxes"])),
        *enum_lines("StoryIcon", "A box's icon.", load_stories.ICONS),
        *enum_lines("StoryWhileOpen", "What is done while a box is open.", list(load_stories.WHILE_OPEN),
                    first=("nothing",)),
        *enum_lines("StoryCheck", "What a stage may be unable to check of an act.", load_stories.UNCHECKABLE),
    ])


def stage_lines(stages):
    lines = []
    for stage, facts in stages.items():
        for check, reason in facts["unchecked"].items():
            lines.append(f"    {{{narrow(stage)}, StoryCheck::{enumerator(check)}, {narrow(reason)}}},")
    return lines


def main(source, output, output_header):
    table = load_stories.load(source)
    body = [line for story in table["stories"] for line in story_lines(story)]
    text = "\n".join([
        "// Made by tests/stories/make_story_table.py from tests/stories/stories.json.",
        '#include "tests/stories/story.h"',
        "",
        "#include <ostream>",
        "",
        '#include "link/report.h"',
        '#include "platform/errors.h"',
        '#include "platform/window.h"',
        '#include "res/resource.h"',
        "",
        "const std::vector<Story>& Stories() {",
        "    static const std::vector<Story> table = [] {",
        "    std::vector<Story> stories;",
        *body,
        "    return stories;",
        "    }();",
        "    return table;",
        "}",
        "",
        "std::string CannotPlay(const Story& story, const std::string& stage) {",
        "    for (const auto& [name, reason] : story.cannot) {",
        "        if (name == stage) {",
        "            return reason;",
        "        }",
        "    }",
        '    return "";',
        "}",
        "",
        "namespace {",
        "struct Unchecked {",
        "    const char* stage;",
        "    StoryCheck check;",
        "    const char* why;",
        "};",
        "const Unchecked UNCHECKED[] = {",
        *stage_lines(table["stages"]),
        '    {"", StoryCheck::Progress, ""},',
        "};",
        "}  // namespace",
        "",
        "std::string StageUnchecked(const std::string& stage, StoryCheck check) {",
        "    for (const Unchecked& entry : UNCHECKED) {",
        "        if (entry.stage == stage && entry.check == check) {",
        "            return entry.why;",
        "        }",
        "    }",
        '    return "";',
        "}",
        "",
        "void PrintTo(const Story& story, std::ostream* out) { *out << story.name; }",
        "",
    ])
    for path, content in ((output, text), (output_header, header(table))):
        with open(path, "w", encoding="utf-8") as file:
            file.write(content)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    try:
        main(sys.argv[1], sys.argv[2], sys.argv[3])
    except (OSError, load_stories.StoryError) as error:
        sys.exit(f"{sys.argv[1]}: {error}")
