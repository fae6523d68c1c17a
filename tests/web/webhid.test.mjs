// The page's WebHID layer, seen through what the page shows and what the
// emulated unit received: report lengths from the device's collections, the
// report ID apart from the data, replies that never come, writes the browser
// refuses, devices that go away in the middle of an exchange, and which of
// several granted devices is taken.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";

import {
  CANCEL,
  OK,
  N,
  answer,
  plug,
  plugAndChoose,
  plugAndWaitForReady,
  screenshot,
  seen,
  suite,
  unitLog,
  updateToFailureBox,
  view,
  waitFor,
  waitForBox,
  waitForHint,
  waitForState,
} from "./harness.mjs";

const COMMANDS = new Set(Object.entries(N).filter(([name]) => name.startsWith("CMD_")).map(([, code]) => code));

describe("the page's WebHID layer", () => {
  let s;
  let t;
  const open = () => s.open("test.html");

  before(async () => {
    s = await suite({ language: "en" });
    t = s.texts;
  });
  after(() => s?.close());

  // Catches a report sent with its ID also as the first data byte (every
  // command would then arrive one byte off) or under the wrong ID, and
  // output reports not of the length the collections announce.
  it("sends report ID 1 apart from the data, in reports of the announced length", async () => {
    const page = await open();
    await plugAndWaitForReady(page);
    const log = await unitLog(page);
    const sent = log.filter((entry) => entry.fromHost);
    const received = log.filter((entry) => !entry.fromHost);
    assert.ok(sent.length >= 3, `identification sent ${sent.length} reports`);
    for (const report of sent) {
      assert.equal(report.bytes[0], 1, "report ID 1");
      assert.ok(COMMANDS.has(report.bytes[1]), `byte 1 is a command, not 0x${report.bytes[1].toString(16)}`);
      assert.equal(report.bytes.length, 60);
    }
    assert.ok(received.length >= sent.length - 1);
    for (const report of received) {
      assert.equal(report.bytes[0], 2, "the unit's replies carry report ID 2");
    }
  });

  // The lengths come from the device's collections, not from a constant:
  // catches a page that always sends 60 bytes (more than the unit's
  // descriptor carries) and one that takes a unit whose output report is
  // too short for identification as ready.
  it("takes the report lengths from the collections, and does not take a unit whose reports are too short", async () => {
    const page = await open();
    await plugAndChoose(page, { outputLength: 4 });
    await waitFor(page, () => window.orvantoEmulator.log().some((entry) => entry.fromHost));
    // The program takes a click only once it is done with the unit's
    // arrival: what the page shows when Close has been taken is what
    // identification left.
    await page.click("#close");
    await waitForState(page, "ended");
    const sent = (await unitLog(page)).filter((entry) => entry.fromHost);
    assert.deepEqual([...new Set(sent.map((report) => report.bytes.length))], [4], "reports of 4 bytes, ID included");
    const shown = await view(page);
    assert.equal(shown.updateDisabled, true, "a unit that cannot be identified is not ready");
    assert.equal(shown.hint, t.waiting(N.IDS_NO_UNIT_FOUND));
  });

  // Pulled out as a block is written, the browser refuses the write and
  // says the unit is gone some time later: a disconnect within a third of
  // the write's limit reads as gone (1167), a later one no longer holds
  // the write back (31, its own error). Catches a refused write that waits
  // for a disconnect until its whole limit, or not at all.
  it("waits a short while for the disconnect after a refused write, then fails with the write's error", async () => {
    for (const [delayMs, lastError] of [[2000, N.PLATFORM_ERROR_DEVICE_NOT_CONNECTED], [8000, N.PLATFORM_ERROR_GEN_FAILURE]]) {
      const page = await open();
      await plugAndWaitForReady(page);
      await page.evaluate((ms) => window.orvantoEmulator.setDisconnectDelay(ms), delayMs);
      const box = await updateToFailureBox(page, { kind: "unplug", step: "block", block: 3 });
      assert.equal(box.text, `${t.text(N.IDS_DATA_BLOCK_FAILED)}\n${t.codeLine(N.LINK_WRITE_FAILED, lastError)}`,
        `the disconnect ${delayMs} ms after the refused write`);
    }
  });

  // Another granted HID device besides the unit, first in the browser's
  // list: catches a page that opens the first device it is given whatever
  // its IDs, and one that takes another device's removal for the unit's.
  it("takes only a device with the unit's IDs, and ignores another device's removal", async () => {
    const page = await open();
    await page.evaluate(() => window.orvantoEmulator.ready);
    const other = await page.evaluate(() =>
      window.orvantoEmulator.addOtherDevice({ vendorId: 0x046d, productId: 0xc077 }));
    await plugAndWaitForReady(page);
    assert.equal((await view(page)).hint, t.text(N.IDS_READY));
    const openedOther = await page.evaluate(async (unitVendor) =>
      (await navigator.hid.getDevices()).filter((d) => d.vendorId !== unitVendor && d.opened).length,
    N.UNIT_VENDOR_ID);
    assert.equal(openedOther, 0, "the other device is not held open");

    // The page takes device events and clicks in the order they come: once
    // the other device's removal has been announced, a press of Update
    // comes after it and finds the unit still ready.
    await page.evaluate((id) => new Promise((resolve) => {
      navigator.hid.addEventListener("disconnect", resolve, { once: true });
      window.orvantoEmulator.removeOtherDevice(id);
    }), other);
    await page.click("#update");
    const box = await waitForBox(page, 1);
    assert.equal(box.caption, t.text(N.IDS_CONFIRM_CAPTION), "the confirmation, not a failure");
    await answer(page, CANCEL);
    await waitForState(page, "idle");
    const shown = await view(page);
    assert.equal(shown.hint, t.text(N.IDS_READY), "the unit is still ready");
    assert.equal(shown.updateDisabled, false);
  });

  // A unit granted on an earlier visit and plugged in before the page
  // opens: catches a page that only takes units from the chooser or from
  // connect events, so that every visit would need the chooser again.
  it("finds a unit granted earlier at start, without the chooser", async () => {
    const page = await s.open("test.html", {
      prepare: (p) => p.evaluateOnNewDocument(() => {
        window.orvantoEmulatorSetup = { unit: { productId: 1 }, granted: true };
      }),
    });
    await waitFor(page, () => document.getElementById("update")?.disabled === false);
    const shown = await view(page);
    assert.equal(shown.hint, t.text(N.IDS_READY));
    assert.equal(shown.labelUnit, "ORBICON");
    assert.equal(shown.requestShown, false);
  });

  // The demo's and the tests' updater carries the stand-in image, which is
  // not firmware: behind a WebHID that is the browser's own (here the same
  // emulated unit, but reached through Navigator.prototype as the real API
  // is), it must find no unit and send nothing, so that the stand-in can
  // never reach a real ESC. Catches a stand-in build that trusts any WebHID.
  it("lets the stand-in build reach no WebHID but the emulated unit's stand-in", async () => {
    const page = await s.open("test.html", {
      prepare: async (p) => {
        await p.evaluateOnNewDocument(() => {
          window.orvantoEmulatorSetup = { unit: { productId: 2 }, granted: true };
        });
        await p.setRequestInterception(true);
        p.on("request", async (request) => {
          if (!request.url().endsWith("/emulator/standin-hid.js")) {
            await request.continue();
            return;
          }
          const script = await (await fetch(request.url())).text();
          const asBrowsers = script.replace('Object.defineProperty(navigator, "hid"',
            'Object.defineProperty(Navigator.prototype, "hid"');
          assert.notEqual(asBrowsers, script, "the stand-in is installed as expected");
          await request.respond({ status: 200, contentType: "text/javascript", body: asBrowsers });
        });
      },
    });
    assert.equal(await page.evaluate(() => Object.prototype.hasOwnProperty.call(navigator, "hid")), false);
    assert.equal(await page.evaluate(async () => (await navigator.hid.getDevices()).length), 1,
      "the unit is granted");
    const shown = await view(page);
    assert.equal(shown.hint, t.waiting(N.IDS_NO_UNIT_FOUND), "no unit found");
    assert.equal(shown.updateDisabled, true);
    assert.deepEqual(await unitLog(page), [], "nothing was sent to the unit");
  });

  // Two tabs of the updater in one browser would both open the unit and take
  // each other's replies: catches a second page that starts while the first
  // one runs, or that never starts once the first one is closed.
  it("runs one updater per browser: a second tab waits until the first one is closed", async () => {
    const context = await s.session.browser.createBrowserContext();
    try {
      const first = await context.newPage();
      await first.goto(s.url("test.html"), { waitUntil: "load" });
      await waitForState(first, "idle");
      const second = await context.newPage();
      await second.goto(s.url("test.html"), { waitUntil: "load" });
      await waitFor(second, () => document.getElementById("another-instance")?.hidden === false);
      assert.equal(await second.evaluate(() => document.documentElement.dataset.state), "starting");
      assert.equal(await second.$eval("#another-instance", (e) => e.textContent.trim()), t.text(N.IDS_PAGE_ANOTHER_INSTANCE));
      await first.bringToFront();
      await first.click("#close");
      await waitForState(first, "ended");
      await waitForState(second, "idle");
      assert.equal(await second.$eval("#another-instance", (e) => e.hidden), true);
    } finally {
      await context.close();
    }
  });

  // Plugged in again after being pulled out: catches device paths that are
  // reused or compared wrongly, so that the unit plugged in anew is not
  // taken up (or its removal is missed).
  it("takes the unit up again when it is plugged back in", async () => {
    const page = await open();
    await plugAndWaitForReady(page);
    await page.evaluate(() => window.orvantoEmulator.unplug());
    await waitForHint(page, t.waiting(N.IDS_CONNECTION_LOST));
    await plug(page);
    await waitForHint(page, t.text(N.IDS_READY));
    await waitForState(page, "idle");
    assert.equal((await view(page)).updateDisabled, false);
    await page.evaluate(() => window.orvantoEmulator.unplug());
    await waitForHint(page, t.waiting(N.IDS_CONNECTION_LOST));
  });

  // The permission taken back (HIDDevice.forget(), or the browser's site
  // settings): catches a page that stays in Ready with Update enabled, fails
  // at the first step, and hides the button to choose the unit until it is
  // reloaded.
  it("handles a unit whose permission is gone as pulled out, at Update and when the page shows again", async () => {
    const page = await open();
    const forget = () => page.evaluate(async () => {
      for (const device of await navigator.hid.getDevices()) {
        await device.forget();
      }
    });
    await plugAndWaitForReady(page);
    await forget();
    const sentBefore = (await unitLog(page)).length;
    await page.click("#update");
    await waitForHint(page, t.waiting(N.IDS_CONNECTION_LOST));
    let shown = await view(page);
    assert.equal(shown.updateDisabled, true);
    assert.equal(shown.requestShown, true, "the button to choose a unit is back");
    assert.equal((await seen(page)).boxes.length, 0, "no update was started");
    assert.equal((await unitLog(page)).length, sentBefore, "nothing was sent");

    // Chosen again, then taken back while the page was in the background.
    await page.click("#request-unit");
    await waitForHint(page, t.text(N.IDS_READY));
    await forget();
    await page.evaluate(() => document.dispatchEvent(new Event("visibilitychange")));
    await waitForHint(page, t.waiting(N.IDS_CONNECTION_LOST));
    shown = await view(page);
    assert.equal(shown.requestShown, true);
    assert.equal(shown.updateDisabled, true);
  });

  // On Linux the browser lists a unit whose hidraw node it may not open
  // (no udev rule): catches a page that then only says that no unit was
  // found, leaving the owner without the way out.
  for (const language of ["en", "de"]) {
    it(`says that the system keeps the browser from opening the unit, and names the udev rule (${language})`, async () => {
      const session = language === "en" ? s : await suite({ language });
      const texts = session.texts;
      const page = await session.open("test.html");
      try {
        await plugAndChoose(page, { openRefused: true });
        await waitFor(page, () => !document.getElementById("open-refused").hidden);
        assert.equal(await page.$eval("#open-refused p", (e) => e.textContent), texts.text(N.IDS_PAGE_OPEN_REFUSED));
        assert.equal(await page.$eval("#udev-rule", (e) => e.getAttribute("href")), "70-orvanto-programming-unit.rules");
        const rule = await page.evaluate(async () => (await fetch("70-orvanto-programming-unit.rules")).text());
        assert.match(rule, /TAG\+="uaccess"/);
        assert.equal((await view(page)).updateDisabled, true);
        await screenshot(page, `${language}-open-refused`);
        // The unit the system lets the browser open: the text goes.
        await plug(page);
        await waitForHint(page, texts.text(N.IDS_READY));
        assert.equal(await page.$eval("#open-refused", (e) => e.hidden), true);
      } finally {
        if (session !== s) {
          await session.close();
        }
      }
    });
  }

  // Elsewhere than on Linux no udev rule helps: catches a page that tells
  // every owner to install one.
  for (const language of ["en", "de"]) {
    it(`says that the unit could not be opened, without the udev rule, on other systems (${language})`, async () => {
      const session = language === "en" ? s : await suite({ language });
      const page = await session.open("test.html", {
        prepare: (p) => p.evaluateOnNewDocument(() => {
          Object.defineProperty(Navigator.prototype, "userAgentData", { get: () => ({ platform: "Windows" }) });
          Object.defineProperty(Navigator.prototype, "platform", { get: () => "Win32" });
        }),
      });
      try {
        await plugAndChoose(page, { openRefused: true });
        await waitFor(page, () => !document.getElementById("open-refused").hidden);
        const shown = await page.evaluate(() => [...document.querySelectorAll("#open-refused p")]
          .filter((e) => e.checkVisibility()).map((e) => e.textContent));
        assert.deepEqual(shown, [session.texts.text(N.IDS_PAGE_OPEN_REFUSED_OTHER)]);
        await screenshot(page, `${language}-open-refused-other`);
      } finally {
        if (session !== s) {
          await session.close();
        }
      }
    });
  }

  // The browser does not let the page take its lock (site data blocked for
  // the site): catches a page that starts anyway, so that every tab could
  // open the unit and take the others' replies.
  for (const language of ["en", "de"]) {
    it(`opens no unit when the browser refuses the page its lock, and says why (${language})`, async () => {
      const session = language === "en" ? s : await suite({ language });
      const page = await session.open("test.html", {
        prepare: (p) => p.evaluateOnNewDocument(() => {
          window.orvantoEmulatorSetup = { unit: { productId: 2 }, granted: true };
          LockManager.prototype.request = () => Promise.reject(new DOMException("blocked", "SecurityError"));
        }),
      });
      try {
        assert.equal(await page.evaluate(() => document.documentElement.dataset.state), "no-lock");
        assert.equal(await page.$eval("#no-instance-lock", (e) => (e.checkVisibility() ? e.textContent.trim() : null)),
          session.texts.text(N.IDS_PAGE_NO_INSTANCE_LOCK));
        await page.evaluate(() => window.orvantoEmulator.ready);
        assert.equal(await page.evaluate(() => window.orvantoEmulator.state().opened), false, "the unit was not opened");
        assert.deepEqual(await unitLog(page), [], "nothing was sent");
        await screenshot(page, `${language}-no-instance-lock`);
      } finally {
        if (session !== s) {
          await session.close();
        }
      }
    });
  }

  // An ESC the updater cannot update, granted on an earlier visit: catches
  // a start-up box that opens over the loading text instead of over the
  // main view, as the Windows dialog shows behind its box.
  it("shows the main view behind a box that opens at start", async () => {
    const page = await s.open("test.html", {
      prepare: (p) => p.evaluateOnNewDocument(() => {
        window.orvantoEmulatorSetup = { unit: { escTypeCode: 0x12345678 }, granted: true };
      }),
      settle: false,
    });
    await waitForBox(page, 1);
    const behind = await page.evaluate(() => ({
      main: !document.getElementById("updater").hidden,
      loading: !document.getElementById("loading").hidden,
    }));
    assert.deepEqual(behind, { main: true, loading: false });
    await answer(page, OK);
    await waitForState(page, "idle");
  });
});
