// The product page as the build delivers it: no emulator in it, a clear
// message in a browser without WebHID, a web app manifest the browser
// accepts, a service worker that lists every file of its folder, and the
// updater opening again with the network gone after one visit.
import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import {
  WINDOW_TITLE,
  OK,
  N,
  answer,
  buildFolder,
  instrumentPage,
  launchBrowser,
  LIMIT_MS,
  listFiles,
  openPage,
  plugAndWaitForReady,
  publishedCopy,
  screenshot,
  seen,
  servesNextVersion,
  suite,
  textsFor,
  unitLog,
  view,
  waitFor,
  waitForBox,
  waitForState,
  within,
} from "./harness.mjs";
import { MIME_TYPES, startServer } from "./server.mjs";
import { until } from "../wait.mjs";

// The FILES of a stamped sw.js: each file's name with its SHA-256 digest.
function workerFiles(folder) {
  const source = fs.readFileSync(path.join(folder, "sw.js"), "utf8");
  const match = /const FILES = (\{[^}]*\});/.exec(source);
  assert.ok(match, "sw.js holds its FILES");
  return JSON.parse(match[1].replace(/,\s*\}$/, "}"));
}

// Width and height from a PNG's IHDR.
function pngSize(file) {
  const bytes = fs.readFileSync(file);
  assert.equal(bytes.subarray(1, 4).toString("latin1"), "PNG", `${file} is a PNG`);
  return `${bytes.readUInt32BE(16)}x${bytes.readUInt32BE(20)}`;
}

// Waits until the page's state is one of `names`, also while the page is
// still on its way from a blank window to the updater; returns the state.
async function stateAcrossLoads(page, names) {
  await waitFor(page, (wanted) => wanted.includes(document.documentElement?.dataset.state), names);
  return page.evaluate(() => document.documentElement.dataset.state);
}

// The tests' page at `url` in a window that a page of `site` (an address
// ending in "/") opened with window.open, the emulated unit plugged in and
// granted.
// A blank window of the opener comes first, so that the unit is set up
// before the updater's scripts run; the opener then loads the updater into
// it by name.
async function openedBy(context, site, url) {
  const opener = await context.newPage();
  await opener.goto(site + "site/manifest.webmanifest");
  const popupOpened = new Promise((resolve) => opener.once("popup", resolve));
  await opener.evaluate(() => {
    window.open("about:blank", "updater");
  });
  const updater = await popupOpened;
  await updater.evaluateOnNewDocument(() => {
    window.orvantoEmulatorSetup = { unit: { productId: 2 }, granted: true };
  });
  await instrumentPage(updater);
  await opener.evaluate((address) => {
    window.open(address, "updater");
  }, url);
  return { opener, updater };
}

// Puts the emulated unit of the tests' folder under the product page: its
// scripts go into index.html before the page's own, as in test.html, and its
// files are served from test/emulator. The service worker is bypassed, so
// that every request meets this.
async function withEmulatedUnit(page) {
  const emulator = path.join(buildFolder("test"), "emulator");
  const head = '<script src="emulator/emulator.js"></script>\n' +
    '<script type="module" src="emulator/unit-bridge.js" data-time-scale="1"></script>\n';
  await page.setBypassServiceWorker(true);
  await page.setRequestInterception(true);
  page.on("request", async (request) => {
    const url = new URL(request.url());
    if (url.pathname === "/index.html") {
      const html = await (await fetch(url)).text();
      const at = html.indexOf("<script");
      assert.ok(at > 0, "index.html has scripts");
      await request.respond({ status: 200, contentType: MIME_TYPES[".html"], body: html.slice(0, at) + head + html.slice(at) });
    } else if (url.pathname.startsWith("/emulator/")) {
      const file = path.join(emulator, path.basename(url.pathname));
      await request.respond({ status: 200, contentType: MIME_TYPES[path.extname(file)], body: fs.readFileSync(file) });
    } else {
      await request.continue();
    }
  });
}

describe("the folders the build makes", () => {
  // The worker pre-caches exactly the files of its folder, each with the
  // digest of the file the build made: catches a stamp that ran before the
  // last file was copied or changed (that file would be missing offline, or
  // refused by every install) or a list that names a file that is not there.
  for (const name of ["site", "demo", "test"]) {
    it(`${name}/sw.js pre-caches every file of ${name}/ but itself, with its digest`, () => {
      const folder = buildFolder(name);
      const files = listFiles(folder).filter((file) => file !== "sw.js" && file !== "release.json" &&
        !file.split("/").some((p) => p.startsWith(".")));
      const recorded = workerFiles(folder);
      assert.deepEqual(Object.keys(recorded), files);
      for (const file of files) {
        const digest = crypto.createHash("sha256").update(fs.readFileSync(path.join(folder, file))).digest("hex");
        assert.equal(recorded[file], digest, `the digest of ${name}/${file}`);
      }
    });
  }

  // The product page must never carry the emulator or the stand-in image:
  // catches a build that copies the demo's files into site/.
  it("site/ holds no emulator, no test or demo page and no stand-in image", () => {
    const files = listFiles(buildFolder("site"));
    assert.deepEqual(files.filter((f) => /emulator|standin|bridge|panel|demo|test\.html|STANDIN/i.test(f)), []);
    for (const file of files.filter((f) => /\.(js|html|wasm)$/.test(f))) {
      const content = fs.readFileSync(path.join(buildFolder("site"), file));
      assert.equal(content.includes("STAND-IN NOT FW!"), false, `${file} carries the stand-in image`);
      assert.equal(content.includes("orvantoEmulator"), false, `${file} carries the emulator hooks`);
    }
  });

  // The manifest's icons are there at the sizes it states: catches an icon
  // missing from the folder or drawn at another size (the browser would
  // refuse the install).
  it("site/ has the manifest's icons at their stated sizes", () => {
    const folder = buildFolder("site");
    const manifest = JSON.parse(fs.readFileSync(path.join(folder, "manifest.webmanifest"), "utf8"));
    assert.equal(manifest.name, "VESTORA ORVANTO FW Updater");
    assert.ok(manifest.icons.some((i) => i.purpose === "maskable"));
    for (const icon of manifest.icons) {
      assert.equal(pngSize(path.join(folder, icon.src)), icon.sizes, icon.src);
    }
  });
});

for (const language of ["en", "de"]) {
  describe(`the product page (${language})`, () => {
    let s;
    before(async () => {
      s = await suite({ language, folder: "site" });
    });
    after(async () => {
      await s?.close();
    });

    // No WebHID (Firefox, Safari, a phone): catches a page that stays
    // blank or half-started instead of saying which browsers work.
    it("names the browsers that work and the Windows program when WebHID is missing", async () => {
      const page = await openPage(s.session, s.url("index.html"), { withoutHid: true });
      try {
        assert.equal(await waitForState(page, "unsupported"), "unsupported");
        const shown = await view(page);
        assert.equal(shown.unsupportedShown, true);
        const message = await page.$eval("#unsupported", (e) => e.textContent);
        for (const word of ["Chrome", "Edge", "Opera", "Windows"]) {
          assert.ok(message.includes(word), `the message names ${word}: ${message}`);
        }
        assert.equal(await page.$eval("#update", (e) => e.checkVisibility()), false, "no Update button");
        await screenshot(page, `${language}-unsupported`);
      } finally {
        await page.closeContext();
      }
    });

    // The product page as built without a firmware image, with the emulated
    // unit put under it (the product page itself never carries it): catches
    // an updater that starts writing with nothing to write, which would
    // leave the ESC erased.
    it("refuses Update without a firmware image before anything is sent", async () => {
      const t = textsFor(language);
      const page = await openPage(s.session, s.url("index.html"), { prepare: withEmulatedUnit });
      try {
        await plugAndWaitForReady(page);
        const sentBefore = (await unitLog(page)).length;
        await page.click("#update");
        const box = await waitForBox(page, 1);
        assert.equal(box.caption, t.text(N.IDS_UPDATE_FAILED_CAPTION));
        assert.equal(box.text, t.text(N.IDS_NO_FIRMWARE));
        assert.equal(box.icon, "error");
        await screenshot(page, `${language}-product-no-image`);
        await answer(page, OK);
        await waitForState(page, "idle");
        assert.equal((await unitLog(page)).length, sentBefore, "nothing was sent to the unit");
        assert.equal((await seen(page)).boxes.length, 1, "no confirmation was asked");
      } finally {
        await page.closeContext();
      }
    });

    // The product page's first view, with WebHID and no unit granted:
    // catches a product page that depends on anything of the emulator.
    it("opens with the request button and the no-unit hint", async () => {
      const page = await openPage(s.session, s.url("index.html"));
      try {
        const shown = await view(page);
        assert.equal(shown.state, "idle");
        assert.equal(shown.requestShown, true);
        assert.equal(shown.hint, textsFor(language).waiting(N.IDS_NO_UNIT_FOUND));
        assert.equal(await page.evaluate(() => "orvantoEmulator" in window), false);
        await screenshot(page, `${language}-product-no-unit`);
      } finally {
        await page.closeContext();
      }
    });
  });
}

describe("the product page as an installed app", () => {
  // The browser's own reading of the manifest: catches a manifest that is
  // not linked, not served as a manifest, or that the browser rejects.
  it("has a web app manifest that Chromium reads without errors", async () => {
    const s = await suite({ folder: "site" });
    try {
      const page = await openPage(s.session, s.url("index.html"));
      const cdp = await page.createCDPSession();
      const manifest = await cdp.send("Page.getAppManifest");
      assert.ok(manifest.url.endsWith("/manifest.webmanifest"), `manifest at ${manifest.url}`);
      assert.deepEqual(manifest.errors, []);
      const response = await fetch(s.url("manifest.webmanifest"));
      assert.equal(response.headers.get("content-type"), "application/manifest+json");
      await page.closeContext();
    } finally {
      await s.close();
    }
  });

  // A new version of the page: catches a worker whose cache name does not
  // change with the files (the old page would be served for ever), and an
  // activation that keeps the old cache (or deletes the new one).
  it("replaces the cached page and deletes the old cache when a new version is served", async () => {
    const copy = await publishedCopy("site");
    const server = copy.server;
    const session = await launchBrowser();
    const context = await session.browser.createBrowserContext();
    const visit = async () => {
      const page = await context.newPage();
      await page.goto(server.url + "index.html");
      await waitFor(page, () => navigator.serviceWorker?.controller?.state === "activated");
      return page;
    };
    const cacheNames = (page) => page.evaluate(() => caches.keys());
    try {
      const first = await visit();
      const before = await cacheNames(first);
      assert.equal(before.length, 1);
      await first.close();

      copy.publishNext();
      // The next visit is still served by the old worker; it finds the new
      // one, which waits until no page of the old version is open, or
      // which that page, its program not yet started, loads at once (the
      // old cache then goes): either way the new worker is the next one.
      const second = await visit();
      await waitFor(second, async (old) => (await navigator.serviceWorker.getRegistration())?.waiting !== null ||
        !(await caches.keys()).includes(old), before[0]);
      await second.close();

      const third = await visit();
      const after = await cacheNames(third);
      assert.equal(after.length, 1, `one cache left: ${after}`);
      assert.notEqual(after[0], before[0]);
      assert.ok(await servesNextVersion(third), "the new file is served");
      await third.close();
    } finally {
      await context.close();
      await session.close();
      await copy.close();
    }
  });

  // After one visit, with the server gone: catches a worker that is not
  // registered, caches too little (the wasm, the texts) or serves nothing
  // offline.
  it("opens again without a network after one visit", async () => {
    const server = await startServer(buildFolder("site"));
    const session = await launchBrowser();
    try {
      const page = await openPage(session, server.url + "index.html");
      await waitFor(page, () => navigator.serviceWorker?.controller?.state === "activated");
      const cached = await page.evaluate(async () => {
        let count = 0;
        for (const name of await caches.keys()) {
          count += (await (await caches.open(name)).keys()).length;
        }
        return count;
      });
      assert.ok(cached > 5, `${cached} files cached`);
      await server.close();
      assert.equal(await fetch(server.url).then(() => "reachable", () => "gone"), "gone");
      await page.reload({ waitUntil: "load" });
      await waitForState(page, "idle");
      const shown = await view(page);
      assert.equal(shown.hint, textsFor("en").waiting(N.IDS_NO_UNIT_FOUND));
      assert.equal(shown.title, WINDOW_TITLE);
      await screenshot(page, "en-offline");
      // The installed app starts at the folder itself (start_url ".").
      await page.goto(server.url, { waitUntil: "load" });
      await waitForState(page, "idle");
      assert.equal((await view(page)).hint, textsFor("en").waiting(N.IDS_NO_UNIT_FOUND));
      await page.closeContext();
    } finally {
      await session.close();
      await server.close();
    }
  });
});

describe("while an update runs", () => {
  let s;
  before(async () => {
    s = await suite({ language: "en" });
  });
  after(async () => {
    await s?.close();
  });

  // Leaving or reloading the page mid-update would leave the ESC half
  // written, and a computer that falls asleep stops the update: catches a
  // page that does not ask before it is left, does not keep the screen
  // awake, or keeps doing either after the update.
  it("asks before the page is left and keeps the screen awake, and lets go of both afterwards", async () => {
    const page = await openPage(s.session, s.url("test.html"), {
      prepare: (p) => p.evaluateOnNewDocument(() => {
        // The browser's wake lock, recorded (headless has no screen to keep on).
        window.__wakeLocks = { requested: 0, released: 0 };
        const lock = () => {
          const target = new EventTarget();
          target.type = "screen";
          target.released = false;
          target.release = async () => {
            if (!target.released) {
              target.released = true;
              window.__wakeLocks.released += 1;
              target.dispatchEvent(new Event("release"));
            }
          };
          return target;
        };
        Object.defineProperty(navigator, "wakeLock", {
          value: { request: async () => { window.__wakeLocks.requested += 1; return lock(); } },
        });
      }),
    });
    try {
      const leaving = () => page.evaluate(() => {
        const event = new Event("beforeunload", { cancelable: true });
        window.dispatchEvent(event);
        return event.defaultPrevented;
      });
      await plugAndWaitForReady(page);
      assert.equal(await leaving(), false, "leaving is not asked about while ready");
      await page.click("#update");
      await waitForBox(page, 1);
      await answer(page, OK);
      await waitFor(page, () => Number(document.getElementById("progress-bar")?.getAttribute("value")) >= 10);
      assert.equal(await leaving(), true, "leaving is asked about during the update");
      assert.deepEqual(await page.evaluate(() => window.__wakeLocks), { requested: 1, released: 0 });
      await waitForState(page, "idle");
      assert.equal((await view(page)).hint, s.texts.text(N.IDS_UPDATE_SUCCEEDED));
      assert.equal(await leaving(), false, "leaving is not asked about after the update");
      assert.deepEqual(await page.evaluate(() => window.__wakeLocks), { requested: 1, released: 1 });
    } finally {
      await page.closeContext();
    }
  });
});

describe("where the updater runs", () => {
  let session;
  let server;
  // The whole build on one server: the product page, the demo and the tests'
  // page share one origin, as they would on one site.
  before(async () => {
    server = await startServer(buildFolder("site").replace(/[\\/]site$/, ""));
    session = await launchBrowser();
  });
  after(async () => {
    await session?.close();
    await server?.close();
  });

  // In a frame of another site that allows it WebHID, the page could be
  // laid under that site's content and clicked blindly, and it escaped the
  // one-updater lock. Catches a framed page that shows its main view or
  // touches a device.
  it("refuses to run inside another site's frame and touches no device", async () => {
    const context = await session.browser.createBrowserContext();
    try {
      const page = await context.newPage();
      await page.evaluateOnNewDocument(() => {
        window.orvantoEmulatorSetup = { unit: { productId: 2 }, granted: true };
      });
      // Another site: the same server under another name (a page on the
      // public internet may not frame one on 127.0.0.1 at all).
      await page.goto(`http://localhost:${server.port}/site/manifest.webmanifest`);
      await page.setContent(`<iframe allow="hid" width="800" height="600" src="${server.url}test/test.html"></iframe>`);
      const frame = await (await page.waitForSelector("iframe")).contentFrame();
      await frame.waitForFunction(() => document.documentElement.dataset.state === "framed",
        { polling: 100, timeout: 30000 });
      await frame.evaluate(() => window.orvantoEmulator.ready);
      const shown = await frame.evaluate(() => ({
        framed: document.getElementById("framed").textContent.trim(),
        main: document.getElementById("updater").checkVisibility(),
        plugged: window.orvantoEmulator.state().plugged,
        opened: window.orvantoEmulator.state().opened,
      }));
      assert.equal(shown.framed, textsFor("en").text(N.IDS_PAGE_FRAMED));
      assert.equal(shown.main, false, "the main view is not shown");
      assert.equal(shown.plugged, true, "a granted unit was there to be taken");
      assert.deepEqual(await frame.evaluate(() => window.orvantoEmulator.log()), [], "nothing was sent");
      assert.equal(shown.opened, false, "the unit was not opened");
    } finally {
      await context.close();
    }
  });

  // A page that opened the updater (window.open) on a host that sends no
  // Cross-Origin-Opener-Policy keeps a hold on its window and could close
  // it after the purge, leaving the ESC erased; so can a page of another
  // site through any page of the updater's own site that then stands in
  // the opener's window. Catches a page that runs there (opened by another
  // site, or by its own), touches the unit, takes the site's lock or keeps
  // the window's name (by which other pages find the window); and one that
  // refuses more than that: the link to a tab of its own (no opener) runs.
  for (const language of ["en", "de"]) {
    it(`refuses to run in a window that another site opened and touches no device; also where its own site opened it, and forgets its window's name; a tab of its own runs (${language})`, async () => {
      const browser = language === "en" ? session : await launchBrowser({ language });
      const t = textsFor(language);
      const context = await browser.browser.createBrowserContext();
      try {
        // Another site: the same server under another name.
        const { updater } = await openedBy(context, `http://localhost:${server.port}/`, server.url + "test/test.html");
        await updater.setViewport({ width: 900, height: 700 });
        assert.equal(await stateAcrossLoads(updater, ["foreign-opener", "idle", "busy"]), "foreign-opener");
        await updater.evaluate(() => window.orvantoEmulator.ready);
        const shown = await updater.evaluate(async () => ({
          text: document.querySelector("#foreign-opener p").textContent.trim(),
          link: document.getElementById("open-own-tab").textContent.trim(),
          main: document.getElementById("updater").checkVisibility(),
          loading: document.getElementById("loading").checkVisibility(),
          hint: document.getElementById("hint").textContent,
          name: window.name,
          locks: (await navigator.locks.query()).held.length,
          plugged: window.orvantoEmulator.state().plugged,
          opened: window.orvantoEmulator.state().opened,
          log: window.orvantoEmulator.log().length,
        }));
        await screenshot(updater, `${language}-foreign-opener`);
        assert.deepEqual(shown, {
          text: t.text(N.IDS_PAGE_FOREIGN_OPENER),
          link: t.text(N.IDS_PAGE_OPEN_OWN_TAB),
          main: false,
          loading: false,
          hint: "",
          name: "",
          locks: 0,
          plugged: true,
          opened: false,
          log: 0,
        }, "the page shows its refusal, forgot its window's name, started no program, took no lock, and the granted unit was neither opened nor sent anything");

        // The link opens the updater in a tab of its own, without an opener.
        const before = new Set(context.targets());
        await updater.click("#open-own-tab");
        const ownTab = await (await context.waitForTarget((target) =>
          target.type() === "page" && !before.has(target) && target.url().endsWith("/test/test.html"))).page();
        assert.equal(await stateAcrossLoads(ownTab, ["idle", "foreign-opener"]), "idle", "the updater runs in its own tab");
        assert.equal(await ownTab.evaluate(() => window.opener), null);
        await ownTab.close();

        // Nor does it run where a page of its own site opened it.
        const { updater: ownWindow } = await openedBy(context, server.url, server.url + "test/test.html");
        assert.equal(await stateAcrossLoads(ownWindow, ["foreign-opener", "idle", "busy"]), "foreign-opener");
      } finally {
        await context.close();
        if (browser !== session) {
          await browser.close();
        }
      }
    });
  }

  // Another site opens the updater from a frame of its own, or from a
  // window in between, and then sends that frame or window to any page of
  // the updater's site (a 404 will do) before the updater starts: the
  // updater saw an opener of its own origin, ran, and could be closed by
  // that site in the middle of an update. Catches a page that judges its
  // opener by the origin it shows.
  for (const through of ["a frame", "a window in between"]) {
    it(`refuses to run in a window that another site opened through ${through} since sent to the updater's site`, async () => {
      const context = await session.browser.createBrowserContext();
      try {
        // Another site: the same server under another name.
        const elsewhere = `http://localhost:${server.port}/site/manifest.webmanifest`;
        const away = server.url + "no-such-page";
        const other = await context.newPage();
        await other.goto(elsewhere);
        let opener;
        let sendAway;
        if (through === "a frame") {
          await other.setContent(`<iframe src="${elsewhere}"></iframe>`);
          opener = await (await other.waitForSelector("iframe")).contentFrame();
          sendAway = () => other.evaluate((url) => {
            document.querySelector("iframe").src = url;
          }, away);
        } else {
          const relayed = new Promise((resolve) => other.once("popup", resolve));
          await other.evaluate((url) => {
            window.relay = window.open(url, "relay");
          }, elsewhere);
          opener = (await relayed).mainFrame();
          sendAway = () => other.evaluate((url) => {
            window.relay.location.href = url;
          }, away);
        }
        await opener.waitForFunction(() => document.readyState === "complete");
        // The opener opens a blank window and hands it to the other site's
        // page, which sends the opener away and then loads the updater.
        const opened = new Promise((resolve) => context.once("targetcreated", (target) => resolve(target.page())));
        await opener.evaluate(() => {
          (window.opener || window.top).held = window.open("about:blank", "updater");
        });
        const updater = await opened;
        await updater.evaluateOnNewDocument(() => {
          window.orvantoEmulatorSetup = { unit: { productId: 2 }, granted: true };
        });
        await instrumentPage(updater);
        await sendAway();
        await until(() => context.targets().some((target) => target.url() === away) ||
          other.frames().some((frame) => frame.url() === away), LIMIT_MS, "the opener did not go to the updater's site");
        await other.evaluate((url) => {
          window.held.location.href = url;
        }, server.url + "test/test.html");
        assert.equal(await stateAcrossLoads(updater, ["foreign-opener", "idle", "busy"]), "foreign-opener");
        assert.deepEqual(await updater.evaluate(() => ({
          opener: window.opener.location.origin === location.origin,
          log: window.orvantoEmulator.log().length,
          opened: window.orvantoEmulator.state().opened,
        })), { opener: true, log: 0, opened: false }, "its opener of its own origin now, the unit neither opened nor sent anything");
      } finally {
        await context.close();
      }
    });
  }

  // The loading view says that the page could not be loaded when its
  // scripts never run (tests/web/nginx.test.mjs: a release uploaded in
  // the wrong order). Catches that text showing while the scripts run and
  // only the program (updater.wasm) is slow to come: an owner on a slow
  // line would be told to reload a page that is loading.
  it("does not say that the page could not be loaded while only the program is slow to come", async () => {
    let held = null;
    let wasmAsked;
    const asked = new Promise((resolve) => {
      wasmAsked = resolve;
    });
    const page = await openPage(session, server.url + "site/index.html", {
      settle: false,
      prepare: async (p) => {
        // CSS time 100 times faster (the browser's control of animation
        // time, which its developer tools use): the text's delay passes
        // in a tenth of a second.
        const cdp = await p.createCDPSession();
        await cdp.send("Animation.enable");
        await cdp.send("Animation.setPlaybackRate", { playbackRate: 100 });
        await p.setRequestInterception(true);
        p.on("request", (request) => {
          if (held === null && /\/updater\.[0-9a-f]{16}\.wasm$/.test(request.url())) {
            held = request;
            wasmAsked();
          } else {
            request.continue();
          }
        });
      },
    });
    try {
      // The page's scripts run: they ask for the program.
      await within(asked, LIMIT_MS, "the page did not ask for updater.wasm");
      await waitFor(page, () => document.querySelector('link[rel="stylesheet"]').sheet !== null);
      const from = await page.evaluate(() => new Promise((resolve) =>
        requestAnimationFrame(() => requestAnimationFrame(() => resolve(document.timeline.currentTime)))));
      await waitFor(page, (t) => document.timeline.currentTime > t + 10000, from);
      assert.deepEqual(await page.evaluate(() => ({
        state: document.documentElement.dataset.state,
        loading: document.getElementById("loading").checkVisibility(),
        text: document.getElementById("loading-stalled").checkVisibility({ visibilityProperty: true }),
      })), { state: "starting", loading: true, text: false });
      held.continue();
      assert.equal(await waitForState(page, ["idle", "ended"]), "idle");
    } finally {
      await page.closeContext();
    }
  });

  // One lock for every page of the site that can open a unit: catches a
  // lock per folder, under which the product page and the demo (or an
  // installed window of either) would both open the unit.
  it("lets the product page wait while the tests' page of the same site runs", async () => {
    const context = await session.browser.createBrowserContext();
    try {
      const first = await context.newPage();
      await first.goto(server.url + "test/test.html", { waitUntil: "load" });
      await waitForState(first, "idle");
      const second = await context.newPage();
      await second.goto(server.url + "site/index.html", { waitUntil: "load" });
      await waitFor(second, () => document.getElementById("another-instance")?.hidden === false);
      assert.equal(await second.evaluate(() => document.documentElement.dataset.state), "starting");
      await first.bringToFront();
      await first.click("#close");
      await waitForState(first, "ended");
      await waitForState(second, "idle");
    } finally {
      await context.close();
    }
  });
});
