// The owner's stories (stories.json) as the browser stages read them.
//
// tests/stories/load_stories.py is the one reader of the file: it describes
// the format, checks it (a mistake fails here as it fails the C++ build,
// with the story, the act, the box and the key) and gives the table with
// every default filled in. What is JavaScript's own is here: the names
// resolved through the page's build's numbers, and the unit's side of an
// act checked. Run this file to print the table of stories against stages.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const STORIES_FILE = path.join(HERE, "stories.json");

let table = null;

// The table as the loader gives it, read once.
export function readTable() {
  if (table === null) {
    let json;
    try {
      json = execFileSync("python3", [path.join(HERE, "load_stories.py"), "--json", STORIES_FILE],
        { encoding: "utf8", stdio: ["ignore", "pipe", "pipe"], maxBuffer: 64 << 20 });
    } catch (error) {
      throw new Error(error.stderr?.trim() || error.message);
    }
    table = JSON.parse(json);
  }
  return table;
}

export const STAGES = Object.keys(readTable().stages);

// Why `stage` cannot play the story, or "" when it can.
export function cannotPlay(story, stage) {
  return story.cannot[stage] ?? "";
}

// The stories with every name resolved through N (the program's numbers by
// their C++ names, as the page's build makes them): texts, statuses and
// codes become numbers, answers the page's answer values. A name that the
// build does not know throws.
export function loadStories(N) {
  const number = (value, where) => {
    if (typeof value === "number") return value;
    if (value in N) return N[value] >>> 0;
    throw new Error(`${where}: ${JSON.stringify(value)} is not a name the page's build knows`);
  };
  const unit = (settings, where) => Object.fromEntries(Object.entries(settings).map(([key, value]) =>
    [key, typeof value === "boolean" ? value : number(value, where)]));
  const code = ([statuses, lastError], where) => [statuses.map((status) => number(status, where)), number(lastError, where)];
  const hint = (see, where) => ({ ...see, hint: see.hint === undefined ? undefined : number(see.hint, where) });
  return readTable().stories.map((story) => ({
    ...story,
    acts: story.acts.map((act, index) => {
      const where = `${story.name}, act ${index + 1}`;
      const answer = (name) => number(`ANSWER_${name}`, where);
      return {
        ...act,
        unit: unit(act.unit, where),
        fault: act.fault && {
          ...act.fault, errorCode: number(act.fault.errorCode, where), lastError: number(act.fault.lastError, where),
        },
        before: hint(act.before, where),
        boxes: act.boxes.map((box) => ({
          ...box,
          caption: number(box.caption, where),
          text: number(box.text, where),
          buttons: box.buttons.map(answer),
          // for each stage, [[statuses], lastError]
          codes: box.codes && Object.fromEntries(Object.entries(box.codes).map(([stage, line]) => [stage, code(line, where)])),
          answer: answer(box.answer),
          unit: box.unit && unit(box.unit, where),
          see: hint(box.see, where),
        })),
        see: {
          ...hint(act.see, where),
          // "image", or the bytes of so many blocks
          flash: act.see.flash?.blocks === undefined ? act.see.flash : { bytes: act.see.flash.blocks * N.BLOCK_BYTES },
        },
      };
    }),
  }));
}

// What the unit saw of an act (`see`, since `mark`): the reports it
// received, the least wait after a data block's reply, its ESC's flash.
// `unit` answers as tests/web/play-story.mjs describes (received,
// leastBlockWaitMs, flash, image); every browser stage checks these alike,
// but what the table says that `stage` cannot check (`unchecked`), which
// `note` says.
export async function checkUnitSaw(unit, see, mark, where, { unchecked, stage, note }) {
  const checkable = (check) => {
    if (see[check] !== undefined && unchecked[check]) {
      note(`${where}: ${check} not checked on ${stage}: ${unchecked[check]}`);
      return false;
    }
    return see[check] !== undefined;
  };
  if (checkable("reports")) {
    assert.equal(await unit.received(mark), see.reports, `${where}: reports the unit received`);
  }
  if (checkable("blockWaitMs")) {
    const least = await unit.leastBlockWaitMs(mark);
    assert.ok(least !== null && least >= see.blockWaitMs,
      `${where}: the least wait after a block was ${least} ms, not at least ${see.blockWaitMs} ms`);
  }
  if (checkable("flash")) {
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
