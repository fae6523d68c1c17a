#!/usr/bin/env python3
"""Reads the owner's stories (tests/stories/stories.json), checks them and
gives the table normalised: every default filled in, every rule of the
format checked here and nowhere else. make_story_table.py writes the C++
stages' table from what this gives; stories.mjs reads it (--json) for the
browser stages.

The format. A story names the unit (its settings over the table's `unit`:
a LINK-BOX in its normal firmware, an ORVANTO at 2.5, reports of 60 bytes),
then its acts in order. An act does one thing:
  look     nothing: the window as it is
  plug     the act's unit (the story's, or the act's own `unit`, which only
           a plug takes) is plugged in; a unit plugged in before is pulled
           out first
  unplug   the unit is pulled out
  replug   the same unit, its ESC's flash as it was, plugged in again
           (pulled out first if it is in)
  arm      a fault for the next update, and only an arm takes one:
           {kind, step, block, errorCode, lastError} as the emulated unit
           takes it; `block` for the step "block" and only for it
  update   Update is pressed
and may bring up message boxes, each answered as it says (whileOpen
"unplug": the unit is pulled out while the box is open; "plug": it is
pulled out and the box's `unit` plugged in, which the window finds while
the box is open; "swap-esc": the ESC that the box's `unit` gives (its esc,
escTypeCode and escVersion) is put on the unit's cable, the unit staying on
USB). A box is of one of the table's `boxes` kinds, which give its caption,
text, the %s's fill, buttons and icon; a failure box gives its own text.
Its `code` is the code line [status, lastError]; `codeOnRealStack`, where
a real HID stack may show another: [status or [statuses], lastError]. Its
`see` is what the window shows while it is open, once its whileOpen is
done (the hint, Update, the rows), as an act's `before` is what the window
shows before the act is done (an update's: Update enabled, unless it says
otherwise). Once the act is over the stage checks what `see` gives, and nothing else:
the hint (or its `waiting` form), Update enabled, the rows, the reports the
unit received during the act, the positions the progress bar was given, the
least wait after a data block's reply, and the ESC's flash ("image", the
whole image, or {"blocks": N}, the first N blocks of it; 0xFF after).
Texts are IDS_ names, statuses numbers or LINK_ names, last errors numbers
or PLATFORM_ERROR_ names; numbers are numbers or "0x..." strings.

The table states its conventions once: `unit`, the unit every story starts
from; `fault`, what an armed fault is when the story does not say
(`errorCode`, the code a unit-error replies with; `lastError`, the value
a failed write or read fails with); `answers`, what a box
takes; `stages`, each with what it `lacks` (a tag and why), what it cannot
check of what an act brings (`unchecked`: progress, reports, blockWaitMs or
flash, and why), whether it is a real HID stack (`realStack`: its code lines
are the codeOnRealStack ones) and the last error it shows for a unit that
is gone where Windows shows PLATFORM_ERROR_DEVICE_NOT_CONNECTED
(`lastErrorOfAUnitGone`: what it `is` and `why`). A story `needs`
tags, and a stage that lacks one skips it with the stage's reason; `cannot`
gives a story's own reason for a stage, where no tag says it.

The normalised table has the table's `stages` (each with `lacks` and
`unchecked`), its `answers` and `boxes`, and `stories`, each with:
  name, says; cannot: for every stage, why it cannot play the story, or null
  acts: do; unit, complete; pullOutFirst (a unit that is in is pulled out
        first); fault (arm: kind, step, errorCode, lastError, and block for
        "block"); before (waiting, rows, and what is given of hint, update);
        shot where given; boxes: kind, caption, text, buttons, icon, answer,
        see (as before), and where they apply fill, codes (for each stage
        the code line it may show: [[statuses], lastError]), whileOpen,
        unit (complete), shot; see: waiting, rows, and what the story gives
        of hint (the waiting form's text too), update, reports, progress,
        blockWaitMs, flash.
Numbers come out as numbers; names (IDS_..., LINK_..., PLATFORM_ERROR_...)
as they were written, for each language to resolve.

A fault's kinds and steps are the emulated unit's names, read from its
tables in emulator/demo_unit.cpp.

usage: load_stories.py --json STORIES.JSON   prints the normalised table
       load_stories.py --names STORIES.JSON  prints the stories' names, a line each
"""
import json
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEMO_UNIT = os.path.join(ROOT, "emulator", "demo_unit.cpp")

NAME = re.compile(r"^[A-Z][A-Z0-9_]*$")
TEXT_NAME = re.compile(r"^IDS_[A-Z0-9_]+$")
NUMBER = re.compile(r"^(0x[0-9A-Fa-f]+|[0-9]+)$")
# A story's name is its test's name on every stage (C++ writes _ for -);
# a screenshot's name goes into a file's.
STORY_NAME = re.compile(r"^[a-z0-9]+(-[a-z0-9]+)*$")
SHOT_NAME = STORY_NAME

KEYS = {
    "the table": ("about", "stages", "unit", "fault", "answers", "boxes", "stories"),
    "stage": ("realStack", "lastErrorOfAUnitGone", "unchecked", "lacks"),
    "a unit gone's last error": ("is", "why"),
    "box kind": ("caption", "text", "fill", "buttons", "icon"),
    "story": ("name", "says", "unit", "acts", "needs", "cannot"),
    "act": ("do", "unit", "fault", "before", "boxes", "see", "shot"),
    "fault": ("kind", "step", "block", "errorCode", "lastError"),
    "the default fault": ("errorCode", "lastError"),
    "box": ("box", "text", "code", "codeOnRealStack", "answer", "whileOpen", "unit", "see", "shot"),
    "see": ("hint", "waiting", "update", "rows", "reports", "progress", "blockWaitMs", "flash"),
    "window": ("hint", "waiting", "update", "rows"),
    "rows": ("unit", "unitVersion", "bootloader", "esc"),
}
# The unit's settings: True for the two that are yes or no, the others
# numbers (or names).
UNIT = {"productId": False, "bootloader": True, "esc": True, "escTypeCode": False,
        "escVersion": False, "inputLength": False, "outputLength": False, "purgeMs": False}
ACTS = ("look", "plug", "unplug", "replug", "arm", "update")
# Acts whose unit is pulled out first when it is in.
PULLED_OUT_FIRST = ("replug",)
ICONS = ("warning", "error", "information")
# What a stage may be unable to see of what an act brings (the rest, the
# window, every stage reads).
UNCHECKABLE = ("progress", "reports", "blockWaitMs", "flash")
# The last error of a transfer to a unit that is gone, as Windows gives it.
UNIT_GONE = "PLATFORM_ERROR_DEVICE_NOT_CONNECTED"
# What may be done while a box is open, and the unit's settings that the
# box's `unit` may give for it (None: it takes no unit).
WHILE_OPEN = {"unplug": None, "plug": tuple(UNIT), "swap-esc": ("esc", "escTypeCode", "escVersion")}
# What sets off a notification that the window takes while the box is open:
# the box says what the window then shows, which the stage waits for.
WAITED_FOR = ("unplug", "plug")


class StoryError(Exception):
    pass


def fail(where, key, what):
    """Refuses the table: at `where` (the story, act and box), `key` is wrong."""
    raise StoryError(f"{where}: {key}: {what}" if key else f"{where}: {what}")


def listed(values):
    return ", ".join(values)


def obj(value, where, key, kind=None):
    """`value` as an object whose keys are those of `kind` (KEYS) or given."""
    if not isinstance(value, dict):
        fail(where, key, f"{json.dumps(value)} is not an object")
    allowed = KEYS[kind] if isinstance(kind, str) else kind
    if allowed is not None:
        inner = f"{where}, {key}" if key else where
        for unknown in value:
            if unknown not in allowed:
                fail(inner, unknown, f"unknown key (it takes {listed(allowed)})")
    return value


def required(value, keys, where):
    """`value` (an object) with each of `keys` given."""
    for key in keys:
        if key not in value:
            fail(where, key, "missing")
    return value


def items(value, where, key, what, empty=True):
    """`value` as a list (of `what`), not empty unless `empty`."""
    if not isinstance(value, list) or (not empty and not value):
        fail(where, key, f"{json.dumps(value)} is not a list of {what}")
    return value


def one_of(value, choices):
    return isinstance(value, str) and value in choices


def text(value, where, key, what="a string"):
    if not isinstance(value, str) or not value:
        fail(where, key, f"{json.dumps(value)} is not {what}")
    return value


def named(value, where, key, pattern, what):
    if not isinstance(value, str) or not pattern.match(value):
        fail(where, key, f"{json.dumps(value)} is not {what}")
    return value


def number(value, where, key, prefix=None):
    """A number (an integer, or a string "0x..." or of digits) as an int,
    or, where `prefix` is given, a name that begins with it ("": any name)
    as it is."""
    if isinstance(value, int) and not isinstance(value, bool):
        parsed = value
    elif isinstance(value, str) and NUMBER.match(value):
        parsed = int(value, 0) if value.startswith("0x") else int(value, 10)
    elif prefix is not None and isinstance(value, str) and NAME.match(value) and value.startswith(prefix):
        return value
    else:
        what = f"neither a number nor a name ({prefix}...)" if prefix else \
            "neither a number nor a name" if prefix is not None else "not a number"
        fail(where, key, f"{json.dumps(value)} is {what}")
    if not 0 <= parsed <= 0xFFFFFFFF:
        fail(where, key, f"{value} is out of the range of 32 bits")
    return parsed


def text_name(value, where, key):
    return named(value, where, key, TEXT_NAME, "a text's name (IDS_...)")


def yes_no(value, where, key):
    if not isinstance(value, bool):
        fail(where, key, f"{json.dumps(value)} is not true or false")
    return value


def unit_settings(value, where, key, keys=tuple(UNIT)):
    """The settings `value` gives, checked; `keys` are those it may give."""
    settings = obj(value, where, key, keys)
    inner = f"{where}, {key}"
    return {name: yes_no(setting, inner, name) if UNIT[name] else number(setting, inner, name, "")
            for name, setting in settings.items()}


def fault_names(source=DEMO_UNIT):
    """The emulated unit's fault kinds and steps, from its name tables: each
    a dict of the name to its C++ enumerator (DemoFaultKind::UnitError)."""
    with open(source, encoding="utf-8") as file:
        code = file.read()

    def table(name):
        found = re.search(name + r"\[\]\s*=\s*\{(.*?)\};", code, re.S)
        pairs = re.findall(r'\{\s*([A-Za-z]+::[A-Za-z]+)\s*,\s*"([^"]*)"\s*\}', found.group(1)) if found else []
        if not pairs:
            raise StoryError(f"{source}: no names in {name}")
        return {name_: enumerator for enumerator, name_ in pairs}

    return table("FAULT_KIND_NAMES"), table("FAULT_STEP_NAMES")


class Loader:
    def __init__(self, table, kinds, steps):
        self.table = required(obj(table, "the table", "", "the table"),
                              ("stages", "unit", "fault", "answers", "boxes", "stories"), "the table")
        self.kinds, self.steps = kinds, steps
        self.stage_codes = {}
        stages = obj(table["stages"], "the table", "stages")
        self.stages = {name: self.stage(stage, name) for name, stage in stages.items()}
        self.tags = {tag for stage in self.stages.values() for tag in stage["lacks"]}
        default = unit_settings(table["unit"], "the table", "unit")
        for name in UNIT:
            if name not in default:
                fail("the table, unit", name, "missing: the default unit gives every setting")
        self.unit = default
        fault = required(obj(table["fault"], "the table", "fault", "the default fault"),
                         ("errorCode", "lastError"), "the table, fault")
        self.error_code = number(fault["errorCode"], "the table, fault", "errorCode")
        self.last_error = number(fault["lastError"], "the table, fault", "lastError", "PLATFORM_ERROR_")
        answers = items(table["answers"], "the table", "answers", "answers", empty=False)
        self.answers = [named(a, "the table", "answers", NAME, "an answer's name") for a in answers]
        self.kinds_of_box = {name: self.box_kind(kind, f"box kind {name}")
                             for name, kind in obj(table["boxes"], "the table", "boxes").items()}

    def stage(self, stage, name):
        where = f"the table, stages, {name}"
        required(obj(stage, "the table, stages", name, "stage"), ("lacks",), where)
        lacks = obj(stage["lacks"], where, "lacks")
        for tag, reason in lacks.items():
            text(reason, f"{where}, lacks", tag, "a reason")
        unchecked = obj(stage.get("unchecked", {}), where, "unchecked", UNCHECKABLE)
        for check, reason in unchecked.items():
            text(reason, f"{where}, unchecked", check, "a reason")
        gone = None
        if "lastErrorOfAUnitGone" in stage:
            at = f"{where}, lastErrorOfAUnitGone"
            given = required(obj(stage["lastErrorOfAUnitGone"], where, "lastErrorOfAUnitGone",
                                 "a unit gone's last error"), ("is", "why"), at)
            gone = number(given["is"], at, "is", "PLATFORM_ERROR_")
            text(given["why"], at, "why", "a reason")
        # Only what the players use goes on: the rest is in each box's codes.
        self.stage_codes[name] = {"realStack": yes_no(stage.get("realStack", False), where, "realStack"),
                                  "gone": gone}
        return {"lacks": dict(lacks), "unchecked": dict(unchecked)}

    def box_kind(self, kind, where):
        required(obj(kind, where, "", "box kind"), ("caption", "buttons", "icon"), where)
        text_name(kind["caption"], where, "caption")
        if "text" in kind:
            text_name(kind["text"], where, "text")
        if "fill" in kind:
            text(kind["fill"], where, "fill")
        buttons = kind["buttons"]
        if not isinstance(buttons, list) or not buttons or not all(one_of(b, self.answers) for b in buttons):
            fail(where, "buttons",
                 f"{json.dumps(buttons)} is not a list of the table's answers ({listed(self.answers)})")
        if not one_of(kind["icon"], ICONS):
            fail(where, "icon", f"{json.dumps(kind['icon'])} is none of {listed(ICONS)}")
        return kind

    def load(self):
        stories = items(self.table["stories"], "the table", "stories", "stories")
        first = {}
        normalised = []
        for index, story in enumerate(stories, 1):
            obj(story, f"story {index}", "", None)
            name = named(story.get("name"), f"story {index}", "name", STORY_NAME,
                         "a story's name (lower case words joined by -)")
            obj(story, name, "", "story")
            if name in first:
                fail(name, "name", f"a second story of this name (story {first[name]} is the first)")
            first[name] = index
            normalised.append(self.story(story, name))
        return {"stages": self.stages, "answers": self.answers, "boxes": self.kinds_of_box,
                "stories": normalised}

    def story(self, story, where):
        text(story.get("says"), where, "says", "what the story says")
        needs = items(story.get("needs", []), where, "needs", "tags")
        for tag in needs:
            if not one_of(tag, self.tags):
                fail(where, "needs",
                     f"{json.dumps(tag)}, which no stage lacks (they lack: {listed(sorted(self.tags))})")
        own = obj(story.get("cannot", {}), where, "cannot")
        for stage, reason in own.items():
            if stage not in self.stages:
                fail(f"{where}, cannot", stage, f"names no stage (the stages: {listed(self.stages)})")
            text(reason, f"{where}, cannot", stage, "a reason")
        unit = {**self.unit, **unit_settings(story.get("unit", {}), where, "unit")}
        acts = items(story.get("acts"), where, "acts", "acts", empty=False)
        return {
            "name": where,
            "says": story["says"],
            "cannot": {stage: own.get(stage) or self.lacked(needs, stage) for stage in self.stages},
            "acts": [self.act(act, unit, f"{where}, act {number_}") for number_, act in enumerate(acts, 1)],
        }

    def lacked(self, needs, stage):
        """The stage's reason for the first tag of `needs` that it lacks, or None."""
        lacks = self.stages[stage]["lacks"]
        return next((lacks[tag] for tag in needs if tag in lacks), None)

    def act(self, act, story_unit, where):
        obj(act, where, "", "act")
        what = act.get("do")
        if not one_of(what, ACTS):
            fail(where, "do", f"{json.dumps(what)} is none of {listed(ACTS)}")
        if "unit" in act and what != "plug":
            fail(where, "unit", f"only a plug takes a unit, not {what}")
        unit = {**story_unit, **unit_settings(act.get("unit", {}), where, "unit")}
        normal = {"do": what, "unit": unit, "pullOutFirst": what in PULLED_OUT_FIRST}
        if what == "arm":
            if "fault" not in act:
                fail(where, "fault", "missing: an arm arms a fault")
            normal["fault"] = self.fault(act["fault"], where)
        elif "fault" in act:
            fail(where, "fault", f"only an arm takes a fault, not {what}")
        boxes = items(act.get("boxes", []), where, "boxes", "boxes")
        normal["boxes"] = [self.box(box, unit, f"{where}, box {number_}")
                           for number_, box in enumerate(boxes, 1)]
        normal["see"] = self.see(act.get("see", {}), where)
        # Update is pressed as a hand does: it must be enabled.
        before = {"update": True, **act.get("before", {})} if what == "update" else act.get("before", {})
        normal["before"] = self.see(before, where, "before", "window")
        if "shot" in act:
            normal["shot"] = named(act["shot"], where, "shot", SHOT_NAME, "a screenshot's name")
        return normal

    def fault(self, fault, where):
        at = f"{where}, fault"
        required(obj(fault, where, "fault", "fault"), ("kind", "step"), at)
        if not one_of(fault["kind"], self.kinds):
            fail(at, "kind",
                 f"{json.dumps(fault['kind'])} is not a fault the emulated unit knows ({listed(self.kinds)})")
        if not one_of(fault["step"], self.steps):
            fail(at, "step",
                 f"{json.dumps(fault['step'])} is not a step the emulated unit knows ({listed(self.steps)})")
        normal = {"kind": fault["kind"], "step": fault["step"],
                  "errorCode": number(fault.get("errorCode", self.error_code), at, "errorCode"),
                  "lastError": number(fault.get("lastError", self.last_error), at, "lastError",
                                      "PLATFORM_ERROR_")}
        if fault["step"] == "block":
            if "block" not in fault:
                fail(at, "block", "missing: the step \"block\" names the data block")
            normal["block"] = number(fault["block"], at, "block")
            if normal["block"] == 0:
                fail(at, "block", "0: the blocks are counted from 1")
        elif "block" in fault:
            fail(at, "block", f"only the step \"block\" takes one, not {json.dumps(fault['step'])}")
        return normal

    def box(self, box, act_unit, where):
        obj(box, where, "", "box")
        if not one_of(box.get("box"), self.kinds_of_box):
            fail(where, "box",
                 f"{json.dumps(box.get('box'))} is none of the table's boxes ({listed(self.kinds_of_box)})")
        kind = self.kinds_of_box[box["box"]]
        if "text" not in box and "text" not in kind:
            fail(where, "text", f"missing: a {box['box']} box has no text of its own")
        normal = {"kind": box["box"], "caption": kind["caption"],
                  "text": text_name(box.get("text", kind.get("text")), where, "text"),
                  "buttons": list(kind["buttons"]), "icon": kind["icon"]}
        if "fill" in kind:
            normal["fill"] = kind["fill"]
        if "codeOnRealStack" in box and "code" not in box:
            fail(where, "codeOnRealStack", "without code: the code line elsewhere is not given")
        if "code" in box:
            code = self.code(box["code"], where, "code", several=False)
            on_real_stack = self.code(box["codeOnRealStack"], where, "codeOnRealStack", several=True) \
                if "codeOnRealStack" in box else [[code[0]], code[1]]
            normal["codes"] = {stage: self.stage_code([[code[0]], code[1]], on_real_stack, stage)
                               for stage in self.stages}
        answer = box.get("answer")
        if not one_of(answer, kind["buttons"]):
            fail(where, "answer",
                 f"{json.dumps(answer)} is not one of the box's buttons ({listed(kind['buttons'])})")
        normal["answer"] = answer
        while_open = box.get("whileOpen")
        if while_open is not None:
            if not one_of(while_open, WHILE_OPEN):
                fail(where, "whileOpen", f"{json.dumps(while_open)} is none of {listed(WHILE_OPEN)}")
            normal["whileOpen"] = while_open
        takes = WHILE_OPEN.get(while_open)
        if takes is None and "unit" in box:
            fail(where, "unit", "given for whileOpen \"plug\" and \"swap-esc\" only")
        if takes is not None:
            if "unit" not in box:
                fail(where, "unit", f"missing: whileOpen {json.dumps(while_open)} needs one")
            normal["unit"] = {**act_unit, **unit_settings(box["unit"], where, "unit", takes)}
        normal["see"] = self.see(box.get("see", {}), where, "see", "window")
        if while_open in WAITED_FOR and "see" not in box:
            fail(where, "see", f"missing: after whileOpen {json.dumps(while_open)} the stage waits "
                 "until the window shows what it must")
        if "shot" in box:
            normal["shot"] = named(box["shot"], where, "shot", SHOT_NAME, "a screenshot's name")
        return normal

    def stage_code(self, code, on_real_stack, stage):
        """The code line [[statuses], lastError] that `stage` may show."""
        facts = self.stage_codes[stage]
        statuses, last_error = on_real_stack if facts["realStack"] else code
        if facts["gone"] is not None and last_error == UNIT_GONE:
            last_error = facts["gone"]
        return [list(statuses), last_error]

    @staticmethod
    def code(code, where, key, several):
        """[status, lastError]; with `several`, the status may be a list of
        statuses: given back as [[statuses], lastError]."""
        if not isinstance(code, list) or len(code) != 2:
            fail(where, key, f"{json.dumps(code)} is not [status, lastError]")
        statuses, last_error = code
        if several and isinstance(statuses, list):
            listed_statuses = [number(s, where, key, "LINK_")
                               for s in items(statuses, where, key, "statuses", empty=False)]
        else:
            listed_statuses = [number(statuses, where, key, "LINK_")]
        last = number(last_error, where, key, "PLATFORM_ERROR_")
        return [listed_statuses, last] if several else [listed_statuses[0], last]

    @staticmethod
    def see(see, where, key="see", kind="see"):
        """What is to be seen: once an act is over (`see`), or of the window
        alone (`window`: before an act, while a box is open)."""
        obj(see, where, key, kind)
        at = f"{where}, {key}"
        normal = {"waiting": "waiting" in see}
        if "hint" in see and "waiting" in see:
            fail(at, "waiting", "beside hint: the hint is one or the other")
        if "hint" in see or "waiting" in see:
            key = "waiting" if normal["waiting"] else "hint"
            normal["hint"] = text_name(see[key], at, key)
        if "update" in see:
            normal["update"] = yes_no(see["update"], at, "update")
        rows = obj(see.get("rows", {}), at, "rows", "rows")
        for row, value in rows.items():
            if not isinstance(value, str):
                fail(f"{at}, rows", row, f"{json.dumps(value)} is not a row's text")
        normal["rows"] = dict(rows)
        for key in ("reports", "progress", "blockWaitMs"):
            if key in see:
                normal[key] = number(see[key], at, key)
        if "flash" in see:
            flash = see["flash"]
            if flash == "image":
                normal["flash"] = "image"
            elif isinstance(flash, dict) and set(flash) == {"blocks"}:
                normal["flash"] = {"blocks": number(flash["blocks"], at, "flash")}
            else:
                fail(at, "flash", f"{json.dumps(flash)} is neither \"image\" nor {{\"blocks\": N}}")
        return normal


def normalise(table):
    """The table (as json.load gives it) normalised; StoryError for a
    mistake."""
    return Loader(table, *fault_names()).load()


def load(path):
    """The table in the file `path`, normalised."""
    with open(path, encoding="utf-8") as file:
        try:
            table = json.load(file)
        except ValueError as error:
            raise StoryError(f"not JSON: {error}") from error
    return normalise(table)


def main(argv):
    if len(argv) != 3 or argv[1] not in ("--json", "--names"):
        sys.exit(__doc__)
    try:
        table = load(argv[2])
    except (OSError, StoryError) as error:
        sys.exit(f"{argv[2]}: {error}")
    if argv[1] == "--names":
        sys.stdout.write("".join(f"{story['name']}\n" for story in table["stories"]))
        return
    json.dump(table, sys.stdout, ensure_ascii=True, indent=1)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main(sys.argv)
