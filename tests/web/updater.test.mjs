// The updater page as an owner uses it, in English and in German: the page's
// real WebHID code in Chromium, the emulated unit behind the stand-in
// navigator.hid (the test build: its clock runs 50 times faster). The same
// scenarios as the Windows program's end-to-end tests, read from the page's
// DOM; a screenshot of each state goes to <build>/screenshots.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";

import {
  CANCEL,
  NO,
  OK,
  YES,
  N,
  answer,
  flash,
  isRed,
  openPage,
  plug,
  plugAndChoose,
  plugAndWaitForReady,
  screenshot,
  seen,
  standinImage,
  suite,
  updateToFailureBox,
  unitLog,
  view,
  waitFor,
  waitForBox,
  waitForHint,
  waitForState,
} from "./harness.mjs";

const TITLE = "VESTORA ORVANTO FW Updater 3.0 ";  // the blank at the end included
const IMAGE_BLOCKS = 2038;  // 97,808 bytes: 2,037 blocks of 48 and one of 32
const { CMD_SYSTEM_LOCK, CMD_WRITE_PROTECT, CMD_PURGE, CMD_SET_ADDRESS, CMD_WRITE_DATA } = N;

const sentCommands = (log) => log.filter((entry) => entry.fromHost).map((entry) => entry.bytes[1]);

for (const language of ["en", "de"]) {
  describe(`the updater page (${language})`, () => {
    let s;
    let t;
    const pages = [];
    const open = async () => {
      const page = await openPage(s.session, s.url("test.html"));
      pages.push(page);
      return page;
    };
    const shot = (page, name) => screenshot(page, `${language}-${name}`);

    before(async () => {
      s = await suite({ language });
      t = s.texts;
    });
    after(async () => {
      for (const page of pages) {
        await page.closeContext().catch(() => {});
      }
      await s?.close();
    });

    // The first view without a unit, and a unit chosen in the browser's
    // chooser: catches a page that shows no way to grant the unit, one that
    // misses the granted unit, and rows, labels or texts taken from the
    // wrong place or the wrong language.
    it("shows the request button without a unit, then the Ready rows of the chosen unit", async () => {
      const page = await open();
      const empty = await view(page);
      assert.equal(empty.state, "idle");
      assert.equal(empty.title, TITLE);
      assert.equal(empty.documentTitle, TITLE.trim(), "document.title drops the trailing blank");
      assert.equal(await page.evaluate(() => navigator.language.slice(0, 2)), language);
      assert.equal(empty.requestShown, true, "the request button is shown while no unit is granted");
      assert.equal(empty.hint, t.waiting(N.IDS_NO_UNIT_FOUND));
      assert.equal(empty.updateDisabled, true);
      assert.equal(empty.closeDisabled, false);
      assert.equal(empty.closeText, t.dialog.IDCANCEL);
      assert.equal(empty.updateText, t.dialog.IDC_UPDATE);
      assert.equal(empty.hintCaption, t.dialog.IDC_STATIC);
      assert.equal(empty.groupCaption, t.dialog.IDC_VERSION_GROUP);
      assert.deepEqual([empty.versionUnit, empty.versionBootloader, empty.versionEsc], ["0.0.0", "0.0.0", "0.0.0"]);
      assert.equal(empty.labelUnit, t.text(N.IDS_LABEL_UNIT));
      assert.equal(empty.controlIds.update, N.IDC_UPDATE);
      assert.equal(empty.controlIds.hint, N.IDC_HINT);
      assert.equal(empty.controlIds["version-esc"], N.IDC_VERSION_ESC);
      // Without a unit the rows are disabled, as on Windows: greyed (the
      // ESC row's red too) and marked for screen readers.
      const rows = () => page.evaluate(() => ["version-unit", "version-bootloader", "version-esc"].map((id) => {
        const element = document.getElementById(id);
        return { disabled: element.getAttribute("aria-disabled"), colour: getComputedStyle(element).color };
      }));
      for (const row of await rows()) {
        assert.equal(row.disabled, "true");
        assert.ok(!isRed(row.colour) && row.colour !== "rgb(0, 0, 0)", `a disabled row is grey, not ${row.colour}`);
      }
      // The hint is not read out whole at every change: only its status is.
      const announced = () => page.evaluate(() => ({
        live: document.getElementById("hint").getAttribute("aria-live"),
        status: document.getElementById("hint-announcement").textContent,
        role: document.getElementById("hint-announcement").getAttribute("role"),
      }));
      assert.deepEqual(await announced(), { live: null, status: t.waiting(N.IDS_NO_UNIT_FOUND), role: "status" });
      await shot(page, "no-unit");

      await plugAndWaitForReady(page);
      const ready = await view(page);
      assert.equal(ready.hint, t.text(N.IDS_READY));
      assert.equal(ready.labelUnit, "LINK-BOX");
      assert.equal(ready.versionUnit, "1.4");
      assert.equal(ready.labelBootloader, t.text(N.IDS_LABEL_BOOTLOADER));
      assert.equal(ready.versionBootloader, "1.2.3");
      assert.equal(ready.labelEsc, t.text(N.IDS_LABEL_ESC));
      assert.equal(ready.versionEsc, "2.5");
      assert.ok(isRed(ready.escColour), `the ESC row is red, not ${ready.escColour}`);
      assert.ok(!isRed(ready.unitColour), "only the ESC row is red");
      assert.equal(ready.updateDisabled, false);
      assert.equal(ready.requestShown, false, "the request button goes once the unit is granted");
      assert.deepEqual((await rows()).map((row) => row.disabled), ["false", "false", "false"]);
      assert.equal((await announced()).status, t.text(N.IDS_READY));
      if (language === "de") {
        assert.equal(ready.closeText, "Beenden");
      }
      await shot(page, "ready");
      assert.deepEqual((await seen(page)).errors, []);
    });

    // The whole update: catches a wrong command order, a lost, repeated or
    // reordered block, anything written past the image (the last block's
    // 0xFF filler must not reach the flash), a progress bar that jumps,
    // goes back or ends short of 100, and a success that is not shown.
    it("updates the ESC: the image in its flash, every progress position, the success hint", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      const logBefore = (await unitLog(page)).length;
      // Once loaded (the service worker's copies included) the page asks
      // the server for nothing more than, at Update, its list of files.
      await page.evaluate(() => navigator.serviceWorker.ready);
      const requestsBefore = s.server.requests.length;

      await page.click("#update");
      const confirmation = await waitForBox(page, 1);
      assert.equal(confirmation.caption, t.text(N.IDS_CONFIRM_CAPTION));
      assert.equal(confirmation.text, t.text(N.IDS_CONFIRM_UPDATE));
      assert.deepEqual(confirmation.answers, [OK, CANCEL]);
      assert.equal(confirmation.focused, OK, "OK is the default button");
      assert.equal(confirmation.icon, "warning");
      assert.equal(confirmation.role, "alertdialog");
      assert.equal(confirmation.modal, true);
      await shot(page, "box-confirmation");
      await answer(page, OK);

      await waitFor(page, () => Number(document.getElementById("progress-bar")?.getAttribute("value")) >= 40);
      const busy = await page.evaluate(() => ({
        title: document.getElementById("progress-title")?.textContent,
        open: document.getElementById("progress-panel")?.open,
        state: document.documentElement.dataset.state,
      }));
      assert.equal(busy.title, t.text(N.IDS_PROGRESS_TITLE));
      assert.equal(busy.open, true);
      assert.equal(busy.state, "busy");
      // The owner is told to keep the tab open and the computer awake, and
      // a screen reader hears the progress in tenths.
      assert.equal(await page.$eval("#progress-keep-open", (e) => e.textContent), t.text(N.IDS_PAGE_KEEP_OPEN));
      assert.match(await page.$eval("#progress-announcement", (e) => e.textContent),
        new RegExp(`^${t.text(N.IDS_PAGE_PROGRESS).replace("%s", "[1-9]0")}$`));
      await shot(page, "progress");

      await waitForHint(page, t.text(N.IDS_UPDATE_SUCCEEDED));
      await waitForState(page, "idle");
      const done = await view(page);
      assert.equal(done.updateDisabled, true);
      assert.equal(done.versionEsc, "3.0");
      assert.equal(await page.evaluate(() => document.getElementById("progress-panel")?.open), false);
      assert.equal(await page.$eval("#progress-announcement", (e) => e.textContent),
        t.text(N.IDS_PAGE_PROGRESS).replace("%s", "100"));
      await shot(page, "updated");

      const { progress, boxes } = await seen(page);
      assert.equal(boxes.length, 1, "success shows no box");
      assert.equal(progress.length, IMAGE_BLOCKS + 1, "0, then one position per block");
      assert.equal(progress[0], 0);
      assert.equal(progress[21], 1);
      assert.equal(progress[1019], 50);
      assert.equal(progress.at(-1), 100);
      for (let i = 1; i < progress.length; ++i) {
        assert.ok(progress[i] >= progress[i - 1], `the bar went back from ${progress[i - 1]} to ${progress[i]} at ${i}`);
      }

      const commands = sentCommands((await unitLog(page)).slice(logBefore));
      assert.deepEqual(commands.slice(0, 4), [CMD_SYSTEM_LOCK, CMD_WRITE_PROTECT, CMD_PURGE, CMD_SET_ADDRESS]);
      assert.equal(commands.filter((c) => c === CMD_WRITE_DATA).length, IMAGE_BLOCKS);
      assert.deepEqual(commands.slice(4 + IMAGE_BLOCKS), [CMD_WRITE_PROTECT, CMD_SYSTEM_LOCK]);

      const image = standinImage();
      const written = await flash(page);
      assert.ok(written.length >= image.length + 16, `the flash holds ${written.length} bytes`);
      assert.ok(written.subarray(0, image.length).equals(image), "the flash holds the image from address 0");
      assert.ok(written.subarray(image.length).every((b) => b === 0xff), "nothing is written past the image");
      assert.deepEqual((await seen(page)).errors, [], "no script error and nothing the page's policy refused");
      assert.deepEqual(s.server.requests.slice(requestsBefore), ["/sw.js"],
        "the page asked the server only whether a new version had been published");
    });

    // Declining: catches a Cancel or a No that still sends a report, a
    // version question asked with the wrong buttons or not at all.
    it("sends nothing when the confirmation is cancelled or the version question answered No", async () => {
      const page = await open();
      await plugAndWaitForReady(page, { escVersion: 0x0300 });
      assert.equal((await view(page)).versionEsc, "3.0");
      const logBefore = (await unitLog(page)).length;

      await page.click("#update");
      await waitForBox(page, 1);
      await answer(page, CANCEL);
      await waitForState(page, "idle");
      await page.click("#update");
      await waitForBox(page, 2);
      await answer(page, OK);
      const question = await waitForBox(page, 3);
      assert.equal(question.caption, t.text(N.IDS_VERSION_QUESTION_CAPTION));
      assert.equal(question.text, t.text(N.IDS_VERSION_QUESTION));
      assert.deepEqual(question.answers, [YES, NO]);
      assert.equal(question.focused, YES, "Yes is the default button");
      assert.equal(question.icon, "warning");
      await shot(page, "box-version-question");
      await answer(page, NO);
      await waitForState(page, "idle");

      assert.equal((await unitLog(page)).length, logBefore, "nothing was sent");
      const after = await view(page);
      assert.equal(after.hint, t.text(N.IDS_READY));
      assert.equal(after.updateDisabled, false);
      assert.equal(after.versionEsc, "3.0");
      assert.equal((await seen(page)).boxes.length, 3);
    });

    // The unit reports an error at the purge: catches a lost error code, a
    // code line in the wrong form or language, a failure that leaves Update
    // enabled or the unit's rows standing, and a missing failure hint.
    it("reports a failure at the purge with its code line, then the failure hint", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      const failure = await updateToFailureBox(page, { kind: "unit-error", step: "purge", errorCode: 0xabcd });
      assert.equal(failure.caption, t.text(N.IDS_UPDATE_FAILED_CAPTION));
      const start = `${t.text(N.IDS_PURGE_FAILED)}\n${t.codeLinePrefix()}0x0000abcd-0x`;
      assert.equal(failure.text.slice(0, start.length), start);
      assert.match(failure.text.slice(start.length), /^[0-9a-f]{8}$/);
      assert.deepEqual(failure.answers, [OK]);
      assert.equal(failure.icon, "error");
      // While the box is open the rows are already those of no unit.
      const during = await view(page);
      assert.equal(during.updateDisabled, true);
      assert.equal(during.versionEsc, "0.0.0");
      await shot(page, "box-failure");
      // Ctrl+C copies the whole box, as on Windows, for a support request.
      const copied = await page.evaluate(() => new Promise((resolve) => {
        window.addEventListener("copy", (event) => resolve(event.clipboardData.getData("text/plain")), { once: true });
        document.execCommand("copy");
      }));
      const line = "---------------------------";
      assert.equal(copied, [line, t.text(N.IDS_UPDATE_FAILED_CAPTION), line, failure.text.replace("\n", "\r\n"), line,
        `${t.text(N.IDS_PAGE_OK)}   `, line, ""].join("\r\n"));
      assert.equal(await page.$eval("#message-box-text", (e) => getComputedStyle(e).userSelect), "text");
      await answer(page, OK);
      await waitForHint(page, t.text(N.IDS_UPDATE_FAILED_HINT));
      await waitForState(page, "idle");
      assert.equal((await view(page)).updateDisabled, true);
      assert.equal(await page.evaluate(() => document.activeElement?.id), "close",
        "the focus goes to Close, not to the page's body");
      // The code line stays on the page, for support, once the box is gone.
      assert.equal(await page.$eval("#last-code-line", (e) => (e.hidden ? null : e.textContent)),
        failure.text.split("\n").at(-1));
      await shot(page, "failed");
      const commands = sentCommands(await unitLog(page));
      assert.equal(commands.at(-1), CMD_PURGE, "nothing is sent after the failed purge");
    });

    // Pulled out while the confirmation is open: catches device events that
    // wait behind the box (the update would then write to a unit that is
    // gone) and a failure box that shows a code line for -1.
    it("fails the first step without a code line when the unit is pulled out during the confirmation", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      await page.click("#update");
      await waitForBox(page, 1);
      await page.evaluate(() => window.orvantoEmulator.unplug());
      await waitForHint(page, t.waiting(N.IDS_CONNECTION_LOST));
      await shot(page, "unplugged-during-confirmation");
      const sentBefore = (await unitLog(page)).length;
      await answer(page, OK);
      const failure = await waitForBox(page, 2);
      assert.equal(failure.caption, t.text(N.IDS_UPDATE_FAILED_CAPTION));
      assert.equal(failure.text, t.text(N.IDS_LOCK_FAILED), "status -1: the text alone");
      assert.equal(failure.icon, "error");
      await answer(page, OK);
      await waitForHint(page, t.text(N.IDS_UPDATE_FAILED_HINT));
      await waitForState(page, "idle");
      assert.equal((await view(page)).updateDisabled, true);
      assert.equal((await unitLog(page)).length, sentBefore, "nothing reached the unit");
    });

    // Pulled out at block 500: catches a page that hangs on a write to a
    // device that is gone, a failure box over an open progress panel, and a
    // removal that overwrites the failure hint.
    it("fails the data block with its code line when the unit is pulled out mid-update", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      const failure = await updateToFailureBox(page, { kind: "unplug", step: "block", block: 500 });
      assert.equal(failure.caption, t.text(N.IDS_UPDATE_FAILED_CAPTION));
      // -2: the write failed; 1167: ERROR_DEVICE_NOT_CONNECTED, as on Windows.
      assert.equal(failure.text, `${t.text(N.IDS_DATA_BLOCK_FAILED)}\n${t.codeLine(N.LINK_WRITE_FAILED, N.PLATFORM_ERROR_DEVICE_NOT_CONNECTED)}`);
      assert.equal(failure.progressOpen, false, "the progress panel is gone before the box");
      const { progress } = await seen(page);
      assert.equal(progress.length, 500, "0, then blocks 1 to 499");
      await answer(page, OK);
      await waitForHint(page, t.text(N.IDS_UPDATE_FAILED_HINT));
      await waitForState(page, "idle");
      const after = await view(page);
      assert.equal(after.updateDisabled, true);
      assert.equal(after.hint, t.text(N.IDS_UPDATE_FAILED_HINT), "the removal leaves the failure text");
      await shot(page, "unplugged-mid-update");
    });

    // An ESC of another type: catches a type check that lets it through and
    // an information box without the model's name.
    it("refuses an incompatible ESC with the information box naming ORVANTO", async () => {
      const page = await open();
      await plugAndChoose(page, { escTypeCode: 0x12345678 });
      const box = await waitForBox(page, 1);
      assert.equal(box.caption, t.text(N.IDS_INCOMPATIBLE_CAPTION));
      assert.equal(box.text, t.text(N.IDS_INCOMPATIBLE_BOX).replace("%s", "ORVANTO"));
      assert.ok(box.text.includes("'ORVANTO'"));
      assert.equal(box.icon, "information");
      assert.deepEqual(box.answers, [OK]);
      await shot(page, "box-incompatible");
      await answer(page, OK);
      await waitForHint(page, t.waiting(N.IDS_INCOMPATIBLE_ESC));
      // From one status to the next, screen readers hear the new status,
      // not the connection instructions again.
      assert.equal(await page.$eval("#hint-announcement", (e) => e.textContent), t.text(N.IDS_INCOMPATIBLE_ESC));
      await waitForState(page, "idle");
      assert.equal((await view(page)).updateDisabled, true);
      await shot(page, "incompatible");
    });

    // Pulled out while Ready: catches a removal that is missed, which would
    // leave Update enabled for a unit that is gone.
    it("shows the lost connection when the unit is pulled out while ready", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      await page.evaluate(() => window.orvantoEmulator.unplug());
      await waitForHint(page, t.waiting(N.IDS_CONNECTION_LOST));
      const lost = await view(page);
      assert.equal(lost.updateDisabled, true);
      assert.deepEqual([lost.versionUnit, lost.versionBootloader, lost.versionEsc], ["0.0.0", "0.0.0", "0.0.0"]);
      await shot(page, "connection-lost");
    });

    // Close while Ready: catches a Close that leaves the unit open (the
    // browser would keep it from every other program) or the page running.
    it("closes the unit and ends the session on Close", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      assert.equal(await page.evaluate(async () => (await navigator.hid.getDevices())[0].opened), true);
      await page.click("#close");
      await waitForState(page, "ended");
      const ended = await view(page);
      assert.equal(ended.sessionEndedShown, true);
      assert.equal(await page.evaluate(async () => (await navigator.hid.getDevices())[0].opened), false,
        "the unit is closed");
      await shot(page, "ended");
    });

    // A phone-sized window, 360 px wide: catches a layout with fixed widths
    // that pushes Update, Close, a version or the confirmation's buttons out
    // of reach (a page that scrolls sideways on a small screen).
    it("fits a 360 px wide window, the confirmation box included", async () => {
      const page = await open();
      await page.setViewport({ width: 360, height: 740 });
      await plugAndWaitForReady(page);
      const outside = () => page.evaluate(() => {
        const width = document.documentElement.clientWidth;
        const ids = ["update", "close", "hint", "version-esc", "version-unit", "message-box"];
        const out = ids.filter((id) => {
          const element = document.getElementById(id);
          if (!element || !element.checkVisibility()) {
            return false;
          }
          const box = element.getBoundingClientRect();
          return box.left < 0 || box.right > width;
        });
        if (document.documentElement.scrollWidth > width) {
          out.push(`the page (${document.documentElement.scrollWidth} px wide)`);
        }
        return out;
      });
      assert.deepEqual(await outside(), [], "outside a 360 px window");
      await shot(page, "narrow");
      await page.click("#update");
      await waitForBox(page, 1);
      assert.deepEqual(await outside(), [], "outside a 360 px window with the box open");
      await shot(page, "narrow-box-confirmation");
      await answer(page, CANCEL);
      await waitForState(page, "idle");
    });
  });
}
