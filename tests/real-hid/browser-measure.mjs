// Measures, on the real HID stack inside the virtual machine (started by
// tests/real-hid/guest-browser.sh for tools/measure-real-hid.sh), and prints
// the figures; asserts nothing:
//
//   1. N exchanges of CMD_GET_UNIT_STATUS through the raw hidraw node
//      (hidraw-exchange): the floor under any host's exchange here, taken
//      while Chromium runs with the bare page open, after 10 exchanges to
//      warm up, as the browser's own figure is.
//   2. The same N through Chromium's WebHID in a bare page: sendReport with
//      report ID 1 and 59 data bytes, then the unit's input report (ID 2).
//   3. One whole update of the product page with the real waits: the wall
//      time from OK to the success text on the page's own clock
//      (tools/measure-real-hid.sh divides it by the waits of the image).
//
// Fails when a figure could not be measured.
//
// usage: node browser-measure.mjs [N]   (N exchanges, 300 by default)
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import {
  UnitProcess,
  answer,
  grantUnitsByPolicy,
  loadNames,
  instrumentPage,
  percentile,
  recordWebHid,
  say,
  seen,
  sleep,
  startChromium,
  startServers,
  udevTookUp,
  waitForBox,
  waitForHint,
  waitForState,
  waitInPage,
  webHidExchanges,
  webHidRecord,
} from "./browser-guest.mjs";
import { textsFor } from "../web/texts.mjs";

const UHID_UNIT = process.env.ORVANTO_UHID_UNIT;
const HIDRAW_EXCHANGE = process.env.ORVANTO_HIDRAW_EXCHANGE;
const SITE = process.env.ORVANTO_SITE;
const WORK = process.env.ORVANTO_WORK || "/tmp/work";
const COUNT = Number(process.argv[2] || 300);
const WARM_UP = 10;

const N = await loadNames(SITE);
const T = textsFor("en", N);

const ms = (value) => `${value.toFixed(2)} ms`;
const summary = (times) => `median ${ms(percentile(times, 0.5))}, 95th percentile ${ms(percentile(times, 0.95))}, ` +
  `fastest ${ms(Math.min(...times))}, slowest ${ms(Math.max(...times))}`;

// The product page's update (the ESC holds 3.0 from the measured update),
// the unit pulled out by hand (its control channel) once a third of the
// blocks are written: whatever the page is doing then, mostly waiting
// between blocks. Returns the failure box's code
// line and what WebHID did underneath.
async function pulledOutByHand(N, T, session, url, unit) {
  const context = await session.browser.createBrowserContext();
  try {
    const page = await context.newPage();
    await instrumentPage(page);
    await page.evaluateOnNewDocument(recordWebHid);
    await page.goto(url, { waitUntil: "load", timeout: 180000 });
    await waitForHint(page, T.text(N.IDS_READY), 180000, "Ready");
    await waitForState(page, "idle", 30000);
    await page.click("#update");
    await waitForBox(page, 1, 120000);
    await answer(page, N.ANSWER_OK);
    // The ESC holds 3.0 from the update before: the version question comes.
    const question = await waitForBox(page, 2, 120000);
    if (question.caption !== T.text(N.IDS_VERSION_QUESTION_CAPTION)) {
      throw new Error(`not the version question: ${JSON.stringify(question)}`);
    }
    await answer(page, N.ANSWER_YES);
    await waitInPage(page, () => window.__seen.progress.at(-1) >= 33, null, 600000, "a third of the blocks");
    unit.command("unplug");
    const box = await waitForBox(page, 3, 120000);
    const record = await webHidRecord(page, 6);
    const origin = record.find((e) => e.event === "sendReport")?.at ?? 0;
    const events = record.map((e) => `${(e.at - origin).toFixed(1)} ms ${e.event}` +
      (e.event === "sendReport" ? ` ${e.settled}${e.error ? ` (${e.error})` : ""}` : "") +
      (e.event === "disconnect" ? ` (device.opened ${e.opened})` : ""));
    return `the product page, unit pulled out by hand at ${(await seen(page)).progress.at(-1)} % of the update: ` +
      `${JSON.stringify(box.text.split("\n").at(-1))}; WebHID underneath: ${events.join("; ")}`;
  } finally {
    await context.close();
  }
}

// Runs in the page before its scripts: hands each disconnect event to
// window.__onDisconnect. The listener is there from the page's start, as the
// product page's is.
function disconnectRecorder() {
  navigator.hid?.addEventListener("disconnect", (event) => window.__onDisconnect?.(event));
}

// Pulls the unit out (and plugs it in again) three ways under a bare page's
// opened HIDDevice, and says what the page saw, on its clock: the unit idle;
// the unit pulled out while writes follow each other; the unit pulled out
// by a fault as a report reaches it (the kernel has taken the report).
async function unplugObservations(N, unit, page) {
  const lines = [];
  const replug = async () => {
    const from = unit.lines.length;
    unit.command("plug");
    await udevTookUp(await unit.node(from));
    await page.waitForFunction(async (vendorId) =>
      (await navigator.hid.getDevices()).some((d) => d.vendorId === vendorId),
    { polling: 250, timeout: 60000 }, N.UNIT_VENDOR_ID);
  };
  // In the page: opens the unit, waits for the next disconnect event (the
  // page records them from its start, see disconnectRecorder) and defines
  // window.__outcome(promise, ms), a promise's outcome as a text.
  const prepare = () => page.evaluate(async (vendorId) => {
    const [device] = (await navigator.hid.getDevices()).filter((d) => d.vendorId === vendorId);
    await device.open();
    window.__unit = device;
    window.__gone = null;
    window.__origin = performance.now();
    window.__onDisconnect = (event) => {
      window.__gone ??= { at: performance.now() - window.__origin, opened: event.device.opened };
    };
    window.__outcome = (promise, ms) => Promise.race([
      promise.then(() => "resolved", (error) => `rejected with ${error.name} "${error.message}"`),
      new Promise((resolve) => setTimeout(() => resolve(`still pending after ${ms / 1000} s`), ms)),
    ]);
    window.__waitForGone = async (ms) => {
      const start = performance.now();
      while (!window.__gone && performance.now() - start < ms) {
        await new Promise((resolve) => setTimeout(resolve, 20));
      }
      return window.__gone;
    };
  }, N.UNIT_VENDOR_ID);
  const report = new Array(N.REPORT_SIZE - 1).fill(0);
  report[0] = N.CMD_GET_UNIT_STATUS;

  // 0. Reports of other shapes than the unit's: what sendReport says, and
  // what reached the unit (it says which reports it refused).
  await prepare();
  const shapes = [
    [N.COMMAND_REPORT_ID, 10, "a short one"],
    [N.COMMAND_REPORT_ID, N.REPORT_SIZE + 10, "a long one"],
    [N.REPLY_REPORT_ID, N.REPORT_SIZE - 1, "under the reply's ID"],
    [0, N.REPORT_SIZE - 1, "under ID 0"],
  ];
  for (const [reportId, length, what] of shapes) {
    const from = unit.lines.length;
    const result = await page.evaluate(async (id, bytes, command) => {
      const data = new Uint8Array(bytes);
      data[0] = command;
      return window.__outcome(window.__unit.sendReport(id, data), 5000);
    }, reportId, length, N.CMD_GET_UNIT_STATUS);
    await sleep(500);
    const refused = unit.lines.slice(from).find((line) => line.startsWith("refused"));
    lines.push(`sendReport(${reportId}, ${length} bytes), ${what}: ${result}; the unit ` +
      (refused ? `got it: "${refused}"` : "got nothing it refused"));
  }
  await page.evaluate(() => window.__unit.close());

  const gone = (seen) => (seen ? `at ${seen.at.toFixed(1)} ms with device.opened ${seen.opened}` : "never (30 s)");

  // 1. Idle: nothing pending.
  await prepare();
  unit.command("unplug");
  const idle = await page.evaluate(async (bytes, reportId) => {
    const seen = await window.__waitForGone(30000);
    const listed = (await navigator.hid.getDevices()).length;
    const send = await window.__outcome(window.__unit.sendReport(reportId, new Uint8Array(bytes)), 5000);
    const openedAfter = window.__unit.opened;
    const close = await window.__outcome(window.__unit.close(), 5000);
    return { seen, listed, send, openedAfter, close };
  }, report, N.COMMAND_REPORT_ID);
  lines.push(`unplugged while idle: disconnect ${gone(idle.seen)}, then ${idle.listed} granted devices listed; ` +
    `a sendReport on that HIDDevice afterwards ${idle.send}, device.opened then ${idle.openedAfter}; ` +
    `close() ${idle.close}`);
  await replug();

  // 2. Writes one after the other, no reads; the unit pulled out meanwhile.
  await prepare();
  const writing = page.evaluate(async (bytes, reportId) => {
    let count = 0;
    let first = null;
    while (performance.now() - window.__origin < 60000) {
      const at = performance.now() - window.__origin;
      const result = await window.__outcome(window.__unit.sendReport(reportId, new Uint8Array(bytes)), 5000);
      count += 1;
      if (result !== "resolved") {
        first = { at, result, opened: window.__unit.opened, goneBefore: window.__gone !== null };
        break;
      }
    }
    const seen = await window.__waitForGone(30000);
    return { count, first, seen };
  }, report, N.COMMAND_REPORT_ID);
  await sleep(1500);
  unit.command("unplug");
  const flight = await writing;
  lines.push(`unplugged during writes: after ${flight.count - 1} written, the next sendReport (sent at ` +
    `${flight.first?.at.toFixed(1)} ms) ${flight.first?.result}, device.opened ${flight.first?.opened}, ` +
    `${flight.first?.goneBefore ? "after" : "before"} the disconnect event; disconnect ${gone(flight.seen)}`);
  await replug();

  // 3. The unit takes the report, then goes (the fault unplug at the lock).
  await prepare();
  const from = unit.lines.length;
  unit.command("fault unplug:lock");
  await unit.waitForLine(/^fault: armed/, 10000, from);
  const lock = new Array(N.REPORT_SIZE - 1).fill(0);
  lock[0] = N.CMD_SYSTEM_LOCK;
  lock[1] = 0x01; // one byte of parameters
  lock[2] = 0x01; // set
  const taken = await page.evaluate(async (bytes, reportId) => {
    const sent = performance.now() - window.__origin;
    const result = await window.__outcome(window.__unit.sendReport(reportId, new Uint8Array(bytes)), 5000);
    const settled = performance.now() - window.__origin;
    const seen = await window.__waitForGone(30000);
    return { sent, result, settled, seen };
  }, lock, N.COMMAND_REPORT_ID);
  lines.push(`pulled out as the report reached the unit: sendReport sent at ${taken.sent.toFixed(1)} ms ` +
    `${taken.result} at ${taken.settled.toFixed(1)} ms; disconnect ${gone(taken.seen)}`);
  await replug();
  return lines;
}

async function main() {
  if (!Number.isInteger(COUNT) || COUNT < 10) {
    throw new Error(`the number of exchanges is at least 10, not ${process.argv[2]}`);
  }
  const cpu = /model name\s*:\s*(.*)/.exec(fs.readFileSync("/proc/cpuinfo", "utf8"))?.[1] ?? "?";
  const figures = [];
  const figure = (line) => {
    figures.push(line);
    say(line);
  };

  const unit = UnitProcess.start(UHID_UNIT, [], path.join(WORK, "measure-unit.log"));
  try {
    const node = await unit.node();
    await udevTookUp(node);

    const servers = await startServers(SITE, "/tmp/bare-page");
    grantUnitsByPolicy(N, servers.origins);
    const session = await startChromium({ home: "/tmp/root-browser" });
    try {
      const version = await session.browser.version();
      say(`${version} started in ${(session.startMs / 1000).toFixed(1)} s`);

      const context = await session.browser.createBrowserContext();
      const bare = await context.newPage();
      await bare.goto(servers.bare.url, { waitUntil: "load", timeout: 120000 });

      // The floor, beside the browser that runs with the page open.
      say(`${COUNT} exchanges through ${node} (hidraw-exchange), beside Chromium`);
      const rawExchanges = (count) => {
        const run = spawnSync(HIDRAW_EXCHANGE, ["--count", String(count), node], { encoding: "utf8", timeout: 600000 });
        const line = /(\d+) exchanges: median ([\d.]+) ms, 95th percentile ([\d.]+) ms/.exec(run.stdout);
        if (run.status !== 0 || !line) {
          throw new Error(`raw hidraw: not measured: ${run.stdout}${run.stderr}`.trim());
        }
        return line;
      };
      rawExchanges(WARM_UP);
      const raw = rawExchanges(COUNT);
      figure(`raw hidraw beside Chromium: ${COUNT} exchanges, median ${raw[2]} ms, 95th percentile ${raw[3]} ms`);

      say(`${COUNT} exchanges through Chromium's WebHID`);
      // A few first, so that the figure does not hold the device's opening
      // and the first compilation of the loop.
      await webHidExchanges(N, bare, WARM_UP);
      const web = await webHidExchanges(N, bare, COUNT);
      figure(`Chromium WebHID: ${COUNT} exchanges (sendReport(${N.COMMAND_REPORT_ID}, ${N.REPORT_SIZE - 1} bytes), then the input report, ID ` +
        `${web.reportId} with ${web.length} bytes), ${summary(web.times)}; sendReport alone ` +
        `${summary(web.sendTimes)}`);
      await context.close();

      say("one whole update of the product page with the real waits");
      const updateContext = await session.browser.createBrowserContext();
      const page = await updateContext.newPage();
      await instrumentPage(page);
      await page.goto(servers.product.url + "index.html", { waitUntil: "load", timeout: 180000 });
      await waitForHint(page, T.text(N.IDS_READY), 180000, "Ready");
      await waitForState(page, "idle", 30000);
      await page.click("#update");
      await waitForBox(page, 1, 120000);
      await answer(page, N.ANSWER_OK);
      await waitForHint(page, T.text(N.IDS_UPDATE_SUCCEEDED), 600000, "the success hint");
      const record = await seen(page);
      const successAt = record.hints.find((hint) => hint.text === T.text(N.IDS_UPDATE_SUCCEEDED)).at;
      const wallMs = successAt - record.okAt;
      figure(`whole update in Chromium: ${(wallMs / 1000).toFixed(2)} s from OK to the success text ` +
        `(${record.progress.length - 1} blocks)`);
      await updateContext.close();

      say("what WebHID does when the unit is pulled out");
      const probeContext = await session.browser.createBrowserContext();
      const probe = await probeContext.newPage();
      await probe.evaluateOnNewDocument(disconnectRecorder);
      await probe.goto(servers.bare.url, { waitUntil: "load", timeout: 120000 });
      for (const line of await unplugObservations(N, unit, probe)) {
        figure(line);
      }
      await probeContext.close();
      figure(await pulledOutByHand(N, T, session, servers.product.url + "index.html", unit));
      const from = unit.lines.length;
      unit.command("plug");
      await unit.node(from);
      const avx2 = /flags\s*:.*\bavx2\b/.test(fs.readFileSync("/proc/cpuinfo", "utf8"));
      figures.unshift(`measured on: a QEMU guest without acceleration (TCG), ${os.cpus().length} CPUs ` +
        `(${cpu}${avx2 ? "" : ", AVX2 off"}), kernel ${os.release()}, ${version}, the emulated unit through /dev/uhid`);
    } finally {
      await session.close();
      await servers.product.close();
      await servers.bare.close();
    }
  } finally {
    await unit.quit();
  }
  console.log("== figures");
  for (const line of figures) {
    console.log(line);
  }
}

main().then(() => process.exit(0), (error) => {
  console.log(`measurement failed: ${error.stack || error.message}`);
  process.exit(1);
});
