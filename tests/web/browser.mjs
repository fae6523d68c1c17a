// Debian's Chromium for every browser test, and the updater page as the tests
// see it: the one launcher (headless, a profile of its own, in English or
// German, as root or as another user), the one page observer (every message
// box, progress position, hint, state and script error, each with the
// page's time), and the waits and reads on top of it. The page's tests on
// this machine (harness.mjs), the runs on the real HID stack and the
// measuring scripts all use it.
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import puppeteer from "puppeteer-core";

import { until } from "../wait.mjs";

export const CHROMIUM = process.env.ORVANTO_CHROMIUM || "/usr/bin/chromium";

// A limit for conditions that come within a second or two when all is well;
// it only keeps a broken page from hanging the test run.
export const LIMIT_MS = 30000;


// `promise`, or after `ms` the error `message` (null: undefined instead);
// the timer goes with the promise, so that it keeps no process alive.
export function within(promise, ms, message = null) {
  let timer;
  const limit = new Promise((resolve, reject) => {
    timer = setTimeout(() => (message === null ? resolve() : reject(new Error(message))), ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// ---------------------------------------------------------------- the browser

const running = new Set();
process.on("exit", () => {
  // A test that died half-way leaves no browser behind.
  for (const entry of running) {
    entry.kill();
  }
});

// Starts Chromium headless and connects to it, with the arguments Puppeteer
// itself would start it with, in `language` (the browser's own language:
// navigator.language and Accept-Language). As root, or as `user` ({name,
// uid, gid}); with `home` its home and profile stay there, otherwise both
// are made afresh and removed by close(). `logFile` takes what Chromium
// says; `limitMs` bounds its start (under an emulated processor it takes
// most of a minute). Returns {browser, language, startMs, errors, close()}.
export async function launchBrowser({ language = "en", user = null, home = null, logFile = null,
  limitMs = 60000, extraArgs = [] } = {}) {
  const ownHome = home === null;
  const folder = ownHome ? fs.mkdtempSync(path.join(os.tmpdir(), "orvanto-web-profile-")) : home;
  fs.mkdirSync(folder, { recursive: true, mode: 0o700 });
  const profile = path.join(folder, "profile");
  fs.mkdirSync(profile, { recursive: true, mode: 0o700 });
  if (user) {
    execFileSync("chown", ["-R", `${user.uid}:${user.gid}`, folder]);
  }
  const locale = language === "de" ? "de-DE" : "en-US";
  const args = puppeteer.defaultArgs({
    headless: true,
    userDataDir: profile,
    args: [
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
      "--remote-debugging-port=0",
      // Without a sandbox as root, and as another user on a machine without
      // Chromium's setuid helper or user namespaces for it. WebHID is the
      // browser process's, which the sandbox does not change.
      ...(process.getuid?.() === 0 ? ["--no-sandbox"] : []),
      ...extraArgs,
    ],
  });
  const began = Date.now();
  const child = spawn(CHROMIUM, args, {
    stdio: ["ignore", "ignore", "pipe"],
    env: {
      PATH: process.env.PATH,
      HOME: folder,
      LANG: `${locale.replace("-", "_")}.UTF-8`,
      LANGUAGE: locale.replace("-", "_"),
      XDG_CONFIG_HOME: path.join(folder, ".config"),
      XDG_CACHE_HOME: path.join(folder, ".cache"),
      // Its singleton's socket folder too, which it leaves behind when it
      // is ended rather than closed.
      TMPDIR: folder,
    },
    detached: true, // its own process group: close() ends every process of it
    ...(user ? { uid: user.uid, gid: user.gid } : {}),
  });
  const entry = {
    kill() {
      try {
        process.kill(-child.pid, "SIGKILL");
      } catch {}
      if (ownHome) {
        fs.rmSync(folder, { recursive: true, force: true });
      }
    },
  };
  running.add(entry);
  const errors = [];
  const log = logFile ? fs.createWriteStream(logFile) : null;
  let browser;
  try {
    const endpoint = await new Promise((resolve, reject) => {
      let text = "";
      const timer = setTimeout(() => reject(new Error(
        `Chromium (${CHROMIUM}) did not start within ${limitMs / 1000} s; it said: ${errors.slice(-5).join(" | ")}`)), limitMs);
      child.stderr.on("data", (chunk) => log?.write(chunk));
      child.stderr.setEncoding("utf8").on("data", (chunk) => {
        text += chunk;
        const lines = text.split("\n");
        text = lines.pop();
        for (const line of lines) {
          errors.push(line);
          const match = /DevTools listening on (ws:\/\/\S+)/.exec(line);
          if (match) {
            clearTimeout(timer);
            resolve(match[1]);
          }
        }
      });
      child.on("exit", (code) => {
        clearTimeout(timer);
        reject(new Error(`Chromium (${CHROMIUM}) ended (status ${code}) before it listened; it said: ${errors.slice(-5).join(" | ")}`));
      });
    });
    browser = await puppeteer.connect({ browserWSEndpoint: endpoint, defaultViewport: { width: 900, height: 860 }, protocolTimeout: 180000 });
    // A new page waits for its target as long as the browser may take to
    // start, not Puppeteer's 30 s: under an emulated processor on a busy
    // machine a page's target can take longer to come.
    const waitForTarget = browser.waitForTarget.bind(browser);
    browser.waitForTarget = (predicate, options = {}) => waitForTarget(predicate, { timeout: limitMs, ...options });
  } catch (error) {
    running.delete(entry);
    entry.kill();
    log?.end();
    throw error;
  }
  return {
    browser,
    language,
    startMs: Date.now() - began,
    errors,
    async close() {
      try {
        await within(browser.close(), 20000);
      } catch {}
      running.delete(entry);
      entry.kill();
      log?.end();
    },
  };
}

// ---------------------------------------------------------------- the page

// Runs in the page before its own scripts: records every message box as it
// opens (what it says, its buttons, which has the focus, whether the
// progress panel was still open), every value the progress bar is given
// while its panel is open (the last panel's), every text of the hint and
// state of the page, the click on a box's OK, and every script error and
// refusal of the page's policy; each with the page's time (performance.now).
function instrument() {
  const seen = { boxes: [], progress: [], states: [], hints: [], errors: [], okAt: null, persistAsked: false };
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
  document.addEventListener("click", (event) => {
    if (event.target.closest?.('#message-box [data-answer="1"]')) {
      seen.okAt = performance.now();
    }
  }, true);
  const boxOf = (dialog) => {
    const panel = document.getElementById("progress-panel");
    return {
      at: performance.now(),
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
  new MutationObserver(() => {
    const text = document.getElementById("hint")?.textContent;
    if (text !== undefined && text !== seen.hints.at(-1)?.text) {
      seen.hints.push({ at: performance.now(), text });
    }
  }).observe(document, { subtree: true, childList: true, characterData: true });
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

// Records boxes, progress, hints, states and errors in every document the
// page loads from now on, and keeps the page's crash and errors at hand
// (page.crashed, page.consoleErrors) for the waits' messages.
export async function instrumentPage(page) {
  await page.evaluateOnNewDocument(instrument);
  page.consoleErrors ??= [];
  page.on("console", (message) => {
    if (message.type() === "error") {
      page.consoleErrors.push(message.text());
    }
  });
  page.on("pageerror", (error) => page.consoleErrors.push(String(error)));
  page.on("error", (error) => {
    page.crashed ??= String(error.message || error);
  });
}

export async function seen(page) {
  return page.evaluate(() => window.__seen);
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
      openRefusedShown: shown("open-refused"),
      openRefusedText: document.querySelector("#open-refused p")?.textContent ?? null,
      boxOpen: Boolean(document.getElementById("message-box")?.open),
      boxText: document.getElementById("message-box")?.open
        ? document.getElementById("message-box-text")?.textContent ?? null : null,
      controlIds: Object.fromEntries(
        [...document.querySelectorAll("[data-control-id]")].map((e) => [e.id, Number(e.dataset.controlId)])),
    };
  });
}

// Waits until `fn` (run in the page with `arg`) is true, at most `limitMs`,
// asking the page every tenth of a second: no long call into the page, so
// that a page whose renderer crashed fails at once and says so. A failure
// names `what` and what the page shows.
export async function waitInPage(page, fn, arg, limitMs = LIMIT_MS, what = "the condition") {
  const ask = (call) => within(call, 30000, "the page did not answer within 30 s");
  await until(async () => {
    if (page.crashed) {
      throw new Error(`${what}: the page's renderer crashed (${page.crashed})`);
    }
    return ask(page.evaluate(fn, arg));
  }, limitMs, async () => {
    const now = await ask(view(page)).catch(() => ({}));
    const errors = page.consoleErrors?.length ? `; the page's errors: ${page.consoleErrors.join(" | ")}` : "";
    return `${what}: not within the time; the page shows state ${now.state}, ` +
      `hint ${JSON.stringify(now.hint ?? null)}, ` +
      `${now.boxOpen ? `a box open: ${JSON.stringify(now.boxText)}` : "no box open"}${errors}`;
  });
}

export async function waitFor(page, fn, ...args) {
  return page.waitForFunction(fn, { polling: 100, timeout: LIMIT_MS }, ...args);
}

// Waits until the page's data-state is one of the given names; returns it.
export async function waitForState(page, names, limitMs = LIMIT_MS) {
  const wanted = [].concat(names);
  await waitInPage(page, (w) => w.includes(document.documentElement.dataset.state), wanted, limitMs,
    `the page's state ${wanted.join(" or ")}`);
  return page.evaluate(() => document.documentElement.dataset.state);
}

export async function waitForHint(page, expected, limitMs = LIMIT_MS, what = "the hint") {
  await waitInPage(page, (want) => document.getElementById("hint")?.textContent === want, expected, limitMs,
    `${what} ${JSON.stringify(expected)}`);
}

// Waits for the count-th message box (1-based) of this page load, and
// returns what it showed as it opened.
export async function waitForBox(page, count, limitMs = LIMIT_MS) {
  await waitInPage(page, (n) => window.__seen.boxes.length >= n, count, limitMs, `message box ${count}`);
  return (await seen(page)).boxes[count - 1];
}

// Presses the button of the open message box that gives this answer.
export async function answer(page, value) {
  await page.click(`#message-box [data-answer="${value}"]`);
}
