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

import { checkUnitSaw } from "../stories/stories.mjs";
import { answer, seen, view, waitForBox, waitForHint, waitForState, waitInPage } from "./browser.mjs";

const ROWS = { unit: "labelUnit", unitVersion: "versionUnit", bootloader: "versionBootloader", esc: "versionEsc" };

// The box's text as the page shows it.
function boxText(box, texts, { realStack = false } = {}) {
  let text = texts.text(box.text);
  if (box.fill) {
    text = text.replace("%s", box.fill);
  }
  const code = realStack ? box.codeOnRealStack : box.code;
  return code ? code[0].map((status) => `${text}\n${texts.codeLine(status, code[1])}`) : [text];
}

// Plays `story` in `page`, the texts of its language being `texts`;
// `screenshot(name)` takes the story's screenshots (none when null), and
// `realStack` takes the codes the real stack may give where they differ.
export async function playStory(page, story, { texts, N, unit, screenshot = null, realStack = false }) {
  const shot = (name) => (screenshot && name ? screenshot(name) : null);
  for (const [index, act] of story.acts.entries()) {
    const where = `act ${index + 1} (${act.do})`;
    const mark = await unit.mark();
    const boxesBefore = (await seen(page)).boxes.length;

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
      assert.ok(boxText(want, texts, { realStack }).includes(box.text),
        `${what}: the text ${JSON.stringify(box.text)} is none of ${JSON.stringify(boxText(want, texts, { realStack }))}`);
      assert.deepEqual(box.answers, want.buttons, `${what}: buttons`);
      assert.equal(box.focused, want.buttons[0], `${what}: the default button`);
      assert.equal(box.icon, want.icon, `${what}: icon`);
      if (want.kind === "failure") {
        assert.equal(box.progressOpen, false, `${what}: the progress panel is gone before the box`);
      }
      if (want.whileOpen === "unplug" || want.whileOpen === "plug") {
        await unit.unplug();
        // The page takes the removal while the box is open.
        await waitForHint(page, texts.waiting(N.IDS_CONNECTION_LOST));
      }
      if (want.whileOpen === "plug") {
        // Another unit, already granted: the page finds it while the box is
        // open, as the Windows dialog does.
        await unit.plug(want.unit);
        await waitForHint(page, texts.text(N.IDS_READY));
      } else if (want.whileOpen === "swap-esc") {
        await unit.swapEsc(want.unit);
      } else if (want.whileOpen !== undefined && want.whileOpen !== "unplug") {
        throw new Error(`${what}: nothing is done while a box is open but unplug, plug or swap-esc`);
      }
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
    const shown = await view(page);
    const recorded = await seen(page);
    assert.equal(recorded.boxes.length, boxes, `${where}: message boxes`);
    if (see.hint !== undefined) {
      assert.equal(shown.hint, see.waiting ? texts.waiting(see.hint) : texts.text(see.hint), `${where}: the hint`);
    }
    if (see.update !== undefined) {
      assert.equal(shown.updateDisabled, !see.update, `${where}: Update enabled`);
    }
    for (const [row, want] of Object.entries(see.rows)) {
      assert.equal(shown[ROWS[row]], want, `${where}: the row ${row}`);
    }
    if (see.progress !== undefined) {
      assert.equal(recorded.progress.length, see.progress, `${where}: positions the bar was given`);
    }
    await checkUnitSaw(unit, see, mark, where);
    assert.deepEqual(recorded.errors, [], `${where}: script errors or what the page's policy refused`);
    await shot(act.shot);
  }
}

