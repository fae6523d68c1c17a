#!/usr/bin/env python3
"""Makes the C++ table of the owner's stories from tests/stories/stories.json.

tests/stories/load_stories.py reads and checks the file and fills in every
default; this script only writes what it gives as a C++ source that defines
Stories() (tests/stories/story.h) for the native and the Wine stage. Texts,
statuses and last-error values stay names (IDS_..., LINK_...,
PLATFORM_ERROR_...), so that the compiler refuses one that does not exist.

usage: make_story_table.py STORIES.JSON OUTPUT.CPP
"""
import json
import sys

sys.dont_write_bytecode = True  # nothing written into the sources' folder
import load_stories  # noqa: E402  (beside this script)

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


def box_lines(box):
    lines = [f"b.kind = {narrow(box['kind'])};",
             f"b.caption = {box['caption']};",
             f"b.text = {box['text']};",
             f"b.icon = {narrow(box['icon'])};",
             "b.buttons = {" + ", ".join(f"ANSWER_{b}" for b in box["buttons"]) + "};",
             f"b.answer = ANSWER_{box['answer']};"]
    if "fill" in box:
        lines.append(f"b.fill = {wide(box['fill'])};")
    if "code" in box:
        status, last_error = box["code"]
        lines.append(f"b.status = {number(status)};")
        lines.append(f"b.lastError = {number(last_error)};")
    if "codeOnRealStack" in box:
        statuses, last_error = box["codeOnRealStack"]
        lines.append("b.realStackStatuses = {" + ", ".join(number(s) for s in statuses) + "};")
        lines.append(f"b.realStackLastError = {number(last_error)};")
    if "whileOpen" in box:
        lines.append(f"b.whileOpen = {narrow(box['whileOpen'])};")
    if "unit" in box:
        lines += unit_lines(box["unit"], "b")
    if "shot" in box:
        lines.append(f"b.shot = {narrow(box['shot'])};")
    return lines


ROWS = ("unit", "unitVersion", "bootloader", "esc")


def see_lines(see):
    lines = []
    if "hint" in see:
        lines.append(f"a.see.hint = {see['hint']};")
    if see["waiting"]:
        lines.append("a.see.waiting = true;")
    if "update" in see:
        lines.append(f"a.see.update = {boolean(see['update'])};")
    for row in ROWS:
        if row in see["rows"]:
            lines.append(f"a.see.{row} = std::wstring({wide(see['rows'][row])});")
    for key in ("reports", "progress", "blockWaitMs"):
        if key in see:
            lines.append(f"a.see.{key} = {number(see[key])};")
    flash = see.get("flash")
    if flash == "image":
        lines.append("a.see.flashImage = true;")
    elif flash is not None:
        lines.append(f"a.see.flashBlocks = {number(flash['blocks'])};")
    return lines


def act_lines(act):
    lines = ["StoryAct a;", f"a.what = StoryDo::{ACTS[act['do']]};"]
    lines += unit_lines(act["unit"], "a")
    if act["pullOutFirst"]:
        lines.append("a.pullOutFirst = true;")
    if "fault" in act:
        fault = act["fault"]
        lines.append(f"a.fault.kind = {narrow(fault['kind'])};")
        lines.append(f"a.fault.step = {narrow(fault['step'])};")
        lines.append(f"a.fault.errorCode = {number(fault['errorCode'])};")
        lines.append(f"a.fault.lastError = {number(fault['lastError'])};")
        if "block" in fault:
            lines.append(f"a.fault.block = {number(fault['block'])};")
    for box in act["boxes"]:
        lines += ["{", "    StoryBox b;", *("    " + l for l in box_lines(box)),
                  "    a.boxes.push_back(b);", "}"]
    lines += see_lines(act["see"])
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


def main(source, output):
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
        "void PrintTo(const Story& story, std::ostream* out) { *out << story.name; }",
        "",
    ])
    with open(output, "w", encoding="utf-8") as file:
        file.write(text)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        main(sys.argv[1], sys.argv[2])
    except (OSError, load_stories.StoryError) as error:
        sys.exit(f"{sys.argv[1]}: {error}")
