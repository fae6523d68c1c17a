// Plays one of the owner's stories (tests/stories/) in the updater page:
// what the owner does, through the page's own controls and the unit, and
// what must be seen after each act, read from the page as it was recorded
// (browser.mjs's page observer). The unit is whatever the stage has behind
// the page's WebHID, reached through `unit`:
//   plug(settings)    plugs a unit with the story's settings in (pulling out
//                     one that is in)
//   unplug()          pulls it out
//   replug({pullOutFirst})  plugs the same one in again (one that is in
//                     pulled out first, where the act says so)
//   swapEsc(settings) puts the ESC of these settings on the unit's cable
//   arm(fault)        a fault for the next update
//   mark()            a mark in the unit's log, for the acts that follow
//   received(mark)    the reports the unit received since the mark
//   leastBlockWaitMs(mark)  the least wait after a data block's reply since
//                     the mark, on the unit's clock (null: none)
//   flash()           the ESC's flash now (a Buffer)
//   image             the image the page writes (a Buffer)
//   limitMs           how long an act may take at most
import assert from "node:assert/strict";

import { checkUnitSaw, readTable } from "../stories/stories.mjs";
import { until } from "../wait.mjs";
import { answer, seen, view, waitForBox, waitForHint, waitForState, waitInPage } from "./browser.mjs";

const ROWS = { unit: "labelUnit", unitVersion: "versionUnit", bootloader: "versionBootloader", esc: "versionEsc" };

// The texts the box may show on `stage`, its code lines the stage's.
function boxTexts(box, texts, stage) {
  let text = texts.text(box.text);
  if (box.fill) {
    text = text.replace("%s", box.fill);
  }
  const code = box.codes?.[stage];
  return code ? code[0].map((status) => `${text}\n${texts.codeLine(status, code[1])}`) : [text];
}

// What `see` gives of the window (the hint, Update, the rows) against the
// page's view: a list of what differs, each [what, seen, wanted].
function windowDiffers(see, shown, texts) {
  const differs = [];
  if (see.hint !== undefined) {
    differs.push(["the hint", shown.hint, see.waiting ? texts.waiting(see.hint) : texts.text(see.hint)]);
  }
  if (see.update !== undefined) {
    differs.push(["Update enabled", !shown.updateDisabled, see.update]);
  }
  for (const [row, want] of Object.entries(see.rows)) {
    differs.push([`the row ${row}`, shown[ROWS[row]], want]);
  }
  return differs.filter(([, got, want]) => got !== want);
}

// Waits until the page shows what `see` gives of the window, or `limitMs`
// passes, and checks it.
async function checkWindow(page, see, texts, limitMs, where) {
  let differs = [];
  try {
    await until(async () => (differs = windowDiffers(see, await view(page), texts)).length === 0, limitMs, where);
  } catch {
    // the differences say what
  }
  for (const [what, got, want] of differs) {
    assert.equal(got, want, `${where}: ${what}`);
  }
}

// Plays `story` in `page` on `stage` (its name in the table), the texts of
// its language being `texts`; `screenshot(name)` takes the story's
// screenshots (none when null); `note(line)` says what the stage does not
// check, and why.
export async function playStory(page, story, { stage, texts, N, unit, screenshot = null, note }) {
  const { unchecked } = readTable().stages[stage];
  const shot = (name) => (screenshot && name ? screenshot(name) : null);
  for (const [index, act] of story.acts.entries()) {
    const where = `act ${index + 1} (${act.do})`;
    const mark = await unit.mark();
    const boxesBefore = (await seen(page)).boxes.length;
    await checkWindow(page, act.before, texts, unit.limitMs, `${where}, before it`);

    switch (act.do) {
      case "look":
        break;
      case "plug":
        await unit.plug(act.unit);
        // A unit the page has no permission for yet is chosen in the
        // browser's chooser, as only a click may open it.
        if (!(await page.evaluate((id) => navigator.hid.getDevices().then((d) => d.some((x) => x.productId === id)), act.unit.productId))) {
          await page.click("#request-unit");
        }
        break;
      case "unplug":
        await unit.unplug();
        break;
      case "replug":
        await unit.replug({ pullOutFirst: act.pullOutFirst });
        break;
      case "arm":
        await unit.arm(act.fault);
        break;
      case "update":
        await page.click("#update");
        break;
      default:
        throw new Error(`${where}: no act "${act.do}"`);
    }

    for (const [number, want] of act.boxes.entries()) {
      const box = await waitForBox(page, boxesBefore + number + 1, unit.limitMs);
      const what = `${where}, box ${number + 1} (${want.kind})`;
      assert.equal(box.caption, texts.text(want.caption), `${what}: caption`);
      assert.ok(boxTexts(want, texts, stage).includes(box.text),
        `${what}: the text ${JSON.stringify(box.text)} is none of ${JSON.stringify(boxTexts(want, texts, stage))}`);
      assert.deepEqual(box.answers, want.buttons, `${what}: buttons`);
      assert.equal(box.focused, want.buttons[0], `${what}: the default button`);
      assert.equal(box.icon, want.icon, `${what}: icon`);
      if (want.kind === "failure") {
        assert.equal(box.progressOpen, false, `${what}: the progress panel is gone before the box`);
      }
      if (want.whileOpen === "unplug") {
        await unit.unplug();
      } else if (want.whileOpen === "plug") {
        // The unit that is in pulled out, and the page's taking it awaited:
        // then another unit, already granted, which the page finds while
        // the box is open, as the Windows dialog does.
        await unit.unplug();
        await waitForHint(page, texts.waiting(N.IDS_CONNECTION_LOST));
        await unit.plug(want.unit);
      } else if (want.whileOpen === "swap-esc") {
        await unit.swapEsc(want.unit);
      } else if (want.whileOpen !== undefined) {
        throw new Error(`${what}: no whileOpen "${want.whileOpen}"`);
      }
      await checkWindow(page, want.see, texts, unit.limitMs, `${what}, while it is open`);
      await shot(want.shot);
      await answer(page, want.answer);
      // An OK or Yes reaches the program once the page has made sure that
      // the update may go on (its release checks, a few hundred ms): until
      // then the box stays open and the window as it was, and an act whose
      // hint reads the same before and after would be checked too early.
      await waitInPage(page, (count) => !document.getElementById("message-box").open ||
        window.__seen.boxes.length > count, boxesBefore + number + 1, unit.limitMs, `${what}: the answer taken`);
    }

    // The hint the act ends with, or a box the story does not expect,
    // whichever comes first: a failure the story did not foresee then fails
    // at once, with its box, and not after the act's whole time limit.
    const see = act.see;
    const boxes = boxesBefore + act.boxes.length;
    if (see.hint !== undefined) {
      const hint = see.waiting ? texts.waiting(see.hint) : texts.text(see.hint);
      await waitInPage(page, ([want, count]) => document.getElementById("hint")?.textContent === want ||
        window.__seen.boxes.length > count, [hint, boxes], unit.limitMs, `${where}: the hint ${JSON.stringify(hint)}`);
    }
    assert.deepEqual((await seen(page)).boxes.slice(boxes).map((box) => box.text), [],
      `${where}: a message box the story does not expect`);
    await waitForState(page, ["idle", "ended"], unit.limitMs);
    // The whole window as the act leaves it, as the C++ player waits for it:
    // the page may show the hint a moment before the rest.
    await checkWindow(page, see, texts, unit.limitMs, where);
    const recorded = await seen(page);
    assert.equal(recorded.boxes.length, boxes, `${where}: message boxes`);
    if (see.progress !== undefined) {
      if (unchecked.progress) {
        note(`${where}: progress not checked on ${stage}: ${unchecked.progress}`);
      } else {
        assert.equal(recorded.progress.length, see.progress, `${where}: positions the bar was given`);
      }
    }
    await checkUnitSaw(unit, see, mark, where, { unchecked, stage, note });
    assert.deepEqual(recorded.errors, [], `${where}: script errors or what the page's policy refused`);
    await shot(act.shot);
  }
}

