// Which version of the updater runs: a page of the previous version after a
// new one was published (it says so, starts no update and loads the new
// one), also when the release comes while a box of the update is open or
// the host rewrites the files, a new version that waits for an update
// running in another tab, an install that meets a file of another version,
// and the line that tells support which updater and which image a page
// carries.
import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import {
  CANCEL,
  OK,
  N,
  YES,
  answer,
  buildFolder,
  instrumentPage,
  launchBrowser,
  plugAndChoose,
  plugAndWaitForReady,
  publishedCopy,
  screenshot,
  servesNextVersion,
  seen,
  standinImage,
  textsFor,
  unitLog,
  waitFor,
  waitForBox,
  waitForHint,
  waitForState,
} from "./harness.mjs";
import { MIME_TYPES, startServer } from "./server.mjs";

// Plays `story` with a published copy of the tests' folder and a browser
// context of its own, and removes both afterwards.
async function withPublishedCopy(session, story, options = {}) {
  const copy = await publishedCopy("test", options);
  const context = await session.browser.createBrowserContext();
  try {
    await story(copy, context);
  } finally {
    await context.close();
    await copy.close();
  }
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

const noticeShown = (page) => page.$eval("#version-notice", (e) => !e.hidden && e.getClientRects().length > 0);

// A host in front of a published copy that, once told to, answers a file
// its own way: `host.answers[file]` a number is sent as an error status, a
// text as the file, a function answers by itself (request, response); any
// other file is the copy's.
async function hostInFront(copy) {
  const host = { answers: {} };
  const server = http.createServer((request, response) => {
    const file = new URL(request.url, "http://host").pathname.slice(1);
    const answer = host.answers[file];
    if (typeof answer === "function") {
      answer(request, response);
      return;
    }
    if (answer !== undefined) {
      const failed = typeof answer === "number";
      response.writeHead(failed ? answer : 200,
        { "Content-Type": failed ? "text/html" : MIME_TYPES[path.extname(file)], "Cache-Control": "no-cache" });
      response.end(failed ? "<h1>Internal Server Error</h1>" : answer);
      return;
    }
    const upstream = http.request(copy.url(request.url.slice(1)), { method: request.method, headers: request.headers },
      (reply) => {
        response.writeHead(reply.statusCode, reply.headers);
        reply.pipe(response);
      });
    upstream.on("error", () => response.destroy());
    request.pipe(upstream);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  host.port = server.address().port;
  host.url = (file) => `http://127.0.0.1:${host.port}/${file}`;
  host.close = () => new Promise((resolve) => {
    server.close(() => resolve());
    server.closeAllConnections();
  });
  return host;
}

// Plays `story` with a published copy behind hostInFront, the tests' page
// visited through the host and a unit Ready on it.
function withHostInFront(session, story) {
  return withPublishedCopy(session, async (copy, context) => {
    const host = await hostInFront(copy);
    try {
      const page = await visit(context, host.url("test.html"));
      await plugAndWaitForReady(page);
      await story(copy, host, page);
    } finally {
      await host.close();
    }
  });
}

// Waits until the page has acted on Update: the notice's button `id` has
// the focus, or a box has opened.
function noticeOrBox(page, id) {
  return waitFor(page, (button) => document.activeElement?.id === button || window.__seen.boxes.length > 0, id);
}

// Presses Update where the release checks are to refuse it: no update
// starts, nothing reaches the unit, and the notice shows `paragraph`
// ("newer": a newer version, "unreadable": load the page again).
async function updateRefused(page, paragraph) {
  const sentBefore = (await unitLog(page)).length;
  await page.click("#update");
  await noticeOrBox(page, paragraph === "newer" ? "load-new-version" : "reload-page");
  assert.equal((await seen(page)).boxes.length, 0, "no update was started");
  assert.equal((await unitLog(page)).length, sentBefore, "nothing was sent to the unit");
  assert.equal(await noticeShown(page), true);
  assert.equal(await page.$eval(`#version-notice-${paragraph}`, (e) => e.hidden), false);
}

// Answers the open box; returns how many reports the unit received from
// then until the program waits for the owner again.
async function reportsAfterAnswer(page, value) {
  const mark = (await unitLog(page)).length;
  await answer(page, value);
  await waitFor(page, () => !document.getElementById("message-box").open);
  await waitForState(page, "idle");
  return (await unitLog(page)).slice(mark).filter((entry) => entry.fromHost).length;
}

// sw.js as a host that minifies scripts serves it: no comment lines, no
// indentation, its FILES without a blank.
function minifyWorker(file) {
  const source = fs.readFileSync(file, "utf8");
  const minified = source.replace(/^\s*\/\/.*\n/gm, "").replace(/^\s+/gm, "")
    .replace(/const FILES = (\{[^}]*\});/, (_, files) => `const FILES=${JSON.stringify(JSON.parse(files.replace(/,\s*\}$/, "}")))};`);
  assert.ok(minified.includes("const FILES={\""), "the worker's FILES were rewritten");
  fs.writeFileSync(file, minified);
}

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
        await plugAndChoose(page);
        await waitForHint(page, t.text(N.IDS_READY));
        assert.equal(await page.$eval("#update", (e) => e.disabled), true, "Update is off under the notice");
        await screenshot(page, `${language}-new-version`);

        // Update cannot be pressed; pressed all the same, it starts nothing.
        const sentBefore = (await unitLog(page)).length;
        await page.$eval("#update", (e) => e.click());
        await page.$eval("#update", (e) => { e.disabled = false; e.click(); e.disabled = true; });
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

    // A half-finished deploy or a stale proxy: catches an install that caches
    // whatever the server returns, so that a mixed set of files would run as
    // the new version; the old one must go on working.
    it("fails the install on a file that is not of the new version, keeps the old one and says so", async () => {
      await withPublishedCopy(session, async (copy, context) => {
        const page = await visit(context, copy.url("test.html"));
        const cachesBefore = await page.evaluate(() => caches.keys());
        copy.publishNext();
        // The server then hands out a page.js that is not the stamped one.
        fs.appendFileSync(path.join(copy.folder, copy.servedName("page.js")), "\n// a stale copy\n");
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
        // The page says that the new version could not be loaded, and
        // starts no update with the one it replaces.
        await waitFor(page, () => !document.getElementById("version-notice-failed").hidden);
        assert.equal(await page.$eval("#version-notice-failed", (e) => e.textContent),
          t.text(N.IDS_PAGE_NEW_VERSION_FAILED));
        // Reloaded with a unit ready at start: Update stays off.
        await page.evaluateOnNewDocument(() => {
          window.orvantoEmulatorSetup = { unit: { productId: 2 }, granted: true };
        });
        await page.reload({ waitUntil: "load" });
        await waitForState(page, ["idle", "busy"]);
        assert.equal(await servesNextVersion(page), false, "the old version is served");
        await waitForHint(page, t.text(N.IDS_READY));
        await waitFor(page, () => !document.getElementById("version-notice").hidden);
        assert.equal(await page.$eval("#update", (e) => e.disabled), true, "Update stays off");
        await screenshot(page, `${language}-new-version-failed`);
      });
    });

    // A host that loses or rewrites release.json cannot be told from one
    // that publishes a release: catches a page that takes an answer it
    // cannot read (an error status, not JSON) for "no newer version", at
    // Update or at OK, and writes its image.
    it("starts no update while the server's release file cannot be read, and says to load the page again", async () => {
      await withHostInFront(session, async (copy, host, page) => {
        host.answers["release.json"] = 500;
        await updateRefused(page, "unreadable");
        assert.equal(await page.$eval("#version-notice-unreadable", (e) => e.textContent), t.text(N.IDS_PAGE_RELEASE_UNREADABLE));
        assert.equal(await page.$eval("#reload-page", (e) => e.textContent), t.text(N.IDS_PAGE_RELOAD_PAGE));
        assert.deepEqual(await page.$$eval("#version-notice p:not([hidden]), #version-notice button:not([hidden])",
          (shown) => shown.map((e) => e.id).filter((id) => id)), ["version-notice-unreadable", "reload-page"]);
        assert.equal(await page.$eval("#update", (e) => e.disabled), true, "Update is off under the notice");
        await screenshot(page, `${language}-release-unreadable`);

        // Loaded again while the file can be read: Update shows the
        // confirmation; an answer that is not JSON at OK stops it there.
        delete host.answers["release.json"];
        await page.evaluateOnNewDocument(() => {
          window.orvantoEmulatorSetup = { unit: { productId: 2 }, granted: true };
        });
        await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#reload-page")]);
        await waitForHint(page, t.text(N.IDS_READY));
        await waitForState(page, "idle");
        assert.equal(await noticeShown(page), false);
        await page.click("#update");
        await waitForBox(page, 1);
        host.answers["release.json"] = "<!doctype html><title>Page not found</title>";
        assert.equal(await reportsAfterAnswer(page, OK), 0, "nothing was sent to the unit after OK");
        assert.equal(await page.$eval("#version-notice-unreadable", (e) => e.hidden), false);
        assert.equal(await page.$eval("#update", (e) => e.disabled), true, "Update is off under the notice");
        assert.equal((await seen(page)).boxes.length, 1, "no box after the confirmation");
      });
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
  // that never takes over once the update has ended, also when the browser
  // stops the idle worker meanwhile (as Chromium stops a worker whose event
  // runs for minutes: a worker that waited for the update in its event
  // lost the request, and the tab stayed on its notice for ever).
  it("takes over only once the update in another tab has ended, the worker stopped meanwhile", async () => {
    await withPublishedCopy(session, async (copy, context) => {
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
      const devtools = await fresh.createCDPSession();
      await devtools.send("ServiceWorker.enable");
      await devtools.send("ServiceWorker.stopAllWorkers");

      await running.bringToFront();
      const reloaded = fresh.waitForNavigation({ waitUntil: "load" });
      await answer(running, CANCEL);
      await reloaded;
      assert.equal(await servesNextVersion(fresh), true, "the fresh tab runs the new version");
    });
  });

  // A host that sends no-cache for index.html and sw.js only, the other
  // files with their Last-Modified date (which browsers cache for a while
  // by themselves), and an owner who cleared the site's data but not the
  // browser's cache: the page then loaded with no worker in control, took
  // the previous release's files from the HTTP cache, and wrote the old
  // image. Catches a page whose files keep their names from release to
  // release.
  it("runs the new version after a release, its old files still in the HTTP cache and no worker in control", async () => {
    await withPublishedCopy(session, async (copy, context) => {
      const dayOld = () => {
        const then = new Date(Date.now() - 24 * 3600 * 1000);
        for (const name of fs.readdirSync(copy.folder, { recursive: true })) {
          fs.utimesSync(path.join(copy.folder, name), then, then);
        }
      };
      dayOld();
      const page = await visit(context, copy.url("test.html"));
      await waitForState(page, "idle");
      const devtools = await page.createCDPSession();
      await devtools.send("Storage.clearDataForOrigin", {
        origin: copy.server.url.replace(/\/$/, ""),
        storageTypes: "service_workers,cache_storage",
      });
      copy.publishNext();
      dayOld();
      // Whether a worker controlled the page as it loaded: the new worker
      // may take over moments later, once the page has registered it.
      await page.evaluateOnNewDocument(() => {
        window.controlledAtLoad = navigator.serviceWorker.controller !== null;
      });
      await page.reload({ waitUntil: "load" });
      await waitForState(page, "idle");
      assert.equal(await page.evaluate(() => window.controlledAtLoad), false, "no worker in control as the page loaded");
      assert.equal(await servesNextVersion(page), true, "the new version runs");
    }, { cacheAs: "last-modified" });
  });

  // A tab left open across a release: the browser looks for a new version
  // only when a page is loaded, so Update wrote the old image. Catches a
  // page that starts an update without asking the server, or whose Update
  // still looks enabled under the notice; and one that learns of a release
  // from the layout of a script, which a host that minifies scripts
  // changes (the page took the release for its own version).
  for (const minified of [false, true]) {
    it(`finds a version published while it was open when Update is pressed, and starts no update${minified ? " (sw.js minified by the host)" : ""}`, async () => {
      await withPublishedCopy(session, async (copy, context) => {
        const page = await visit(context, copy.url("test.html"));
        await plugAndWaitForReady(page);
        copy.publishNext();
        if (minified) {
          minifyWorker(path.join(copy.folder, "sw.js"));
        }
        await updateRefused(page, "newer");
        assert.equal(await page.$eval("#update", (e) => e.disabled), true, "Update is off under the notice");
        await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#load-new-version")]);
        await waitForState(page, ["idle", "busy"]);
        assert.equal(await servesNextVersion(page), true, "the new version runs after the reload");
      });
    });
  }

  // An answer that has begun is an answer: only a request that got none
  // (offline) lets the page go on with its own version. Catches a page
  // that takes a release file whose body comes after the limit, is cut
  // off, or is redirected to another origin (a site moved to a new domain;
  // the page's policy refuses the redirected request) for no answer, and
  // writes its image; and one that follows a redirect within the site (to
  // a copy of its own release: wherever it leads, it is not the file).
  const begunAnswers = {
    // The rest would come after the page has given up: here, never.
    "its body comes after the limit": () => (request, response) => {
      response.writeHead(200, { "Content-Type": "application/json", "Cache-Control": "no-cache" });
      response.flushHeaders();
    },
    "it is cut off": (release) => (request, response) => {
      response.writeHead(200, { "Content-Type": "application/json", "Content-Length": release.length });
      response.write(release.slice(0, release.length / 2), () => response.socket.end());
    },
    "it is redirected to another origin": (release, host) => (request, response) => {
      response.writeHead(301, { Location: `http://localhost:${host.port}/release.json` });
      response.end();
    },
    "it is redirected within the site": (release, host) => {
      host.answers["kept/release.json"] = release;
      return (request, response) => {
        response.writeHead(302, { Location: "/kept/release.json" });
        response.end();
      };
    },
  };
  for (const [how, answer] of Object.entries(begunAnswers)) {
    it(`starts no update when the release file's answer has begun but ${how}`, async () => {
      await withHostInFront(session, async (copy, host, page) => {
        host.answers["release.json"] = answer(fs.readFileSync(path.join(copy.folder, "release.json"), "utf8"), host);
        await updateRefused(page, "unreadable");
      });
    });
  }

  // A CDN that keeps the open tab's release.json while sw.js and every
  // other file are new, or hands out the tab's sw.js beside a release.json
  // that lists the files of two releases: catches a page that asks one
  // witness of a release only, or takes a list that holds its files among
  // others for its own release, and writes its old image (at Update, at
  // OK).
  it("starts no update when a stale release file stands beside a new sw.js", async () => {
    await withHostInFront(session, async (copy, host, page) => {
      host.answers["release.json"] = fs.readFileSync(path.join(copy.folder, "release.json"), "utf8");
      copy.publishNext();
      await updateRefused(page, "newer");
    });
  });
  it("starts no update at OK when the release file lists the files of two releases", async () => {
    await withHostInFront(session, async (copy, host, page) => {
      const read = (file) => fs.readFileSync(path.join(copy.folder, file), "utf8");
      const [before, worker] = [JSON.parse(read("release.json")), read("sw.js")];
      await page.click("#update");
      await waitForBox(page, 1);
      copy.publishNext();
      const after = JSON.parse(read("release.json"));
      host.answers["sw.js"] = worker;
      host.answers["release.json"] = JSON.stringify({ version: after.version, files: [...new Set([...before.files, ...after.files])] });
      assert.equal(await reportsAfterAnswer(page, OK), 0, "nothing was sent to the unit");
      assert.equal(await page.$eval("#version-notice-unreadable", (e) => e.hidden), false);
    });
  });

  // A box of the update may stay open for hours: a release published
  // meanwhile, found by the check on showing the tab again or by none, let
  // the answer write the old image. Catches a page that does not ask again
  // at OK and at Yes, or lets the answer through once it knows of a newer
  // version.
  for (const [box, shownAgain] of [["the confirmation", false], ["the version question", false], ["the confirmation", true]]) {
    it(`starts no update when a version is published while ${box} is open${shownAgain ? " and the tab is shown again" : ""}`, async () => {
      await withPublishedCopy(session, async (copy, context) => {
        const page = await visit(context, copy.url("test.html"));
        const question = box === "the version question";
        await plugAndWaitForReady(page, question ? { escVersion: 0x0300 } : {});
        await page.click("#update");
        await waitForBox(page, 1);
        if (question) {
          await answer(page, OK);
          await waitForBox(page, 2);
        }
        copy.publishNext();
        if (shownAgain) {
          await page.evaluate(() => document.dispatchEvent(new Event("visibilitychange")));
          await waitFor(page, () => !document.getElementById("version-notice").hidden);
        }
        assert.equal(await reportsAfterAnswer(page, question ? YES : OK), 0, "nothing was sent to the unit");
        assert.equal(await noticeShown(page), true);
        assert.equal(await page.$eval("#version-notice-newer", (e) => e.hidden), false);
        assert.equal(await page.$eval("#update", (e) => e.disabled), true, "Update is off under the notice");
        assert.equal((await seen(page)).boxes.length, question ? 2 : 1, "no box after the last answer");
        assert.equal(await servesNextVersion(page), false);
      });
    });
  }

  // Offline (or a server that does not answer) the page goes on with its
  // own version: catches a check at Update or at OK that holds the update
  // back for want of an answer.
  it("updates offline, the server gone after the page was loaded", async () => {
    await withPublishedCopy(session, async (copy, context) => {
      const page = await visit(context, copy.url("test.html"));
      await plugAndWaitForReady(page);
      await copy.server.close();
      await page.click("#update");
      await waitForBox(page, 1);
      assert.ok(await reportsAfterAnswer(page, OK) > 0, "the update ran");
      await waitForHint(page, textsFor("en").text(N.IDS_UPDATE_SUCCEEDED));
      assert.equal(await noticeShown(page), false);
    });
  });

  // The owner comes back to a tab left open for days: catches a page that
  // learns of a new version only when it is reloaded.
  it("finds a version published while it was hidden when it is shown again", async () => {
    await withPublishedCopy(session, async (copy, context) => {
      const page = await visit(context, copy.url("test.html"));
      await waitForState(page, "idle");
      copy.publishNext();
      await page.evaluate(() => document.dispatchEvent(new Event("visibilitychange")));
      await waitFor(page, () => !document.getElementById("version-notice").hidden);
      assert.equal(await page.$eval("#version-notice-newer", (e) => e.hidden), false);
    });
  });

  // Many static hosts send /index.html to /: the worker kept the
  // redirected response, which the browser refuses for a navigation, and
  // the page failed with a network error after the first visit. Catches
  // that, online and offline.
  it("works on a host that redirects index.html to its folder, online and offline", async () => {
    await withPublishedCopy(session, async (copy, context) => {
      const page = await visit(context, copy.url(""));
      await waitForState(page, "idle");
      // The page's files are to outlive storage pressure.
      assert.equal((await seen(page)).persistAsked, true, "persistent storage was asked for");
      for (const address of ["", "index.html"]) {
        await page.goto(copy.url(address), { waitUntil: "load" });
        await waitForState(page, "idle");
      }
      await copy.server.close();
      await page.reload({ waitUntil: "load" });
      await waitForState(page, "idle");
    }, { redirectIndex: true });
  });

  // The browser's storage can lose or spoil an entry: catches a worker that
  // serves a cached file without checking it, or fetches a missing one
  // unchecked.
  it("checks every file it serves from its cache, and fetches a lost or spoilt one again", async () => {
    await withPublishedCopy(session, async (copy, context) => {
      const page = await visit(context, copy.url("test.html"));
      const pageScript = copy.servedName("page.js");
      const texts = copy.servedName("texts.json");
      const spoil = () => page.evaluate(async (script, lost) => {
        const cache = await caches.open((await caches.keys())[0]);
        await cache.put(new URL(script, location.href).href, new Response("spoilt"));
        await cache.delete(new URL(lost, location.href).href);
      }, pageScript, texts);
      const cached = (file) => page.evaluate(async (name) => {
        const cache = await caches.open((await caches.keys())[0]);
        const response = await cache.match(new URL(name, location.href).href);
        return response ? response.text() : null;
      }, file);
      await spoil();
      await page.reload({ waitUntil: "load" });
      await waitForState(page, "idle");
      assert.equal(await cached(pageScript), fs.readFileSync(path.join(copy.folder, pageScript), "utf8"));
      assert.equal(await cached(texts), fs.readFileSync(path.join(copy.folder, texts), "utf8"));

      // Offline, a spoilt file is not served at all.
      await spoil();
      await copy.server.close();
      const outcome = await page.evaluate((script) => fetch(script).then(() => "served", () => "refused"), pageScript);
      assert.equal(outcome, "refused");
    });
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
