// What the browser tests and measurements on the real HID stack share,
// beside the browser and the page observer of tests/web/browser.mjs. They
// run inside the virtual machine of tests/real-hid/run-guest.sh, as root,
// started by tests/real-hid/guest-browser.sh: the emulated unit as a kernel
// HID device (orvanto-uhid-unit over /dev/uhid), systemd-udevd, Debian's
// Chromium headless with the unit granted by the browser's managed policy,
// and the product page on 127.0.0.1.
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

import { launchBrowser } from "../web/browser.mjs";
import { startServer } from "../web/server.mjs";
import { sleep } from "../wait.mjs";

export {
  answer, instrumentPage, seen, view, waitForBox, waitForHint, waitForState, waitInPage,
} from "../web/browser.mjs";
export { UnitProcess, hidDeviceOf, say, udevRecord, udevTookUp } from "./kernel-unit.mjs";
export { sleep, until } from "../wait.mjs";

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
// Where the browser's managed policy lives; guest-browser.sh puts a tmpfs
// over /etc/chromium, so writing here changes nothing outside the machine.
export const POLICY_FILE = "/etc/chromium/policies/managed/orvanto-hid.json";

// ---------------------------------------------------------------- the browser

// Writes the managed policy that grants both units (names N) to the given
// origins, as an administrator would, instead of the chooser.
export function grantUnitsByPolicy(N, origins) {
  fs.mkdirSync(path.dirname(POLICY_FILE), { recursive: true });
  const policy = {
    WebHidAllowDevicesForUrls: [{
      devices: [N.PRODUCT_ID_ORBICON, N.PRODUCT_ID_LINK_BOX].map((productId) =>
        ({ vendor_id: N.UNIT_VENDOR_ID, product_id: productId })),
      urls: origins,
    }],
  };
  fs.writeFileSync(POLICY_FILE, JSON.stringify(policy, null, 2) + "\n");
  return policy;
}

// Chromium in English, as root or as `user` ({name, uid, gid}) with its own
// home; under TCG it takes most of a minute to start.
export function startChromium({ user = null, home, logFile = null }) {
  return launchBrowser({ language: "en", user, home, logFile, limitMs: 240000 });
}

// The product page's folder and a bare page of another origin for the
// measurements of WebHID alone, each served on 127.0.0.1.
export async function startServers(site, bareFolder) {
  fs.mkdirSync(bareFolder, { recursive: true });
  fs.writeFileSync(path.join(bareFolder, "index.html"),
    "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><title>WebHID exchanges</title><p>WebHID exchanges</p></html>\n");
  const product = await startServer(site);
  const bare = await startServer(bareFolder);
  return { product, bare, origins: [product.url.replace(/\/$/, ""), bare.url.replace(/\/$/, "")] };
}

// ---------------------------------------------------------------- names and texts

// A module of the page as the build published it in `site` (named by its
// content: "page-hid" is page-hid.<digest>.js), imported as it is, so that
// what the page computes is taken from the page itself.
export async function loadPageModule(site, stem, suffix = "js") {
  const pattern = new RegExp(`^${stem}\\.[0-9a-f]{16}\\.${suffix}$`);
  const found = fs.existsSync(site) ? fs.readdirSync(site).filter((name) => pattern.test(name)) : [];
  if (found.length !== 1) {
    throw new Error(`${site} holds no ${stem}.${suffix}: build the page again (tests/real-hid/build.sh)`);
  }
  return import(pathToFileURL(path.join(site, found[0])).href);
}

// The numbers the page shares with the program (names.mjs of the page's
// folder, made from the C++ headers by the build): N.IDS_READY, ...
export async function loadNames(site) {
  return Object.freeze({ ...(await loadPageModule(site, "names", "mjs")) });
}

// ---------------------------------------------------------------- in the page

// Runs in the page before its scripts: records what WebHID does underneath
// the page (connect and disconnect events, each sendReport's outcome with
// its error's name and message, input reports with their report ID and
// length), each with performance.now(). Nothing is changed on the way: the
// page gets the same promises and events.
export function recordWebHid() {
  const log = [];
  window.__webhid = log;
  if (!navigator.hid) {
    return;
  }
  const at = () => Math.round(performance.now() * 10) / 10;
  for (const type of ["connect", "disconnect"]) {
    navigator.hid.addEventListener(type, (event) => log.push({
      at: at(), event: type, productId: event.device.productId, opened: event.device.opened,
    }));
  }
  let sent = 0;
  const send = HIDDevice.prototype.sendReport;
  HIDDevice.prototype.sendReport = function (reportId, data) {
    const number = ++sent;
    const length = data?.byteLength;
    const command = data && data.byteLength > 0
      ? new Uint8Array(data.buffer ?? data, data.byteOffset ?? 0, 1)[0] : null;
    const promise = send.call(this, reportId, data);
    const entry = { at: at(), event: "sendReport", number, reportId, length, command };
    log.push(entry);
    promise.then(
      () => { entry.settled = "resolved"; entry.settledAt = at(); },
      (error) => { entry.settled = "rejected"; entry.settledAt = at(); entry.error = `${error.name}: ${error.message}`; });
    return promise;
  };
  const open = HIDDevice.prototype.open;
  HIDDevice.prototype.open = function () {
    const promise = open.call(this);
    const entry = { at: at(), event: "open", productId: this.productId };
    log.push(entry);
    promise.then(
      () => { entry.settled = "resolved"; },
      (error) => { entry.settled = "rejected"; entry.error = `${error.name}: ${error.message}`; });
    if (!this.__recorded) {
      this.__recorded = true;
      this.addEventListener("inputreport", (event) => log.push({
        at: at(), event: "inputreport", reportId: event.reportId, length: event.data.byteLength,
        status: event.data.byteLength > 0 ? event.data.getUint8(0) : null,
      }));
    }
    return promise;
  };
}

// The WebHID record of the page, the last `count` entries (all: 0), with
// the sendReport entries that are still pending marked as such.
export async function webHidRecord(page, count = 0) {
  return page.evaluate((n) => {
    const log = window.__webhid || [];
    return (n > 0 ? log.slice(-n) : log).map((entry) =>
      (entry.event === "sendReport" && !entry.settled ? { ...entry, settled: "pending" } : entry));
  }, count);
}

// What the browser says about the granted units: the HIDDevice fields and
// the collections as Chromium made them from the report descriptor.
export async function grantedDevices(page) {
  return page.evaluate(async () => {
    const devices = await navigator.hid.getDevices();
    const report = (r) => ({
      reportId: r.reportId,
      items: r.items.map((item) => ({
        reportSize: item.reportSize, reportCount: item.reportCount, usages: item.usages,
        logicalMinimum: item.logicalMinimum, logicalMaximum: item.logicalMaximum,
        isArray: item.isArray, isAbsolute: item.isAbsolute, isConstant: item.isConstant,
      })),
    });
    const collection = (c) => ({
      usagePage: c.usagePage, usage: c.usage, type: c.type,
      children: c.children.map(collection),
      inputReports: c.inputReports.map(report),
      outputReports: c.outputReports.map(report),
      featureReports: c.featureReports.map(report),
    });
    return devices.map((d) => ({
      vendorId: d.vendorId, productId: d.productId, productName: d.productName, opened: d.opened,
      collections: d.collections.map(collection),
    }));
  });
}

// ---------------------------------------------------------------- figures

// The nearest-rank percentile of `values` (any order).
export function percentile(values, fraction) {
  const sorted = [...values].sort((a, b) => a - b);
  const rank = Math.min(sorted.length, Math.max(1, Math.ceil(fraction * sorted.length)));
  return sorted[rank - 1];
}

// `count` exchanges of CMD_GET_UNIT_STATUS through WebHID in `page` (whose
// origin the policy grants the unit): sendReport(1, 59 bytes), then the
// input report. Resolves to {times (ms each), sendTimes (ms until sendReport
// resolved), reportId, length, first (the first reply's bytes after the ID)}.
export async function webHidExchanges(N, page, count) {
  const unit = {
    vendorId: N.UNIT_VENDOR_ID, reportId: N.COMMAND_REPORT_ID, bytes: N.REPORT_SIZE - 1,
    command: N.CMD_GET_UNIT_STATUS,
  };
  return page.evaluate(async (n, unit) => {
    const [device] = (await navigator.hid.getDevices()).filter((d) => d.vendorId === unit.vendorId);
    if (!device) {
      throw new Error("no unit is granted to this page");
    }
    if (!device.opened) {
      await device.open();
    }
    const command = new Uint8Array(unit.bytes);
    command[0] = unit.command;
    const times = [];
    const sendTimes = [];
    let first = null;
    let reportId = null;
    let length = null;
    try {
      for (let i = 0; i < n; ++i) {
        const start = performance.now();
        const reply = new Promise((resolve, reject) => {
          const timer = setTimeout(() => reject(new Error(`exchange ${i + 1}: no reply within 5 s`)), 5000);
          device.addEventListener("inputreport", (event) => {
            clearTimeout(timer);
            resolve(event);
          }, { once: true });
        });
        await device.sendReport(unit.reportId, command);
        sendTimes.push(performance.now() - start);
        const event = await reply;
        times.push(performance.now() - start);
        if (first === null) {
          reportId = event.reportId;
          length = event.data.byteLength;
          first = Array.from(new Uint8Array(event.data.buffer, event.data.byteOffset, event.data.byteLength));
        }
      }
    } finally {
      await device.close();
    }
    return { times, sendTimes, reportId, length, first };
  }, count, unit);
}
