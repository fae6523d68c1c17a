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
// the box is open; "swap-esc": the ESC that the box's `unit` gives (its
// esc, escTypeCode and escVersion) is put on the unit's cable, the unit
// staying on USB). Once the act is
// over the stage checks what `see` gives, and nothing else: the hint (or its
// waiting form), Update enabled, the rows, the reports the unit received
// during the act, the positions the progress bar was given, the least wait
// after a data block's reply, and the ESC's flash (the whole image, or the
// first blocks of it, 0xFF after). Texts, statuses and codes are names or
// numbers.
//
// The table states its conventions once: `unit`, the unit every story
// starts from; `answers`, what a box takes; `stages`, each with what it
// `lacks` (a tag and why). A story `needs` tags, and a stage that lacks one
// skips it with the stage's reason; `cannot` gives a story's own reason for
// a stage, where no tag says it.
//
// tests/stories/make_story_table.py turns the same file into C++ for the
// native and the Wine stage. Run this file to print the table of stories
// against stages.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

export const STORIES_FILE = path.join(path.dirname(fileURLToPath(import.meta.url)), "stories.json");

// The keys each part of the table may have; a key it does not know fails
// the loading, so that a misspelt expectation is never silently unchecked.
const KEYS = {
  table: ["about", "stages", "unit", "answers", "boxes", "stories"],
  stage: ["lacks"],
  box: ["caption", "text", "fill", "buttons", "icon"],
  story: ["name", "says", "unit", "acts", "needs", "cannot"],
  act: ["do", "unit", "fault", "boxes", "see", "shot"],
  fault: ["kind", "step", "block", "errorCode"],
  answered: ["box", "text", "code", "codeOnRealStack", "answer", "whileOpen", "unit", "shot"],
  see: ["hint", "waiting", "update", "rows", "reports", "progress", "blockWaitMs", "flash"],
  rows: ["unit", "unitVersion", "bootloader", "esc"],
};
const ACTS = ["look", "plug", "unplug", "replug", "arm", "update"];
const WHILE_OPEN = ["unplug", "plug", "swap-esc"];
// What a box's `unit` may give, for the acts that take one.
const WHILE_OPEN_UNIT = { plug: null, "swap-esc": ["esc", "escTypeCode", "escVersion"] };

function only(object, keys, where) {
  const unknown = Object.keys(object ?? {}).filter((key) => !keys.includes(key));
  if (unknown.length > 0) {
    throw new Error(`${where}: unknown ${unknown.join(", ")}`);
  }
}

// The table as written, its parts' keys checked.
export function readTable() {
  const table = JSON.parse(fs.readFileSync(STORIES_FILE, "utf8"));
  only(table, KEYS.table, "the table");
  for (const [name, stage] of Object.entries(table.stages)) {
    only(stage, KEYS.stage, `stage ${name}`);
  }
  only(table.unit, Object.keys(table.unit), "the unit");
  for (const [name, box] of Object.entries(table.boxes)) {
    only(box, KEYS.box, `box ${name}`);
  }
  const tags = new Set(Object.values(table.stages).flatMap((stage) => Object.keys(stage.lacks)));
  for (const story of table.stories) {
    const where = story.name;
    only(story, KEYS.story, where);
    only(story.unit, Object.keys(table.unit), `${where}: the unit`);
    for (const tag of story.needs ?? []) {
      if (!tags.has(tag)) throw new Error(`${where}: needs ${tag}, which no stage names`);
    }
    only(story.cannot, Object.keys(table.stages), `${where}: cannot`);
    story.acts.forEach((act, index) => {
      const at = `${where}, act ${index + 1}`;
      only(act, KEYS.act, at);
      if (!ACTS.includes(act.do)) throw new Error(`${at}: no act ${act.do}`);
      only(act.unit, Object.keys(table.unit), `${at}: the unit`);
      only(act.fault, KEYS.fault, `${at}: the fault`);
      only(act.see, KEYS.see, `${at}: see`);
      only(act.see?.rows, KEYS.rows, `${at}: the rows`);
      (act.boxes ?? []).forEach((box, number) => {
        const which = `${at}, box ${number + 1}`;
        only(box, KEYS.answered, which);
        only(box.unit, Object.keys(table.unit), `${which}: the unit`);
        if (box.whileOpen !== undefined && !WHILE_OPEN.includes(box.whileOpen)) {
          throw new Error(`${which}: whileOpen ${box.whileOpen}`);
        }
        if ((box.unit !== undefined) !== (box.whileOpen in WHILE_OPEN_UNIT)) {
          throw new Error(`${which}: a unit is given for whileOpen "plug" and "swap-esc", and only for them`);
        }
        if (WHILE_OPEN_UNIT[box.whileOpen]) only(box.unit, WHILE_OPEN_UNIT[box.whileOpen], `${which}: the ESC`);
      });
    });
  }
  return table;
}

export const STAGES = Object.keys(readTable().stages);

// Why `stage` cannot play the story, or "" when it can: the story's own
// reason for that stage, or the stage's for something the story needs.
export function cannotPlay(story, stage) {
  if (story.cannot?.[stage]) {
    return story.cannot[stage];
  }
  const lacks = readTable().stages[stage].lacks;
  const needed = (story.needs ?? []).find((tag) => lacks[tag]);
  return needed ? lacks[needed] : "";
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
    if (!table.answers.includes(name)) throw new Error(`${where}: no answer ${name}`);
    return number(`ANSWER_${name}`, where);
  };
  return table.stories.map((story) => ({
    name: story.name,
    says: story.says,
    cannot: Object.fromEntries(STAGES.map((stage) => [stage, cannotPlay(story, stage)]).filter(([, reason]) => reason)),
    acts: story.acts.map((act, index) => {
      const where = `${story.name}, act ${index + 1}`;
      const settings = { ...table.unit, ...story.unit, ...act.unit };
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
