// What the browser tests share: where the build is, the expected texts (read
// from res/, the one source of every text), Debian's Chromium started and
// always stopped, and a page of the updater whose message boxes, progress
// positions and states are recorded as they happen.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { pathToFileURL } from "node:url";

import puppeteer from "puppeteer-core";

import { startServer } from "./server.mjs";
import { textsFor as textsOf } from "./texts.mjs";

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
// The web build to test: build/web, or the folder named by ORVANTO_WEB_BUILD.
export const BUILD = path.resolve(ROOT, process.env.ORVANTO_WEB_BUILD || "build/web");
export const CHROMIUM = process.env.ORVANTO_CHROMIUM || "/usr/bin/chromium";
export const SCREENSHOTS = path.join(BUILD, "screenshots");
// The numbers the tests share with the program, by their C++ names (made
// from the C++ headers by the web build): N.IDS_READY, N.LINK_READ_FAILED,
// N.PLATFORM_ERROR_TIMEOUT, ...
export const N = Object.freeze({ ...(await import(pathToFileURL(path.join(BUILD, "generated", "web", "names.mjs")).href)) });
export const STANDIN_IMAGE = path.join(BUILD, "generated", "orvanto-3.0-STANDIN-not-firmware.bin");

// A limit for conditions that come within a second or two when all is well;
// it only keeps a broken page from hanging the test run.
export const LIMIT_MS = 30000;

// Box answers as the page marks them: MessageBoxW's.
export const OK = N.ANSWER_OK;
export const CANCEL = N.ANSWER_CANCEL;
export const YES = N.ANSWER_YES;
export const NO = N.ANSWER_NO;

// ---------------------------------------------------------------- texts

export { pageText } from "./texts.mjs";

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

// ---------------------------------------------------------------- the browser

const running = new Set();
process.on("exit", () => {
  // A test that died half-way leaves no browser behind.
  for (const { process: child, dataDir } of running) {
    try {
      child?.kill("SIGKILL");
    } catch {}
    fs.rmSync(dataDir, { recursive: true, force: true });
  }
});

// Starts Chromium headless with a fresh, empty profile, in English or German
// (the browser's own language: navigator.language and Accept-Language).
// close() stops it and removes the profile.
export async function launchBrowser({ language = "en" } = {}) {
  const dataDir = fs.mkdtempSync(path.join(os.tmpdir(), "orvanto-web-profile-"));
  const locale = language === "de" ? "de-DE" : "en-US";
  const args = [
    "--disable-gpu",
    "--disable-dev-shm-usage",
    "--disable-quic",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    `--lang=${locale}`,
    `--accept-lang=${locale},${language}`,
  ];
  if (process.getuid?.() === 0) {
    args.push("--no-sandbox");
  }
  let browser;
  try {
    browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      userDataDir: dataDir,
      args,
      env: { ...process.env, LANG: `${locale.replace("-", "_")}.UTF-8`, LANGUAGE: locale.replace("-", "_") },
    });
  } catch (error) {
    fs.rmSync(dataDir, { recursive: true, force: true });
    throw new Error(`Chromium (${CHROMIUM}) did not start: ${error.message}`);
  }
  const entry = { process: browser.process(), dataDir };
  running.add(entry);
  return {
    browser,
    language,
    async close() {
      try {
        await browser.close();
      } catch {
        entry.process?.kill("SIGKILL");
      } finally {
        running.delete(entry);
        fs.rmSync(dataDir, { recursive: true, force: true });
      }
    },
  };
}

// ---------------------------------------------------------------- the page

// Runs in the page before its own scripts: records every message box as it
// opens (with what it says and whether the progress panel was still open),
// every value the progress bar is given while its panel is open (the last
// panel's), and every state of the page.
function instrument() {
  const seen = { boxes: [], progress: [], states: [], errors: [], persistAsked: false };
  window.__seen = seen;
  if (navigator.storage && navigator.storage.persist) {
    const persist = navigator.storage.persist.bind(navigator.storage);
    navigator.storage.persist = () => {
      seen.persistAsked = true;
      return persist();
    };
  }
  window.addEventListener("error", (event) => seen.errors.push(String(event.message)));
  window.addEventListener("unhandledrejection", (event) => seen.errors.push(String(event.reason)));
  document.addEventListener("securitypolicyviolation", (event) =>
    seen.errors.push(`the page's policy refused ${event.blockedURI || "an inline script or eval"} (${event.violatedDirective})`));
  const boxOf = (dialog) => {
    const panel = document.getElementById("progress-panel");
    return {
      icon: dialog.getAttribute("data-icon"),
      role: dialog.getAttribute("role"),
      modal: dialog.matches(":modal"),
      caption: document.getElementById("message-box-caption")?.textContent,
      text: document.getElementById("message-box-text")?.textContent,
      answers: [...dialog.querySelectorAll("[data-answer]")].map((b) => Number(b.dataset.answer)),
      focused: Number(document.activeElement?.dataset?.answer ?? 0),
      progressOpen: Boolean(panel?.open),
      labelledBy: dialog.getAttribute("aria-labelledby"),
      describedBy: dialog.getAttribute("aria-describedby"),
    };
  };
  new MutationObserver((records) => {
    records.forEach((record, index) => {
      const target = record.target;
      // An "open" record whose old value is null: the dialog opened.
      const opened = record.attributeName === "open" && record.oldValue === null;
      if (opened && target.id === "message-box") {
        seen.boxes.push(boxOf(target));
      } else if (opened && target.id === "progress-panel") {
        // The positions of this progress panel: those set once it is open
        // (the page may reset the bar before it opens it).
        seen.progress = [];
      } else if (record.attributeName === "value" && target.id === "progress-bar") {
        // Several positions may arrive in one batch: each record holds the
        // value before it, so the value it set is the next one's old value.
        const next = records.slice(index + 1).find((r) => r.target === target && r.attributeName === "value");
        const value = next ? next.oldValue : target.getAttribute("value");
        seen.progress.push(value === null ? null : Number(value));
      } else if (record.attributeName === "data-state" && target === document.documentElement) {
        seen.states.push(target.dataset.state);
      }
    });
  }).observe(document, {
    subtree: true,
    attributes: true,
    attributeOldValue: true,
    attributeFilter: ["open", "value", "data-state"],
  });
}

// Records boxes, progress and states (as openPage does) in a page that a
// test opens by itself.
export async function instrumentPage(page) {
  await page.evaluateOnNewDocument(instrument);
}

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
  await page.evaluateOnNewDocument(instrument);
  if (withoutHid) {
    await page.evaluateOnNewDocument(() => {
      delete Navigator.prototype.hid;
      delete navigator.hid;
    });
  }
  page.consoleErrors = [];
  page.on("console", (message) => {
    if (message.type() === "error") {
      page.consoleErrors.push(message.text());
    }
  });
  page.on("pageerror", (error) => page.consoleErrors.push(String(error)));
  page.closeContext = () => context.close();
  await page.goto(url, { waitUntil: "load" });
  if (settle) {
    await waitForState(page, ["idle", "busy", "ended", "unsupported", "framed", "no-lock"]);
  }
  return page;
}

// Waits until the page's data-state is one of the given names.
export async function waitForState(page, names, timeout = LIMIT_MS) {
  const wanted = [].concat(names);
  try {
    await page.waitForFunction((w) => w.includes(document.documentElement.dataset.state),
      { polling: 100, timeout }, wanted);
  } catch (error) {
    const state = await page.evaluate(() => document.documentElement.dataset.state).catch(() => "?");
    const errors = page.consoleErrors?.length ? `; the page's errors: ${page.consoleErrors.join(" | ")}` : "";
    throw new Error(`the page's state never became ${wanted.join(" or ")}; it is ${state}${errors}`);
  }
  return page.evaluate(() => document.documentElement.dataset.state);
}

export async function waitFor(page, fn, ...args) {
  return page.waitForFunction(fn, { polling: 100, timeout: LIMIT_MS }, ...args);
}

// What the main view shows now.
export async function view(page) {
  return page.evaluate(() => {
    const text = (id) => document.getElementById(id)?.textContent ?? null;
    const shown = (id) => {
      const element = document.getElementById(id);
      return Boolean(element) && !element.hidden && element.getClientRects().length > 0;
    };
    const disabled = (id) => document.getElementById(id)?.disabled ?? null;
    const colour = (id) => {
      const element = document.getElementById(id);
      return element ? getComputedStyle(element).color : null;
    };
    return {
      state: document.documentElement.dataset.state,
      title: text("title"),
      documentTitle: document.title,
      labelUnit: text("label-unit"),
      versionUnit: text("version-unit"),
      labelBootloader: text("label-bootloader"),
      versionBootloader: text("version-bootloader"),
      labelEsc: text("label-esc"),
      versionEsc: text("version-esc"),
      escColour: colour("version-esc"),
      unitColour: colour("version-unit"),
      groupCaption: text("version-group-caption"),
      hintCaption: text("hint-caption"),
      hint: text("hint"),
      updateText: text("update"),
      closeText: text("close"),
      updateDisabled: disabled("update"),
      closeDisabled: disabled("close"),
      requestShown: shown("request-unit"),
      requestText: text("request-unit"),
      unsupportedShown: shown("unsupported"),
      sessionEndedShown: shown("session-ended"),
      controlIds: Object.fromEntries(
        [...document.querySelectorAll("[data-control-id]")].map((e) => [e.id, Number(e.dataset.controlId)])),
    };
  });
}

// "rgb(r, g, b)" is red when red clearly outweighs green and blue.
export function isRed(colour) {
  const [r, g, b] = (colour.match(/\d+/g) || []).map(Number);
  return r >= 128 && g < r / 2 && b < r / 2;
}

export async function seen(page) {
  return page.evaluate(() => window.__seen);
}

// Waits for the count-th message box (1-based) of this page load, and
// returns what it showed as it opened.
export async function waitForBox(page, count, timeout = LIMIT_MS) {
  try {
    await page.waitForFunction((n) => window.__seen.boxes.length >= n, { polling: 100, timeout }, count);
  } catch (error) {
    const shown = await page.evaluate(() => ({ hint: document.getElementById("hint")?.textContent,
      boxes: window.__seen.boxes.map((b) => b.text) })).catch(() => ({}));
    throw new Error(`message box ${count} never opened; the boxes so far: ${JSON.stringify(shown.boxes)}, ` +
      `the hint: ${JSON.stringify(shown.hint)}`);
  }
  return (await seen(page)).boxes[count - 1];
}

// Presses the button of the open message box that gives this answer.
export async function answer(page, value) {
  await page.click(`#message-box [data-answer="${value}"]`);
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

// The same, then the failure box answered and the failure hint shown.
export async function failedUpdate(page, texts, fault = null) {
  const box = await updateToFailureBox(page, fault);
  await answer(page, OK);
  await waitForHint(page, texts.text(N.IDS_UPDATE_FAILED_HINT));
  await waitForState(page, "idle");
  return box;
}

export async function waitForHint(page, expected, timeout = LIMIT_MS) {
  try {
    await page.waitForFunction((want) => document.getElementById("hint")?.textContent === want,
      { polling: 100, timeout }, expected);
  } catch (error) {
    const actual = await page.evaluate(() => document.getElementById("hint")?.textContent);
    throw new Error(`the hint never became ${JSON.stringify(expected)}; it shows ${JSON.stringify(actual)}`);
  }
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
// test opens its own page in a fresh context.
export async function suite({ language = "en", folder = "test" } = {}) {
  const server = await startServer(buildFolder(folder));
  let session;
  try {
    session = await launchBrowser({ language });
  } catch (error) {
    await server.close();
    throw error;
  }
  return {
    server,
    session,
    texts: textsFor(language),
    url: (file) => server.url + file,
    async close() {
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
