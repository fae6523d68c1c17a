// What the page's tests on this machine share: where the build is, the
// expected texts (read from res/, the one source of every text), pages of
// the updater opened in Debian's Chromium with browser.mjs's observer, the
// emulated unit behind the stand-in WebHID, servers and published copies.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

import { LIMIT_MS, answer, instrumentPage, launchBrowser, seen, view, waitFor, waitForBox, waitForState } from "./browser.mjs";
import { startServer } from "./server.mjs";
import { textsFor as textsOf } from "./texts.mjs";

// The browser, the page observer and the waits, for every browser test.
export * from "./browser.mjs";

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
// The web build to test: build/web, or the folder named by ORVANTO_WEB_BUILD.
export const BUILD = path.resolve(ROOT, process.env.ORVANTO_WEB_BUILD || "build/web");
export const SCREENSHOTS = path.join(BUILD, "screenshots");
// The numbers the tests share with the program, by their C++ names (made
// from the C++ headers by the web build): N.IDS_READY, N.LINK_READ_FAILED,
// N.PLATFORM_ERROR_TIMEOUT, ...
export const N = Object.freeze({ ...(await import(pathToFileURL(path.join(BUILD, "generated", "web", "names.mjs")).href)) });
export const STANDIN_IMAGE = path.join(BUILD, "generated", "orvanto-3.0-STANDIN-not-firmware.bin");

// Box answers as the page marks them: MessageBoxW's.
export const OK = N.ANSWER_OK;
export const CANCEL = N.ANSWER_CANCEL;
export const YES = N.ANSWER_YES;
export const NO = N.ANSWER_NO;

// ---------------------------------------------------------------- texts

export { WINDOW_TITLE, pageText } from "./texts.mjs";

// The texts in `language`, as tests/web/texts.mjs reads them from res/.
export function textsFor(language) {
  return textsOf(language, N);
}

// ---------------------------------------------------------------- the build

export function buildFolder(name) {
  const folder = path.join(BUILD, name);
  if (!fs.existsSync(folder)) {
    throw new Error(`${folder} is missing: build the web preset first (tools/test-web.sh does)`);
  }
  return folder;
}

export function standinImage() {
  return fs.readFileSync(STANDIN_IMAGE);
}

// ---------------------------------------------------------------- the page

// Opens url in a fresh browser context (its own grants, storage and service
// workers) and waits until the page has shown its first complete view.
// Options: withoutHid (navigator.hid removed before the page runs), prepare
// (called with the page before it loads), settle (false: return once the
// page has loaded, for a first view that waits for a box to be answered).
export async function openPage(session, url, { withoutHid = false, prepare = null, settle = true } = {}) {
  const context = await session.browser.createBrowserContext();
  const page = await context.newPage();
  if (prepare) {
    await prepare(page);
  }
  await page.setViewport({ width: 900, height: 860 });
  page.setDefaultTimeout(LIMIT_MS);
  await instrumentPage(page);
  if (withoutHid) {
    await page.evaluateOnNewDocument(() => {
      delete Navigator.prototype.hid;
      delete navigator.hid;
    });
  }
  page.closeContext = () => context.close();
  await page.goto(url, { waitUntil: "load" });
  if (settle) {
    await waitForState(page, ["idle", "busy", "ended", "unsupported", "framed", "no-lock"]);
  }
  return page;
}

// "rgb(r, g, b)" is red when red clearly outweighs green and blue.
export function isRed(colour) {
  const [r, g, b] = (colour.match(/\d+/g) || []).map(Number);
  return r >= 128 && g < r / 2 && b < r / 2;
}

// Runs an update from Ready to its failure box, with `fault` armed first
// (if given): Update, OK at the confirmation, and the failure box, which is
// returned as it opened and left open.
export async function updateToFailureBox(page, fault = null) {
  if (fault) {
    await armFault(page, fault);
  }
  const boxes = (await seen(page)).boxes.length;
  await page.click("#update");
  await waitForBox(page, boxes + 1);
  await answer(page, OK);
  return waitForBox(page, boxes + 2);
}

export async function screenshot(page, name) {
  fs.mkdirSync(SCREENSHOTS, { recursive: true });
  await page.screenshot({ path: path.join(SCREENSHOTS, `${name}.png`), fullPage: true });
}

// ---------------------------------------------------------------- the emulator

export async function emulatorReady(page) {
  await page.waitForFunction(() => window.orvantoEmulator !== undefined, { polling: 100, timeout: LIMIT_MS });
  await page.evaluate(() => window.orvantoEmulator.ready);
}

export async function plug(page, settings = {}) {
  await emulatorReady(page);
  // What the settings leave out is the demo's default unit, as the emulator
  // defines it.
  await page.evaluate((s) => window.orvantoEmulator.plug(s), settings);
}

// Plugs a unit and lets the user choose it in the browser's chooser: the
// request button is clicked, as only a click may open the chooser (the
// stand-in's chooser picks the first unit that matches the page's filters).
export async function plugAndChoose(page, settings = {}) {
  await plug(page, settings);
  await page.click("#request-unit");
}

export async function plugAndWaitForReady(page, settings = {}) {
  await plugAndChoose(page, settings);
  await waitFor(page, () => document.getElementById("update")?.disabled === false);
  await waitForState(page, "idle");
}

export async function armFault(page, fault) {
  await page.evaluate((f) => window.orvantoEmulator.armFault(f), fault);
}

// The emulated unit's log, each entry {fromHost, timeMs, bytes: number[]
// with the report ID first}.
export async function unitLog(page) {
  return page.evaluate(() =>
    window.orvantoEmulator.log().map((entry) => ({
      fromHost: entry.fromHost,
      timeMs: entry.timeMs,
      bytes: Array.from(entry.bytes),
    })));
}

export async function flash(page) {
  const encoded = await page.evaluate(() => {
    const bytes = window.orvantoEmulator.flash();
    let binary = "";
    for (let i = 0; i < bytes.length; i += 0x8000) {
      binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    }
    return btoa(binary);
  });
  return Buffer.from(encoded, "base64");
}

// ---------------------------------------------------------------- a suite

// One browser and one server for a group of tests in one language; each
// test opens its own page in a fresh context with open(file, options)
// (openPage's options), and close() closes what is still open.
export async function suite({ language = "en", folder = "test" } = {}) {
  const server = await startServer(buildFolder(folder));
  let session;
  try {
    session = await launchBrowser({ language });
  } catch (error) {
    await server.close();
    throw error;
  }
  const pages = [];
  return {
    server,
    session,
    texts: textsFor(language),
    url: (file) => server.url + file,
    async open(file, options) {
      const page = await openPage(session, server.url + file, options);
      pages.push(page);
      return page;
    },
    async close() {
      for (const page of pages) {
        await page.closeContext().catch(() => {});
      }
      try {
        await session.close();
      } finally {
        await server.close();
      }
    },
  };
}

// The names of the folder's files, relative to it, "/" between folders.
export function listFiles(folder) {
  const out = [];
  const walk = (dir, prefix) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true }).sort((a, b) => (a.name < b.name ? -1 : 1))) {
      const name = prefix + entry.name;
      if (entry.isDirectory()) {
        walk(path.join(dir, entry.name), name + "/");
      } else {
        out.push(name);
      }
    }
  };
  walk(folder, "");
  return out;
}

export function python(script, ...args) {
  return execFileSync("python3", [path.join(ROOT, "tools", script), ...args], { encoding: "utf8" });
}

// ---------------------------------------------------------------- releases

export const NEXT_VERSION_MARK = "/* the next version */\n";

// A copy of a build folder on a server of its own, from which a test can
// publish new versions as the build publishes them: the folder's files as
// the build put them together, changed, and published again (named by
// their content, sw.js stamped).
export async function publishedCopy(name = "test", { redirectIndex = false, cacheAs = "no-cache" } = {}) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), `orvanto-web-${name}-`));
  const assembled = path.join(work, "assembled");
  const folder = path.join(work, "served");
  fs.cpSync(path.join(BUILD, "assembled", name), assembled, { recursive: true });
  python("publish_web_folder.py", assembled, folder);
  const server = await startServer(folder, { redirectIndex, cacheAs });
  return {
    folder,
    server,
    url: (file) => server.url + file,
    // The next version: a changed file, published again.
    publishNext() {
      fs.appendFileSync(path.join(assembled, "styles.css"), NEXT_VERSION_MARK);
      python("publish_web_folder.py", assembled, folder);
    },
    // The name under which the served folder holds `file` now
    // ("page.js": "page.0123456789abcdef.js").
    servedName(file) {
      const dot = file.lastIndexOf(".");
      const pattern = new RegExp(`^${file.slice(0, dot)}\\.[0-9a-f]{16}\\${file.slice(dot)}$`);
      const found = fs.readdirSync(folder).filter((name) => pattern.test(name));
      assert.equal(found.length, 1, `one ${file} in ${folder}: ${found}`);
      return found[0];
    },
    async close() {
      await server.close();
      fs.rmSync(work, { recursive: true, force: true });
    },
  };
}

// Whether the page runs with the styles of the next version.
export function servesNextVersion(page) {
  return page.evaluate(async (mark) => {
    const styles = document.querySelector('link[rel="stylesheet"]').href;
    return (await (await fetch(styles)).text()).endsWith(mark);
  }, NEXT_VERSION_MARK);
}
