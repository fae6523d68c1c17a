#!/usr/bin/env python3
"""Makes the C++ table of the owner's stories from tests/stories/stories.json.

The JSON is the one place where a story is written; tests/stories/stories.mjs
reads it for the browser stages, and this script turns it into a C++ source
that defines Stories() (tests/stories/story.h) for the native and the Wine
stage. Texts, statuses and last-error values stay names (IDS_..., LINK_...,
PLATFORM_ERROR_...), so that the compiler refuses one that does not exist;
a key this script does not know fails it, so that a misspelt expectation
is not silently left unchecked.

usage: make_story_table.py STORIES.JSON OUTPUT.CPP
"""
import json
import re
import sys

ACTS = {"look": "Look", "plug": "Plug", "unplug": "Unplug", "replug": "Replug", "arm": "Arm",
        "update": "Update"}
# The table's own conventions, read from it: the unit every story starts
# from, the stages and what each lacks, the answers a box takes (each the
# C++ name ANSWER_ and its name).
UNIT_DEFAULTS = {}
STAGES = {}
ANSWERS = {}
NAME = re.compile(r"^[A-Z][A-Z0-9_]*$")
NUMBER = re.compile(r"^(0x[0-9A-Fa-f]+|[0-9]+)$")


class StoryError(Exception):
    pass


def only(keys, allowed, where):
    unknown = sorted(set(keys) - set(allowed))
    if unknown:
        raise StoryError(f"{where}: unknown {', '.join(unknown)}")


def number(value, where):
    """A C++ expression for a number given as a number, "0x..." or a name."""
    if isinstance(value, bool):
        raise StoryError(f"{where}: {value!r} is not a number")
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str) and NUMBER.match(value):
        return value
    if isinstance(value, str) and NAME.match(value):
        return f"static_cast<std::uint32_t>({value})"
    raise StoryError(f"{where}: {value!r} is neither a number nor a name")


def text_id(value, where):
    if not isinstance(value, str) or not value.startswith("IDS_"):
        raise StoryError(f"{where}: {value!r} is not a text's name")
    return value


def wide(text):
    return "L" + json.dumps(text, ensure_ascii=True)


def narrow(text):
    return json.dumps(text, ensure_ascii=True)


def unit_lines(unit, where, record="a"):
    only(unit, UNIT_DEFAULTS, where)
    u = {**UNIT_DEFAULTS, **unit}
    return [
        f"{record}.unit.productId = {number(u['productId'], where)};",
        f"{record}.unit.inBootloader = {'true' if u['bootloader'] else 'false'};",
        f"{record}.unit.escAttached = {'true' if u['esc'] else 'false'};",
        f"{record}.unit.escTypeCode = {number(u['escTypeCode'], where)};",
        f"{record}.unit.escFirmwareVersion = {number(u['escVersion'], where)};",
        f"{record}.unit.inputReportLength = {number(u['inputLength'], where)};",
        f"{record}.unit.outputReportLength = {number(u['outputLength'], where)};",
        f"{record}.purgeMs = {number(u['purgeMs'], where)};",
    ]


# Done while a box is open, before it is answered: the unit pulled out; the
# unit pulled out and `unit` plugged in; or another ESC, `unit`'s ESC keys,
# put on the unit's cable (the unit stays on USB).
WHILE_OPEN = ("unplug", "plug", "swap-esc")
WITH_UNIT = {"plug": None, "swap-esc": ("esc", "escTypeCode", "escVersion")}


def box_lines(box, kinds, where, act_unit):
    only(box, ("box", "text", "code", "codeOnRealStack", "answer", "whileOpen", "unit", "shot"), where)
    kind = kinds.get(box.get("box"))
    if kind is None:
        raise StoryError(f"{where}: no box {box.get('box')!r}")
    merged = {**kind, **{k: v for k, v in box.items() if k in ("text",)}}
    lines = [f"b.kind = {narrow(box['box'])};",
             f"b.caption = {text_id(merged['caption'], where)};",
             f"b.text = {text_id(merged['text'], where)};",
             f"b.icon = {narrow(merged['icon'])};"]
    if "fill" in merged:
        lines.append(f"b.fill = {wide(merged['fill'])};")
    lines.append("b.buttons = {" + ", ".join(ANSWERS[b] for b in merged["buttons"]) + "};")
    if "code" in box:
        status, last_error = box["code"]
        lines.append(f"b.status = {number(status, where)};")
        lines.append(f"b.lastError = {number(last_error, where)};")
    if "codeOnRealStack" in box:
        if "code" not in box:
            raise StoryError(f"{where}: codeOnRealStack without code")
        statuses, last_error = box["codeOnRealStack"]
        statuses = statuses if isinstance(statuses, list) else [statuses]
        lines.append("b.realStackStatuses = {" + ", ".join(number(s, where) for s in statuses) + "};")
        lines.append(f"b.realStackLastError = {number(last_error, where)};")
    if box.get("answer") not in ANSWERS:
        raise StoryError(f"{where}: answer {box.get('answer')!r}")
    if box["answer"] not in merged["buttons"]:
        raise StoryError(f"{where}: the box has no button {box['answer']}")
    lines.append(f"b.answer = {ANSWERS[box['answer']]};")
    if "whileOpen" in box:
        if box["whileOpen"] not in WHILE_OPEN:
            raise StoryError(f"{where}: whileOpen {box['whileOpen']!r}")
        lines.append(f"b.whileOpen = {narrow(box['whileOpen'])};")
    if ("unit" in box) != (box.get("whileOpen") in WITH_UNIT):
        raise StoryError(f"{where}: a unit is given for whileOpen \"plug\" and \"swap-esc\", "
                         "and only for them")
    if WITH_UNIT.get(box.get("whileOpen")):
        only(box["unit"], WITH_UNIT[box["whileOpen"]], f"{where}: the ESC")
    if "unit" in box:
        lines += unit_lines({**act_unit, **box["unit"]}, where, "b")
    if "shot" in box:
        lines.append(f"b.shot = {narrow(box['shot'])};")
    return lines


ROWS = ("unit", "unitVersion", "bootloader", "esc")


def see_lines(see, where):
    only(see, ("hint", "waiting", "update", "rows", "reports", "progress", "blockWaitMs", "flash"), where)
    lines = []
    if "hint" in see and "waiting" in see:
        raise StoryError(f"{where}: hint or waiting, not both")
    if "hint" in see:
        lines.append(f"a.see.hint = {text_id(see['hint'], where)};")
    if "waiting" in see:
        lines.append(f"a.see.hint = {text_id(see['waiting'], where)};")
        lines.append("a.see.waiting = true;")
    if "update" in see:
        lines.append(f"a.see.update = {'true' if see['update'] else 'false'};")
    rows = see.get("rows", {})
    only(rows, ROWS, where + " rows")
    for row in ROWS:
        if row in rows:
            lines.append(f"a.see.{row} = std::wstring({wide(rows[row])});")
    for key in ("reports", "progress", "blockWaitMs"):
        if key in see:
            lines.append(f"a.see.{key} = {number(see[key], where)};")
    flash = see.get("flash")
    if flash == "image":
        lines.append("a.see.flashImage = true;")
    elif isinstance(flash, dict) and set(flash) == {"blocks"}:
        lines.append(f"a.see.flashBlocks = {number(flash['blocks'], where)};")
    elif flash is not None:
        raise StoryError(f"{where}: flash {flash!r}")
    return lines


def cannot_play(story, stage):
    """Why `stage` cannot play `story`, or "": the story's own reason, or the
    stage's for something the story needs."""
    reason = story.get("cannot", {}).get(stage)
    if reason:
        return reason
    lacks = STAGES[stage]["lacks"]
    return next((lacks[tag] for tag in story.get("needs", []) if tag in lacks), "")


def story_lines(story, kinds):
    where = story.get("name", "?")
    only(story, ("name", "says", "unit", "acts", "needs", "cannot"), where)
    lines = ["{", "    Story s;", f"    s.name = {narrow(story['name'])};",
             f"    s.says = {narrow(story['says'])};"]
    only(story.get("cannot", {}), STAGES, where + " cannot")
    tags = {tag for stage in STAGES.values() for tag in stage["lacks"]}
    for tag in story.get("needs", []):
        if tag not in tags:
            raise StoryError(f"{where}: needs {tag!r}, which no stage names")
    for stage in STAGES:
        reason = cannot_play(story, stage)
        if reason:
            lines.append(f"    s.cannot.push_back({{{narrow(stage)}, {narrow(reason)}}});")
    for index, act in enumerate(story["acts"], 1):
        at = f"{where}, act {index}"
        only(act, ("do", "unit", "fault", "boxes", "see", "shot"), at)
        if act.get("do") not in ACTS:
            raise StoryError(f"{at}: do {act.get('do')!r}")
        lines += ["    {", "        StoryAct a;", f"        a.what = StoryDo::{ACTS[act['do']]};"]
        act_unit = {**story.get("unit", {}), **act.get("unit", {})}
        lines += ["        " + l for l in unit_lines(act_unit, at)]
        if act["do"] == "arm":
            fault = act.get("fault", {})
            only(fault, ("kind", "step", "block", "errorCode"), at)
            lines.append(f"        a.fault.kind = {narrow(fault['kind'])};")
            lines.append(f"        a.fault.step = {narrow(fault['step'])};")
            if "block" in fault:
                lines.append(f"        a.fault.block = {number(fault['block'], at)};")
            if "errorCode" in fault:
                lines.append(f"        a.fault.errorCode = {number(fault['errorCode'], at)};")
        for number_, box in enumerate(act.get("boxes", []), 1):
            lines += ["        {", "            StoryBox b;"]
            lines += ["            " + l for l in box_lines(box, kinds, f"{at}, box {number_}", act_unit)]
            lines += ["            a.boxes.push_back(b);", "        }"]
        lines += ["        " + l for l in see_lines(act.get("see", {}), at)]
        if "shot" in act:
            lines.append(f"        a.shot = {narrow(act['shot'])};")
        lines += ["        s.acts.push_back(a);", "    }"]
    lines += ["    stories.push_back(s);", "}"]
    return ["    " + l for l in lines]


def main(source, output):
    with open(source, encoding="utf-8") as file:
        table = json.load(file)
    only(table, ("about", "stages", "unit", "answers", "boxes", "stories"), "the table")
    UNIT_DEFAULTS.update(table["unit"])
    for name, stage in table["stages"].items():
        only(stage, ("lacks",), f"stage {name}")
        STAGES[name] = stage
    ANSWERS.update({answer: f"ANSWER_{answer}" for answer in table["answers"]})
    for name, kind in table["boxes"].items():
        only(kind, ("caption", "text", "fill", "buttons", "icon"), f"box {name}")
    names = [s["name"] for s in table["stories"]]
    if len(set(names)) != len(names):
        raise StoryError("two stories of one name")
    body = []
    for story in table["stories"]:
        body += story_lines(story, table["boxes"])
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
    except (StoryError, KeyError, ValueError) as error:
        sys.exit(f"{sys.argv[1]}: {error}")
