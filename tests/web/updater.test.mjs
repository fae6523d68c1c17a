// What only the updater page shows, in English and in German: its first view
// and request button, its progress panel, its boxes, Close, a narrow window.
// The page's real WebHID code in Chromium, the emulated unit behind the
// stand-in navigator.hid (the test build: its clock runs 50 times faster).
// The owner's stories, which every front end plays, are in
// tests/web/stories.test.mjs; screenshots go to <build>/screenshots.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";

import {
  WINDOW_TITLE,
  CANCEL,
  OK,
  N,
  answer,
  isRed,
  plugAndChoose,
  plugAndWaitForReady,
  screenshot,
  seen,
  suite,
  updateToFailureBox,
  view,
  waitFor,
  waitForBox,
  waitForHint,
  waitForState,
} from "./harness.mjs";


for (const language of ["en", "de"]) {
  describe(`the updater page (${language})`, () => {
    let s;
    let t;
    const open = () => s.open("test.html");
    const shot = (page, name) => screenshot(page, `${language}-${name}`);

    before(async () => {
      s = await suite({ language });
      t = s.texts;
    });
    after(() => s?.close());

    // The first view without a unit, and a unit chosen in the browser's
    // chooser: catches a page that shows no way to grant the unit, one that
    // misses the granted unit, and rows, labels or texts taken from the
    // wrong place or the wrong language.
    it("shows the request button without a unit, then the Ready rows of the chosen unit", async () => {
      const page = await open();
      const empty = await view(page);
      assert.equal(empty.state, "idle");
      assert.equal(empty.title, WINDOW_TITLE);
      assert.equal(empty.documentTitle, WINDOW_TITLE.trim(), "document.title drops the trailing blank");
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

    // While the update runs (the story of the whole update is in
    // tests/stories/): catches a confirmation that is not a modal alert
    // with OK as its default, a progress panel without its title or the
    // word to keep the tab open, progress that a screen reader does not
    // hear, a bar that goes back, and a page that asks the server for more
    // than its list of files once it is loaded.
    it("shows the update's progress as the page's own panel, and asks the server only for its list of files", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      await page.evaluate(() => navigator.serviceWorker.ready);
      const requestsBefore = s.server.requests.length;

      await page.click("#update");
      const confirmation = await waitForBox(page, 1);
      assert.equal(confirmation.focused, OK, "OK is the default button");
      assert.equal(confirmation.role, "alertdialog");
      assert.equal(confirmation.modal, true);
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
      assert.equal(await page.$eval("#progress-keep-open", (e) => e.textContent), t.text(N.IDS_PAGE_KEEP_OPEN));
      assert.match(await page.$eval("#progress-announcement", (e) => e.textContent),
        new RegExp(`^${t.text(N.IDS_PAGE_PROGRESS).replace("%s", "[1-9]0")}$`));
      await shot(page, "progress");

      await waitForHint(page, t.text(N.IDS_UPDATE_SUCCEEDED));
      await waitForState(page, "idle");
      assert.equal(await page.evaluate(() => document.getElementById("progress-panel")?.open), false);
      assert.equal(await page.$eval("#progress-announcement", (e) => e.textContent),
        t.text(N.IDS_PAGE_PROGRESS).replace("%s", "100"));
      const { progress } = await seen(page);
      assert.equal(progress[0], 0);
      assert.equal(progress[21], 1);
      assert.equal(progress[1019], 50);
      assert.equal(progress.at(-1), 100);
      for (let i = 1; i < progress.length; ++i) {
        assert.ok(progress[i] >= progress[i - 1], `the bar went back from ${progress[i - 1]} to ${progress[i]} at ${i}`);
      }
      assert.deepEqual(s.server.requests.slice(requestsBefore).sort(), ["/release.json", "/release.json", "/sw.js", "/sw.js"],
        "the page asked the server only whether a new version had been published (its release file and its worker), at Update and at OK");
    });

    // A failure box on the page (the failures themselves are stories):
    // catches a box that Ctrl+C does not copy whole, as on Windows, for a
    // support request, a focus lost to the page's body once it is answered,
    // and a code line gone from the page with the box.
    it("lets the owner copy a failure box, then keeps its code line on the page", async () => {
      const page = await open();
      await plugAndWaitForReady(page);
      const failure = await updateToFailureBox(page, { kind: "unit-error", step: "purge", errorCode: 0xabcd });
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
      assert.equal(await page.evaluate(() => document.activeElement?.id), "close",
        "the focus goes to Close, not to the page's body");
      assert.equal(await page.$eval("#last-code-line", (e) => (e.hidden ? null : e.textContent)),
        failure.text.split("\n").at(-1));
    });

    // From one status to the next, screen readers hear the new status, not
    // the connection instructions again.
    it("announces a new status without the connection instructions", async () => {
      const page = await open();
      await plugAndChoose(page, { escTypeCode: 0x12345678 });
      await waitForBox(page, 1);
      await answer(page, OK);
      await waitForHint(page, t.waiting(N.IDS_INCOMPATIBLE_ESC));
      assert.equal(await page.$eval("#hint-announcement", (e) => e.textContent), t.text(N.IDS_INCOMPATIBLE_ESC));
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
