// The owner's stories (stories.json) as the browser stages read them.
//
// A story names the unit (its settings over the demo's default unit: a
// LINK-BOX in its normal firmware, an ORVANTO at 2.5, reports of 60 bytes),
// then its acts in order. An act does one thing:
//   look     nothing: the window as it is
//   plug     the story's unit (or the act's own) is plugged in; a unit
//            plugged in before is pulled out first
//   unplug   the unit is pulled out
//   replug   the same unit, its ESC's flash as it was, plugged in again
//            (pulled out first if it is in)
//   arm      a fault for the next update: {kind, step, block, errorCode}
//            as the emulated unit takes it
//   update   Update is pressed
// and may bring up message boxes, each answered as it says (whileOpen
// "unplug": the unit is pulled out while the box is open; "plug": it is
// pulled out and the box's `unit` plugged in, which the window finds while
// the box is open). Once the act is
// over the stage checks what `see` gives, and nothing else: the hint (or its
// waiting form), Update enabled, the rows, the reports the unit received
// during the act, the positions the progress bar was given, the least wait
// after a data block's reply, and the ESC's flash (the whole image, or the
// first blocks of it, 0xFF after). Texts, statuses and codes are names or
// numbers; `cannot` names the stages that cannot play the story, with why.
//
// tests/stories/make_story_table.py turns the same file into C++ for the
// native and the Wine stage. Run this file to print the table of stories
// against stages.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

export const STORIES_FILE = path.join(path.dirname(fileURLToPath(import.meta.url)), "stories.json");
export const STAGES = ["native", "wine", "chromium", "real-stack-chromium", "real-stack-wine"];

const UNIT_DEFAULTS = {
  productId: 2, bootloader: false, esc: true, escTypeCode: "0x111F405A", escVersion: "0x0205",
  inputLength: 60, outputLength: 60, purgeMs: 700,
};
const ANSWERS = ["OK", "CANCEL", "YES", "NO"];

export function readTable() {
  return JSON.parse(fs.readFileSync(STORIES_FILE, "utf8"));
}

// Why `stage` cannot play the story, or "" when it can.
export function cannotPlay(story, stage) {
  return story.cannot?.[stage] ?? "";
}

// The stories with every name resolved through N (the program's numbers by
// their C++ names, as the page's build makes them): texts, statuses and
// codes become numbers, answers the page's answer values, the unit complete.
// A name that does not exist throws.
export function loadStories(N) {
  const table = readTable();
  const number = (value, where) => {
    if (typeof value === "number") return value;
    if (/^(0x[0-9a-f]+|[0-9]+)$/i.test(value)) return Number(value);
    if (typeof value === "string" && value in N) return N[value] >>> 0;
    throw new Error(`${where}: ${JSON.stringify(value)} is neither a number nor a known name`);
  };
  const answer = (name, where) => {
    if (!ANSWERS.includes(name)) throw new Error(`${where}: no answer ${name}`);
    return number(`ANSWER_${name}`, where);
  };
  return table.stories.map((story) => ({
    name: story.name,
    says: story.says,
    cannot: story.cannot ?? {},
    acts: story.acts.map((act, index) => {
      const where = `${story.name}, act ${index + 1}`;
      const settings = { ...UNIT_DEFAULTS, ...story.unit, ...act.unit };
      const resolved = (unit) => Object.fromEntries(Object.entries(unit).map(([key, value]) =>
        [key, typeof value === "boolean" ? value : number(value, where)]));
      const see = act.see ?? {};
      return {
        do: act.do,
        unit: resolved(settings),
        fault: act.fault && { ...act.fault, errorCode: act.fault.errorCode === undefined ? undefined : number(act.fault.errorCode, where) },
        shot: act.shot,
        boxes: (act.boxes ?? []).map((box) => {
          const kind = table.boxes[box.box];
          if (!kind) throw new Error(`${where}: no box ${box.box}`);
          const code = (pair) => pair && [
            [].concat(pair[0]).map((status) => number(status, where)),
            number(pair[1], where),
          ];
          return {
            kind: box.box,
            caption: number(kind.caption, where),
            text: number(box.text ?? kind.text, where),
            fill: kind.fill,
            buttons: kind.buttons.map((b) => answer(b, where)),
            icon: kind.icon,
            // [[status], lastError], and on the real stack the statuses it may give
            code: code(box.code),
            codeOnRealStack: code(box.codeOnRealStack ?? box.code),
            answer: answer(box.answer, where),
            whileOpen: box.whileOpen,
            unit: box.unit && resolved({ ...settings, ...box.unit }),
            shot: box.shot,
          };
        }),
        see: {
          hint: see.hint === undefined ? (see.waiting === undefined ? undefined : number(see.waiting, where)) : number(see.hint, where),
          waiting: see.waiting !== undefined,
          update: see.update,
          rows: see.rows ?? {},
          reports: see.reports,
          progress: see.progress,
          blockWaitMs: see.blockWaitMs,
          // "image", or the bytes of so many blocks
          flash: see.flash?.blocks === undefined ? see.flash : { bytes: see.flash.blocks * N.BLOCK_BYTES },
        },
      };
    }),
  }));
}

// What the unit saw of an act (`see`, since `mark`): the reports it
// received, the least wait after a data block's reply, its ESC's flash.
// `unit` answers as tests/web/play-story.mjs describes (received,
// leastBlockWaitMs, flash, image); every stage that has such a unit checks
// these alike.
export async function checkUnitSaw(unit, see, mark, where) {
  if (see.reports !== undefined) {
    assert.equal(await unit.received(mark), see.reports, `${where}: reports the unit received`);
  }
  if (see.blockWaitMs !== undefined) {
    const least = await unit.leastBlockWaitMs(mark);
    assert.ok(least !== null && least >= see.blockWaitMs,
      `${where}: the least wait after a block was ${least} ms, not at least ${see.blockWaitMs} ms`);
  }
  if (see.flash !== undefined) {
    const flash = await unit.flash();
    const size = see.flash === "image" ? unit.image.length : Math.min(unit.image.length, see.flash.bytes);
    assert.ok(flash.subarray(0, size).equals(unit.image.subarray(0, size)),
      `${where}: the flash does not hold the first ${size} bytes of the image`);
    assert.ok(flash.subarray(size).every((b) => b === 0xff), `${where}: something was written after the first ${size} bytes`);
  }
}

// The table of stories against stages, in Markdown: "plays", or why not.
export function storyTable(stages = STAGES) {
  const rows = readTable().stories.map((story) =>
    `| ${story.name} | ${stages.map((stage) => (cannotPlay(story, stage) ? `– ${cannotPlay(story, stage)}` : "plays")).join(" | ")} |`);
  return [`| story | ${stages.join(" | ")} |`, `|---|${stages.map(() => "---").join("|")}|`, ...rows].join("\n");
}

if (import.meta.url === pathToFileURL(process.argv[1] ?? "").href) {
  console.log(storyTable());
}
