// Measures the updater page in Chromium and prints the figures; asserts
// nothing (the figures depend on the machine). Called by tools/measure-web.sh.
//
//   1. One whole update with the real waits (demo/: the real clock, the
//      stand-in image, the emulated unit), the tab in front: the wall time
//      from OK to the success text divided by the 45,840 ms of waits the
//      ESC needs, and the same from the unit's log (the system lock's report
//      to the last reply).
//   2. The same with the tab behind another one, and once more in front
//      with a unit that answers without any browser task in between (the
//      page's own cost alone).
//   3. What the product page (site/) transfers, file by file, raw, gzip
//      (level 9) and brotli (quality 11), the firmware image's bytes left out.
//   4. The time from navigation start to the first complete view (data-state
//      "idle") on 127.0.0.1: a first visit, and a visit served by the
//      service worker.
import fs from "node:fs";
import path from "node:path";
import zlib from "node:zlib";

import {
  BUILD,
  OK,
  N,
  answer,
  buildFolder,
  launchBrowser,
  listFiles,
  openPage,
  plugAndWaitForReady,
  textsFor,
  unitLog,
  waitForBox,
} from "./harness.mjs";
import { startServer } from "./server.mjs";

const ESC_WAITS_MS = 45840;
const { CMD_SYSTEM_LOCK } = N;
const UPDATE_LIMIT_MS = 180000;

const ms = (value) => `${value.toFixed(1)} ms`;

async function realWaitUpdate(session, server, behind, atOnce = false) {
  const page = await openPage(session, server.url + "demo.html");
  try {
    await plugAndWaitForReady(page);
    await page.evaluate((on) => window.orvantoEmulator.setAnswerAtOnce(on), atOnce);
    const success = textsFor("en").text(N.IDS_UPDATE_SUCCEEDED);
    await page.click("#update");
    await waitForBox(page, 1);
    // The page's own clock marks the click on OK and the success text as
    // they happen: polling from here would add its interval to the figure,
    // and a hidden tab's timers run only once a second.
    await page.evaluate((text) => {
      window.__measured = { okAt: null, doneAt: null };
      document.addEventListener("click", (event) => {
        if (event.target.closest?.('#message-box [data-answer="1"]') && window.__measured.okAt === null) {
          window.__measured.okAt = performance.now();
        }
      }, true);
      const hint = document.getElementById("hint");
      new MutationObserver(() => {
        if (hint.textContent === text && window.__measured.doneAt === null) {
          window.__measured.doneAt = performance.now();
        }
      }).observe(hint, { childList: true, characterData: true, subtree: true });
    }, success);
    await answer(page, OK);
    let front = null;
    if (behind) {
      // Another tab in front: the updater's tab is hidden.
      front = await page.browserContext().newPage();
      await front.goto("about:blank");
      await front.bringToFront();
    }
    const hidden = await page.evaluate(() => document.visibilityState);
    // Polling by interval: animation frames do not run in a hidden tab. The
    // figure comes from the page's marks, not from this.
    await page.waitForFunction(
      (text) => document.getElementById("hint")?.textContent === text ||
        document.getElementById("message-box")?.open,
      { polling: 500, timeout: UPDATE_LIMIT_MS }, success);
    const measured = await page.evaluate(() => window.__measured);
    const wallMs = measured.doneAt - measured.okAt;
    const succeeded = await page.evaluate((text) => document.getElementById("hint").textContent === text, success);
    const log = await unitLog(page);
    const first = log.findIndex((entry) => entry.fromHost && entry.bytes[1] === CMD_SYSTEM_LOCK);
    const commandsMs = first >= 0 ? log.at(-1).timeMs - log[first].timeMs : NaN;
    await front?.close();
    return { succeeded, hidden, wallMs, commandsMs };
  } finally {
    await page.closeContext();
  }
}

function transferSizes(folder, imageBytes) {
  const rows = [];
  for (const file of listFiles(folder)) {
    const data = fs.readFileSync(path.join(folder, file));
    rows.push({
      file,
      raw: data.length,
      gzip: zlib.gzipSync(data, { level: 9 }).length,
      brotli: zlib.brotliCompressSync(data, {
        params: { [zlib.constants.BROTLI_PARAM_QUALITY]: 11, [zlib.constants.BROTLI_PARAM_SIZE_HINT]: data.length },
      }).length,
    });
  }
  const total = (key) => rows.reduce((sum, row) => sum + row[key], 0);
  return { rows, raw: total("raw") - imageBytes, gzip: total("gzip") - imageBytes, brotli: total("brotli") - imageBytes };
}

// The firmware image the product build embeds, from the build's cache.
function productImage() {
  const cache = fs.readFileSync(path.join(BUILD, "CMakeCache.txt"), "utf8");
  const match = /^ORVANTO_FIRMWARE_IMAGE:FILEPATH=(.*)$/m.exec(cache);
  return match && match[1] ? match[1] : null;
}

// What the service worker's check of every file it serves costs: the
// SHA-256 digest of each of the page's files, as the worker takes it,
// timed in the page.
async function digestCheckCost(page) {
  return page.evaluate(async () => {
    const source = await (await fetch("sw.js", { cache: "no-store" })).text();
    const files = Object.keys(JSON.parse(/const FILES = (\{[^}]*\});/.exec(source)[1].replace(/,\s*\}$/, "}")));
    let total = 0;
    let largest = { file: "", ms: 0 };
    for (const file of files) {
      const bytes = await (await fetch(file)).arrayBuffer();
      const start = performance.now();
      await crypto.subtle.digest("SHA-256", bytes);
      const ms = performance.now() - start;
      total += ms;
      if (ms > largest.ms) {
        largest = { file, ms };
      }
    }
    return { files: files.length, total, largest };
  });
}

async function timeToFirstView(session, url, runs) {
  const first = [];
  const served = [];
  let checks = null;
  for (let run = 0; run < runs; ++run) {
    const context = await session.browser.createBrowserContext();
    try {
      const page = await context.newPage();
      await page.evaluateOnNewDocument(() => {
        new MutationObserver(() => {
          if (document.documentElement.dataset.state === "idle" && window.__idleAt === undefined) {
            window.__idleAt = performance.now();  // from navigation start
          }
        }).observe(document, { subtree: true, attributes: true, attributeFilter: ["data-state"] });
      });
      const idleAt = async () => {
        await page.waitForFunction(() => window.__idleAt !== undefined, { polling: 50, timeout: 60000 });
        return page.evaluate(() => window.__idleAt);
      };
      await page.goto(url);
      first.push(await idleAt());
      await page.waitForFunction(() => navigator.serviceWorker?.controller?.state === "activated",
        { polling: 50, timeout: 60000 });
      await page.reload();
      served.push(await idleAt());
      if (run === runs - 1) {
        checks = await digestCheckCost(page);
      }
    } finally {
      await context.close();
    }
  }
  const summary = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    return `median ${ms(sorted[Math.floor(sorted.length / 2)])}, min ${ms(sorted[0])}, max ${ms(sorted.at(-1))}`;
  };
  return { first: summary(first), served: summary(served), checks };
}

async function main() {
  const demo = await startServer(buildFolder("demo"));
  const site = await startServer(buildFolder("site"));
  const session = await launchBrowser();
  try {
    console.log("== one update with the real waits (demo/, emulated unit, stand-in image)");
    // The emulated unit answers in browser tasks of its own, as a unit
    // does; the third run has it answer without any (as the Windows
    // measurement's emulated unit does), which leaves the page's own cost
    // and the emulated unit's work, which runs on the page's thread too.
    for (const [behind, atOnce] of [[false, false], [true, false], [false, true]]) {
      const r = await realWaitUpdate(session, demo, behind, atOnce);
      const where = (behind ? "tab behind another" : "tab in front") +
        (atOnce ? ", a unit that answers at once" : "");
      if (!r.succeeded) {
        console.log(`${where}: the update did not succeed (a box is open); no figure`);
        continue;
      }
      console.log(`${(r.wallMs / ESC_WAITS_MS).toFixed(4)}  ${where} (page ${r.hidden}): ` +
        `wall time from OK to the success text ${ms(r.wallMs)} / the ESC's waits ${ESC_WAITS_MS} ms; ` +
        `by the unit's log, lock to last reply ${ms(r.commandsMs)} = ` +
        `${(r.commandsMs / ESC_WAITS_MS).toFixed(4)}`);
    }

    console.log("== what the product page transfers (site/)");
    const image = productImage();
    const imageBytes = image ? fs.statSync(image).size : 0;
    const sizes = transferSizes(buildFolder("site"), imageBytes);
    for (const row of sizes.rows) {
      console.log(`  ${row.file.padEnd(24)} raw ${String(row.raw).padStart(8)}  gzip ${String(row.gzip).padStart(8)}` +
        `  brotli ${String(row.brotli).padStart(8)}`);
    }
    console.log(image
      ? `  the image (${imageBytes} bytes, enciphered: it does not compress) is inside updater.wasm; ` +
        `its size is taken off each total`
      : "  this build carries no firmware image (ORVANTO_FIRMWARE_IMAGE is empty): the files are the page alone");
    console.log(`  total without the image: raw ${sizes.raw}, gzip ${sizes.gzip}, brotli ${sizes.brotli} bytes`);

    console.log("== time to the first complete view (navigation start to data-state idle, 127.0.0.1)");
    const times = await timeToFirstView(session, site.url + "index.html", 5);
    console.log(`  first visit (empty profile): ${times.first}`);
    console.log(`  again, served by the service worker: ${times.served}`);
    const checks = times.checks;
    console.log(`  of which the worker's digest check of the ${checks.files} files it serves: ` +
      `${ms(checks.total)} in all, at most ${ms(checks.largest.ms)} (${checks.largest.file})`);
  } finally {
    await session.close();
    await demo.close();
    await site.close();
  }
}

await main();
