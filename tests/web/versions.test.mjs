// Which version of the updater runs: a page of the previous version after a
// new one was published (it says so, starts no update and loads the new
// one), a new version that waits for an update running in another tab, an
// install that meets a file of another version, and the line that tells
// support which updater and which image a page carries.
import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import {
  CANCEL,
  OK,
  N,
  answer,
  buildFolder,
  instrumentPage,
  launchBrowser,
  plugAndWaitForReady,
  python,
  screenshot,
  seen,
  standinImage,
  textsFor,
  unitLog,
  waitFor,
  waitForBox,
  waitForState,
} from "./harness.mjs";
import { startServer } from "./server.mjs";

const NEXT_VERSION_MARK = "/* the next version */\n";

// A copy of the tests' folder on a server of its own, so that a test can
// publish a new version of it.
async function publishedCopy() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "orvanto-web-versions-"));
  fs.cpSync(buildFolder("test"), folder, { recursive: true });
  const server = await startServer(folder);
  return {
    folder,
    server,
    url: (file) => server.url + file,
    // A new version: a changed file, stamped as the build stamps it.
    publishNext() {
      fs.appendFileSync(path.join(folder, "styles.css"), NEXT_VERSION_MARK);
      python("stamp_service_worker.py", folder);
    },
    async close() {
      await server.close();
      fs.rmSync(folder, { recursive: true, force: true });
    },
  };
}

// Opens the tests' page in `context` and waits until its service worker
// controls it.
async function visit(context, url) {
  const page = await context.newPage();
  await instrumentPage(page);
  await page.setViewport({ width: 900, height: 860 });
  await page.goto(url, { waitUntil: "load" });
  await waitFor(page, () => navigator.serviceWorker?.controller?.state === "activated");
  return page;
}

const servesNextVersion = (page) =>
  page.evaluate(async (mark) => (await (await fetch("styles.css")).text()).endsWith(mark), NEXT_VERSION_MARK);

const noticeShown = (page) => page.$eval("#version-notice", (e) => !e.hidden && e.getClientRects().length > 0);

for (const language of ["en", "de"]) {
  describe(`a new version of the updater (${language})`, () => {
    let session;
    let copy;
    const t = textsFor(language);
    before(async () => {
      session = await launchBrowser({ language });
    });
    after(async () => {
      await session?.close();
    });

    // The reproduced fault: after a release, a reloaded tab went on with the
    // old files (and the old image) for as long as any page of the old
    // version was open. Catches a page that starts an update with the
    // previous version, says nothing, or cannot load the new one.
    it("says so on a page of the previous version, starts no update with it, and loads the new one", async () => {
      copy = await publishedCopy();
      const context = await session.browser.createBrowserContext();
      try {
        const page = await visit(context, copy.url("test.html"));
        assert.equal(await noticeShown(page), false, "no notice while the version is the newest");
        copy.publishNext();
        await page.bringToFront();
        await page.reload({ waitUntil: "load" });
        await waitForState(page, ["idle", "busy"]);
        await waitFor(page, () => !document.getElementById("version-notice").hidden);
        assert.equal(await page.$eval("#version-notice-newer", (e) => e.textContent), t.text(N.IDS_PAGE_NEWER_VERSION));
        assert.equal(await page.$eval("#load-new-version", (e) => e.textContent), t.text(N.IDS_PAGE_LOAD_NEW_VERSION));
        assert.equal(await servesNextVersion(page), false, "the page still runs the previous version");
        await plugAndWaitForReady(page);
        await screenshot(page, `${language}-new-version`);

        const sentBefore = (await unitLog(page)).length;
        await page.click("#update");
        await waitFor(page, () => document.activeElement?.id === "load-new-version");
        assert.equal((await seen(page)).boxes.length, 0, "no update was started");
        assert.equal((await unitLog(page)).length, sentBefore, "nothing was sent to the unit");

        await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#load-new-version")]);
        await waitForState(page, ["idle", "busy"]);
        assert.equal(await servesNextVersion(page), true, "the new version is served after the reload");
        assert.equal(await noticeShown(page), false);
      } finally {
        await context.close();
        await copy.close();
      }
    });
  });
}

describe("a new version and a running update", () => {
  let session;
  before(async () => {
    session = await launchBrowser();
  });
  after(async () => {
    await session?.close();
  });

  // Catches a new version that takes over while an update runs in another
  // tab (the running update's page would be taken over mid-way), and one
  // that never takes over once the update has ended.
  it("takes over only once the update in another tab has ended", async () => {
    const copy = await publishedCopy();
    const context = await session.browser.createBrowserContext();
    try {
      const running = await visit(context, copy.url("test.html"));
      await plugAndWaitForReady(running);
      await running.click("#update");
      await waitForBox(running, 1);

      copy.publishNext();
      const fresh = await context.newPage();
      await instrumentPage(fresh);
      await fresh.goto(copy.url("index.html"), { waitUntil: "load" });
      // The new worker is installed while the update runs: the fresh page
      // asks it to take over, and it waits for the update.
      await waitFor(fresh, () => !document.getElementById("version-notice-loading").hidden);
      await waitFor(running, () => !document.getElementById("version-notice").hidden);
      const waiting = () => fresh.evaluate(async () =>
        (await navigator.serviceWorker.getRegistration())?.waiting?.state ?? null);
      assert.equal(await waiting(), "installed");
      // The update's confirmation is still open, the new version still waits.
      await running.evaluate(() => new Promise((resolve) => setTimeout(resolve, 500)));
      assert.equal(await waiting(), "installed", "the new version took over during the update");
      assert.equal(await running.evaluate(() => document.getElementById("message-box").open), true);

      await running.bringToFront();
      const reloaded = fresh.waitForNavigation({ waitUntil: "load" });
      await answer(running, CANCEL);
      await reloaded;
      assert.equal(await servesNextVersion(fresh), true, "the fresh tab runs the new version");
    } finally {
      await context.close();
      await copy.close();
    }
  });

  // A half-finished deploy or a stale proxy: catches an install that caches
  // whatever the server returns, so that a mixed set of files would run as
  // the new version; the old one must go on working.
  it("fails the install on a file that is not of the new version, and keeps the old one", async () => {
    const copy = await publishedCopy();
    const context = await session.browser.createBrowserContext();
    try {
      const page = await visit(context, copy.url("test.html"));
      const cachesBefore = await page.evaluate(() => caches.keys());
      copy.publishNext();
      // The server then hands out a page.js that is not the stamped one.
      fs.appendFileSync(path.join(copy.folder, "page.js"), "\n// a stale copy\n");
      const outcome = await page.evaluate(async () => {
        const registration = await navigator.serviceWorker.getRegistration();
        const states = [];
        const done = new Promise((resolve) => {
          registration.addEventListener("updatefound", () => {
            const worker = registration.installing;
            worker.addEventListener("statechange", () => {
              states.push(worker.state);
              if (worker.state === "redundant" || worker.state === "installed") {
                resolve();
              }
            });
          });
        });
        await registration.update().catch(() => {});
        await done;
        return { states, waiting: registration.waiting !== null, caches: await caches.keys() };
      });
      assert.deepEqual(outcome.states, ["redundant"], "the new worker was refused");
      assert.equal(outcome.waiting, false);
      assert.deepEqual(outcome.caches, cachesBefore, "the old version's cache is kept, nothing else");
      await page.reload({ waitUntil: "load" });
      await waitForState(page, ["idle", "busy"]);
      assert.equal(await servesNextVersion(page), false, "the old version is served");
      assert.equal(await noticeShown(page), false);
    } finally {
      await context.close();
      await copy.close();
    }
  });

  // Support must be able to tell which image a page writes: catches a line
  // that is missing, shows another digest than the image's, or claims an
  // image in a build that has none.
  it("shows the updater's version and the start of the image's SHA-256 digest", async () => {
    const test = await startServer(buildFolder("test"));
    const site = await startServer(buildFolder("site"));
    const context = await session.browser.createBrowserContext();
    try {
      const digest = crypto.createHash("sha256").update(standinImage()).digest("hex").slice(0, 12);
      const withImage = await context.newPage();
      await withImage.goto(test.url + "test.html", { waitUntil: "load" });
      await waitForState(withImage, "idle");
      const about = await withImage.$eval("#about", (e) => e.textContent);
      assert.equal(about, textsFor("en").text(N.IDS_PAGE_BUILD).replace("%s", "3.0.0").replace("%s", digest));
      await withImage.close();
      const without = await context.newPage();
      await without.goto(site.url + "index.html", { waitUntil: "load" });
      await waitForState(without, "idle");
      assert.equal(await without.$eval("#about", (e) => e.textContent),
        textsFor("en").text(N.IDS_PAGE_BUILD_NO_IMAGE).replace("%s", "3.0.0"));
    } finally {
      await context.close();
      await test.close();
      await site.close();
    }
  });
});
