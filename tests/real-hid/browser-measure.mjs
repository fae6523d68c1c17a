// Measures, on the real HID stack inside the virtual machine (started by
// tools/real-hid/guest-browser.sh for tools/measure-real-hid.sh), and prints
// the figures; asserts nothing:
//
//   1. N exchanges of CMD_GET_UNIT_STATUS through the raw hidraw node
//      (hidraw-exchange): the floor under any host's exchange here.
//   2. The same N through Chromium's WebHID in a bare page: sendReport with
//      report ID 1 and 59 data bytes, then the unit's input report (ID 2).
//   3. One whole update of the product page with the real waits: the wall
//      time from OK to the success text on the page's own clock, divided by
//      the 45,840 ms of waits the program must make.
//
// usage: node browser-measure.mjs [N]   (N exchanges, 300 by default)
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import {
  UnitProcess,
  answer,
  englishTexts,
  grantUnitsByPolicy,
  loadNames,
  percentile,
  recordPage,
  say,
  seen,
  startChromium,
  startServers,
  udevTookUp,
  waitForBox,
  waitForHint,
  webHidExchanges,
} from "./browser-guest.mjs";

const UHID_UNIT = process.env.ORVANTO_UHID_UNIT;
const HIDRAW_EXCHANGE = process.env.ORVANTO_HIDRAW_EXCHANGE;
const SITE = process.env.ORVANTO_SITE;
const WORK = process.env.ORVANTO_WORK || "/tmp/work";
const COUNT = Number(process.argv[2] || 300);
const MANDATED_WAITS_MS = 45840;

const N = await loadNames(SITE);
const T = englishTexts(N);

const ms = (value) => `${value.toFixed(2)} ms`;
const summary = (times) => `median ${ms(percentile(times, 0.5))}, 95th percentile ${ms(percentile(times, 0.95))}, ` +
  `fastest ${ms(Math.min(...times))}, slowest ${ms(Math.max(...times))}`;

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

    say(`${COUNT} exchanges through ${node} (hidraw-exchange)`);
    const raw = spawnSync(HIDRAW_EXCHANGE, ["--count", String(COUNT), node], { encoding: "utf8", timeout: 600000 });
    const rawLine = /(\d+) exchanges: median ([\d.]+) ms, 95th percentile ([\d.]+) ms/.exec(raw.stdout);
    figure(rawLine
      ? `raw hidraw: ${COUNT} exchanges, median ${rawLine[2]} ms, 95th percentile ${rawLine[3]} ms`
      : `raw hidraw: not measured: ${raw.stdout}${raw.stderr}`.trim());

    const servers = await startServers(SITE, "/tmp/bare-page");
    grantUnitsByPolicy(servers.origins);
    const session = await startChromium({ home: "/tmp/root-browser" });
    try {
      const version = await session.browser.version();
      say(`${version} started in ${(session.startMs / 1000).toFixed(1)} s`);

      const context = await session.browser.createBrowserContext();
      const bare = await context.newPage();
      await bare.goto(servers.bare.url, { waitUntil: "load", timeout: 120000 });
      say(`${COUNT} exchanges through Chromium's WebHID`);
      // A few first, so that the figure does not hold the device's opening
      // and the first compilation of the loop.
      await webHidExchanges(bare, 10);
      const web = await webHidExchanges(bare, COUNT);
      figure(`Chromium WebHID: ${COUNT} exchanges (sendReport(1, 59 bytes), then the input report, ID ` +
        `${web.reportId} with ${web.length} bytes), ${summary(web.times)}; sendReport alone ` +
        `${summary(web.sendTimes)}`);
      await context.close();

      say("one whole update of the product page with the real waits");
      const updateContext = await session.browser.createBrowserContext();
      const page = await updateContext.newPage();
      await page.evaluateOnNewDocument(recordPage);
      await page.goto(servers.product.url + "index.html", { waitUntil: "load", timeout: 180000 });
      await waitForHint(page, T.text(N.IDS_READY), 180000, "Ready");
      await page.click("#update");
      await waitForBox(page, 1, 120000);
      await answer(page, N.ANSWER_OK);
      await waitForHint(page, T.text(N.IDS_UPDATE_SUCCEEDED), 600000, "the success hint");
      const record = await seen(page);
      const successAt = record.hints.find((hint) => hint.text === T.text(N.IDS_UPDATE_SUCCEEDED)).at;
      const wallMs = successAt - record.okAt;
      figure(`whole update in Chromium: ${(wallMs / 1000).toFixed(2)} s from OK to the success text / ` +
        `${MANDATED_WAITS_MS} ms of waits = ${(wallMs / MANDATED_WAITS_MS).toFixed(3)} ` +
        `(${record.progress.length - 1} blocks)`);
      await updateContext.close();
      figures.unshift(`measured on: a QEMU guest without acceleration (TCG, -cpu max), ${os.cpus().length} CPUs ` +
        `(${cpu}), kernel ${os.release()}, ${version}, the emulated unit through /dev/uhid`);
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
