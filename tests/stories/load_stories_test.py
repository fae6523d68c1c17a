#!/usr/bin/env python3
"""The rules of the stories' table (load_stories.py): a broken copy of a
table is refused with the story, the act, the box and the key; what the
loader fills in is there for every stage.

usage: load_stories_test.py [unittest's options]
"""
import copy
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the sources' folder
import load_stories  # noqa: E402  (beside this file)

# A table of two stories, the first of the shape of stories.json's
# address-refused (plug, arm, update with a confirmation and a failure
# box, replug): CASES break it there.
TABLE = {
    "about": ["A table for the loader's tests."],
    "stages": {
        "native": {"lacks": {}},
        "real-stack-chromium": {"realStack": True, "lacks": {"nothing-sent": "nothing of the update reaches the unit"}},
        "real-stack-wine": {"realStack": True, "lacks": {},
                            "lastErrorOfAUnitGone": {"is": "PLATFORM_ERROR_ACCESS_DENIED", "why": "its hidclass"},
                            "unchecked": {"progress": "counted inside the program only"}},
    },
    "unit": {"productId": 2, "bootloader": False, "esc": True, "escTypeCode": "0x111F405A",
             "escVersion": "0x0205", "inputLength": 60, "outputLength": 60, "purgeMs": 700},
    "fault": {"errorCode": "0xABCD", "lastError": "PLATFORM_ERROR_GEN_FAILURE"},
    "answers": ["OK", "CANCEL", "YES", "NO"],
    "boxes": {
        "confirmation": {"caption": "IDS_CONFIRM_CAPTION", "text": "IDS_CONFIRM_UPDATE",
                         "buttons": ["OK", "CANCEL"], "icon": "warning"},
        "failure": {"caption": "IDS_UPDATE_FAILED_CAPTION", "buttons": ["OK"], "icon": "error"},
    },
    "stories": [
        {
            "name": "address-refused",
            "says": "The unit refuses the write address.",
            "acts": [
                {"do": "plug", "see": {"hint": "IDS_READY"}},
                {"do": "arm", "fault": {"kind": "unit-error", "step": "address", "errorCode": "0x104"}},
                {"do": "update", "boxes": [
                    {"box": "confirmation", "answer": "OK"},
                    {"box": "failure", "text": "IDS_ADDRESS_FAILED", "code": ["0x104", "PLATFORM_ERROR_DEVICE_NOT_CONNECTED"],
                     "codeOnRealStack": [["0x104", "LINK_READ_FAILED"], "PLATFORM_ERROR_DEVICE_NOT_CONNECTED"],
                     "answer": "OK"}],
                 "see": {"hint": "IDS_UPDATE_FAILED_HINT", "update": False, "rows": {"esc": "0.0.0"},
                         "reports": 7, "flash": {"blocks": 0}}},
                {"do": "replug", "see": {"hint": "IDS_READY", "rows": {"esc": "----------"}}},
            ],
        },
        {
            "name": "lock-refused",
            "says": "The unit does not confirm the lock; an ESC at 3.0.",
            "unit": {"escVersion": "0x0300"},
            "needs": ["nothing-sent"],
            "acts": [
                {"do": "plug", "unit": {"outputLength": 64}},
                {"do": "arm", "fault": {"kind": "read-fails", "step": "lock", "lastError": 1167}},
            ],
        },
    ],
}


def act(story, number):
    return story["acts"][number - 1]


def box(story, number):
    return act(story, 3)["boxes"][number - 1]


def removed(record, key):
    del record[key]


# What is broken, how (the table and the story to break in it), and how the
# message begins ({name}, {number}: the story's name and number).
CASES = [
    ("a key of the table", lambda t, s: t.update(stagse={}), "the table: stagse: unknown key"),
    ("a key of a stage", lambda t, s: t["stages"]["native"].update(lack={}),
     "the table, stages, native: lack: unknown key"),
    ("a check a stage cannot make that is none", lambda t, s: t["stages"]["native"].update(unchecked={"rows": "-"}),
     "the table, stages, native, unchecked: rows: unknown key"),
    ("a unit gone's last error without why",
     lambda t, s: removed(t["stages"]["real-stack-wine"]["lastErrorOfAUnitGone"], "why"),
     "the table, stages, real-stack-wine, lastErrorOfAUnitGone: why: missing"),
    ("a unit pulled out while a box is open, not said what the window shows",
     lambda t, s: box(s, 1).update(whileOpen="unplug"),
     "{name}, act 3, box 1: see: missing: after whileOpen \"unplug\""),
    ("what is seen while a box is open beyond the window",
     lambda t, s: box(s, 1).update(see={"reports": 3}),
     "{name}, act 3, box 1, see: reports: unknown key"),
    ("a key of the default unit", lambda t, s: t["unit"].update(escVersoin="0x0300"),
     "the table, unit: escVersoin: unknown key"),
    ("a setting the default unit leaves out", lambda t, s: removed(t["unit"], "purgeMs"),
     "the table, unit: purgeMs: missing"),
    ("a key of the default fault", lambda t, s: t["fault"].update(code=1),
     "the table, fault: code: unknown key"),
    ("a key of a box kind", lambda t, s: t["boxes"]["failure"].update(txt="IDS_READY"),
     "box kind failure: txt: unknown key"),
    ("a box kind's icon", lambda t, s: t["boxes"]["failure"].update(icon="stop"),
     "box kind failure: icon: \"stop\" is none of"),
    ("a key of a story", lambda t, s: s.update(need=[]), "{name}: need: unknown key"),
    ("a key of a story's unit", lambda t, s: s.update(unit={"escVerison": 1}),
     "{name}, unit: escVerison: unknown key"),
    ("a key of an act", lambda t, s: act(s, 1).update(sea={}), "{name}, act 1: sea: unknown key"),
    ("a key of what an act sees", lambda t, s: act(s, 1)["see"].update(hnit="IDS_READY"),
     "{name}, act 1, see: hnit: unknown key"),
    ("a row", lambda t, s: act(s, 3)["see"]["rows"].update(escVersion="3.0"),
     "{name}, act 3, see, rows: escVersion: unknown key"),
    ("a key of a fault", lambda t, s: act(s, 2)["fault"].update(code=1),
     "{name}, act 2, fault: code: unknown key"),
    ("a key of a box", lambda t, s: box(s, 2).update(answr="OK"), "{name}, act 3, box 2: answr: unknown key"),
    ("a story's name", lambda t, s: s.update(name="Address refused"),
     "story {number}: name: \"Address refused\" is not a story's name"),
    ("two stories of one name", lambda t, s: t["stories"][-1].update(name=s["name"]),
     "{name}: name: a second story of this name"),
    ("an act", lambda t, s: act(s, 3).update(do="press"), "{name}, act 3: do: \"press\" is none of"),
    ("a unit on an act other than plug", lambda t, s: act(s, 4).update(unit={"esc": False}),
     "{name}, act 4: unit: only a plug takes a unit, not replug"),
    ("a setting's value", lambda t, s: s.update(unit={"esc": "yes"}),
     "{name}, unit: esc: \"yes\" is not true or false"),
    ("hint and waiting in one see", lambda t, s: act(s, 1)["see"].update(waiting="IDS_READY"),
     "{name}, act 1, see: waiting: beside hint"),
    ("a text that is no text's name", lambda t, s: act(s, 1)["see"].update(hint="Ready"),
     "{name}, act 1, see: hint: \"Ready\" is not a text's name"),
    ("a box kind's caption that is no text's name",
     lambda t, s: t["boxes"]["failure"].update(caption="failed"),
     "box kind failure: caption: \"failed\" is not a text's name"),
    ("a status that is no status's name", lambda t, s: box(s, 2).update(code=["link_write_failed", "0"]),
     "{name}, act 3, box 2: code: \"link_write_failed\" is neither a number nor a name (LINK_...)"),
    ("a last error that is no platform error's name",
     lambda t, s: box(s, 2).update(code=["0x104", "ERROR_TIMEOUT"]),
     "{name}, act 3, box 2: code: \"ERROR_TIMEOUT\" is neither a number nor a name (PLATFORM_ERROR_...)"),
    ("a count that is no number", lambda t, s: act(s, 3)["see"].update(reports=True),
     "{name}, act 3, see: reports: true is not a number"),
    ("a box of no kind", lambda t, s: box(s, 1).update(box="confirm"),
     "{name}, act 3, box 1: box: \"confirm\" is none of the table's boxes"),
    ("a failure box without its text", lambda t, s: removed(box(s, 2), "text"),
     "{name}, act 3, box 2: text: missing"),
    ("an answer that is not one of the box's buttons", lambda t, s: box(s, 1).update(answer="YES"),
     "{name}, act 3, box 1: answer: \"YES\" is not one of the box's buttons (OK, CANCEL)"),
    ("codeOnRealStack without code",
     lambda t, s: box(s, 1).update(codeOnRealStack=[["LINK_READ_FAILED"], "0"]),
     "{name}, act 3, box 1: codeOnRealStack: without code"),
    ("a flash of blocks misspelt", lambda t, s: act(s, 3)["see"].update(flash={"block": 0}),
     "{name}, act 3, see: flash: {\"block\": 0} is neither \"image\" nor {\"blocks\": N}"),
    ("a flash neither image nor blocks", lambda t, s: act(s, 3)["see"].update(flash="all"),
     "{name}, act 3, see: flash: \"all\" is neither"),
    ("a fault on an act other than arm",
     lambda t, s: act(s, 1).update(fault={"kind": "unit-error", "step": "purge"}),
     "{name}, act 1: fault: only an arm takes a fault, not plug"),
    ("an arm without a fault", lambda t, s: removed(act(s, 2), "fault"), "{name}, act 2: fault: missing"),
    ("a fault the emulated unit does not know", lambda t, s: act(s, 2)["fault"].update(kind="unit-eror"),
     "{name}, act 2, fault: kind: \"unit-eror\" is not a fault the emulated unit knows"),
    ("a step the emulated unit does not know", lambda t, s: act(s, 2)["fault"].update(step="adress"),
     "{name}, act 2, fault: step: \"adress\" is not a step the emulated unit knows"),
    ("the step block without its block", lambda t, s: act(s, 2)["fault"].update(step="block"),
     "{name}, act 2, fault: block: missing"),
    ("a block for another step", lambda t, s: act(s, 2)["fault"].update(block=3),
     "{name}, act 2, fault: block: only the step \"block\" takes one"),
    ("a whileOpen that is none", lambda t, s: box(s, 1).update(whileOpen="pull"),
     "{name}, act 3, box 1: whileOpen: \"pull\" is none of unplug, plug, swap-esc"),
    ("a unit for a box without whileOpen", lambda t, s: box(s, 2).update(unit={"esc": False}),
     "{name}, act 3, box 2: unit: given for whileOpen \"plug\" and \"swap-esc\" only"),
    ("a unit for whileOpen unplug", lambda t, s: box(s, 1).update(whileOpen="unplug", unit={"esc": False}),
     "{name}, act 3, box 1: unit: given for whileOpen \"plug\" and \"swap-esc\" only"),
    ("whileOpen plug without a unit", lambda t, s: box(s, 1).update(whileOpen="plug"),
     "{name}, act 3, box 1: unit: missing: whileOpen \"plug\" needs one"),
    ("whileOpen swap-esc with more than the ESC",
     lambda t, s: box(s, 1).update(whileOpen="swap-esc", unit={"outputLength": 51}),
     "{name}, act 3, box 1, unit: outputLength: unknown key (it takes esc, escTypeCode, escVersion)"),
    ("a need no stage lacks", lambda t, s: s.update(needs=["nothing-snet"]),
     "{name}: needs: \"nothing-snet\", which no stage lacks"),
    ("a cannot that names no stage", lambda t, s: s.update(cannot={"real-stak": "a reason"}),
     "{name}, cannot: real-stak: names no stage"),
    # What the rules above read, of the wrong shape.
    ("a part of the table left out", lambda t, s: removed(t, "fault"), "the table: fault: missing"),
    ("an act that is no object", lambda t, s: s["acts"].__setitem__(0, "plug"),
     "{name}, act 1: \"plug\" is not an object"),
    ("needs that are no list", lambda t, s: s.update(needs="nothing-sent"),
     "{name}: needs: \"nothing-sent\" is not a list of tags"),
    ("a story that says nothing", lambda t, s: removed(s, "says"),
     "{name}: says: null is not what the story says"),
    ("a row that is no text", lambda t, s: act(s, 3)["see"]["rows"].update(esc=3.0),
     "{name}, act 3, see, rows: esc: 3.0 is not a row's text"),
    ("a box kind's buttons that are no answers", lambda t, s: t["boxes"]["failure"].update(buttons=["Okay"]),
     "box kind failure: buttons: [\"Okay\"] is not a list of the table's answers"),
    ("a code line that is no pair", lambda t, s: box(s, 2).update(code=["0x104"]),
     "{name}, act 3, box 2: code: [\"0x104\"] is not [status, lastError]"),
    ("block 0", lambda t, s: act(s, 2)["fault"].update(step="block", block=0),
     "{name}, act 2, fault: block: 0: the blocks are counted from 1"),
    ("a number beyond 32 bits", lambda t, s: act(s, 2)["fault"].update(errorCode="0x100000000"),
     "{name}, act 2, fault: errorCode: 0x100000000 is out of the range of 32 bits"),
    ("a last error that is no platform's name", lambda t, s: act(s, 2)["fault"].update(lastError="ERROR_TIMEOUT"),
     "{name}, act 2, fault: lastError: \"ERROR_TIMEOUT\" is neither a number nor a name (PLATFORM_ERROR_...)"),
    ("the default fault without its last error", lambda t, s: removed(t["fault"], "lastError"),
     "the table, fault: lastError: missing"),
]


def broken(table, name, breaks):
    """A copy of `table` with `breaks` done to the story `name`."""
    copied = copy.deepcopy(table)
    breaks(copied, next(story for story in copied["stories"] if story["name"] == name))
    return copied


def message(table, name, begins):
    """How the message of a mistake in the story `name` begins."""
    number = next(i for i, story in enumerate(table["stories"], 1) if story["name"] == name)
    return begins.replace("{name}", name).replace("{number}", str(number))


class TableRules(unittest.TestCase):
    def test_each_mistake_is_refused_with_the_story_act_box_and_key(self):
        for what, breaks, begins in CASES:
            with self.subTest(what):
                with self.assertRaises(load_stories.StoryError) as refused:
                    load_stories.normalise(broken(TABLE, "address-refused", breaks))
                self.assertTrue(str(refused.exception).startswith(message(TABLE, "address-refused", begins)),
                                f"{what}: {refused.exception}")

    def test_what_the_story_leaves_out_is_filled_in(self):
        table = load_stories.normalise(copy.deepcopy(TABLE))
        refused, lock = table["stories"]
        # The table's error code on a fault that gives none, the story's own
        # where it gives one.
        self.assertEqual(lock["acts"][1]["fault"]["errorCode"], 0xABCD)
        self.assertEqual(refused["acts"][1]["fault"]["errorCode"], 0x104)
        # The same for the last error of a failed write or read.
        self.assertEqual(refused["acts"][1]["fault"]["lastError"], "PLATFORM_ERROR_GEN_FAILURE")
        self.assertEqual(lock["acts"][1]["fault"]["lastError"], 1167)
        # The act's unit over the story's over the table's.
        self.assertEqual(lock["acts"][0]["unit"],
                         {**table["stories"][0]["acts"][0]["unit"], "escVersion": 0x300, "outputLength": 64})
        # Only replug pulls a unit that is in out first.
        self.assertEqual([a["pullOutFirst"] for a in refused["acts"]], [False, False, False, True])
        # Each stage's code line: a real stack's where the story gives one,
        # and a stage's own last error for a unit that is gone.
        gone = "PLATFORM_ERROR_DEVICE_NOT_CONNECTED"
        self.assertEqual(refused["acts"][2]["boxes"][1]["codes"], {
            "native": [[0x104], gone], "real-stack-chromium": [[0x104, "LINK_READ_FAILED"], gone],
            "real-stack-wine": [[0x104, "LINK_READ_FAILED"], "PLATFORM_ERROR_ACCESS_DENIED"]})
        self.assertNotIn("codes", refused["acts"][2]["boxes"][0])
        # An update is pressed as a hand does, Update enabled.
        self.assertEqual([a["before"].get("update") for a in refused["acts"]], [None, None, True, None])
        # A stage that lacks what the story needs gives its reason.
        self.assertEqual(lock["cannot"], {"native": None, "real-stack-wine": None,
                                          "real-stack-chromium": "nothing of the update reaches the unit"})
        self.assertEqual(table["stages"]["real-stack-wine"]["unchecked"],
                         {"progress": "counted inside the program only"})


if __name__ == "__main__":
    unittest.main()
