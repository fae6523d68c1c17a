// The product page in Chromium against the emulated unit on a real HID
// stack: the kernel's uhid and hidraw, systemd-udevd, Chromium's own WebHID
// (no stand-in), the page built with the test image. Runs inside the
// virtual machine, started by tests/real-hid/guest-browser.sh; each case
// prints PASS or FAIL with what it saw, and NOTE lines record how the real
// stack behaved where the tests' stand-in WebHID models it. Exits non-zero
// when a case failed.
//
// Cases: the unit found at start with its Ready rows; a whole update with
// the real waits and the ESC's flash afterwards; the unit refusing the
// purge; the unit pulled out at block 500 and plugged in again; the unit
// pulled out by hand during the data blocks; Chromium as an ordinary user
// without access to the unit's hidraw node, then with the project's udev
// rule and the access the seat's user gets.
import { execFileSync, spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";

import {
  ROOT,
  UnitProcess,
  answer,
  grantUnitsByPolicy,
  grantedDevices,
  hidDeviceOf,
  loadNames,
  loadPageModule,
  recordPage,
  recordWebHid,
  say,
  seen,
  sleep,
  startChromium,
  startServers,
  udevRecord,
  udevTookUp,
  until,
  view,
  waitForBox,
  waitForHint,
  waitInPage,
  webHidRecord,
} from "./browser-guest.mjs";
import { textsFor } from "../web/texts.mjs";

const UHID_UNIT = process.env.ORVANTO_UHID_UNIT;
const HIDRAW_EXCHANGE = process.env.ORVANTO_HIDRAW_EXCHANGE;
const SITE = process.env.ORVANTO_SITE;
const TEST_IMAGE = process.env.ORVANTO_TEST_IMAGE;
const WORK = process.env.ORVANTO_WORK || "/tmp/work";

const N = await loadNames(SITE);
// The page's own rule for the report lengths (page-hid.js).
const { reportLength } = await loadPageModule(SITE, "page-hid");
const T = textsFor("en", N);

// The ordinary user Chromium runs as in the permission case.
const USER = { name: "nobody", uid: 65534, gid: 65534 };
const UDEV_RULE = path.join(ROOT, "install", "linux", "70-orvanto-programming-unit.rules");
const RULES_DIR = "/run/udev/rules.d";
// Another vendor's HID device, for what the rule must leave alone.
const OTHER_VENDOR_ID = 0x1209;

const BLOCK_BYTES = 48;
const FLASH_BYTES = 128 * 1024;

// Limits: they only keep a broken run from hanging. Under TCG the page
// takes some seconds to load and compile its program; an update takes its
// 46 s of waits plus about 2,000 exchanges of a few tens of milliseconds.
const PAGE_READY_MS = 180000;
const BOX_MS = 120000;
const UPDATE_MS = 600000;

// ---------------------------------------------------------------- cases

const results = [];

function check(condition, message) {
  if (!condition) {
    throw new Error(message);
  }
}

function equal(actual, expected, what) {
  if (actual !== expected) {
    throw new Error(`${what}: ${JSON.stringify(actual)}, not ${JSON.stringify(expected)}`);
  }
}

// Runs one case: `fn(c)` with c.seen(line) for what it saw, c.note(line) for
// how the real stack behaved, c.later(fn) for its clean-up.
async function runCase(name, fn) {
  say(`case: ${name}`);
  const c = { seenLines: [], notes: [], cleanups: [] };
  c.seen = (line) => {
    c.seenLines.push(line);
    say(`  ${line}`);
  };
  c.note = (line) => c.notes.push(line);
  c.later = (cleanup) => c.cleanups.unshift(cleanup);
  let failure = null;
  try {
    await fn(c);
  } catch (error) {
    failure = error;
  }
  for (const cleanup of c.cleanups) {
    try {
      await cleanup();
    } catch (error) {
      failure ??= new Error(`clean-up: ${error.message}`);
    }
  }
  results.push({ name, passed: !failure });
  console.log(failure ? `FAIL: ${name}: ${failure.message}` : `PASS: ${name}`);
  for (const line of c.seenLines) {
    console.log(`      seen: ${line}`);
  }
  for (const line of c.notes) {
    console.log(`      NOTE: ${line}`);
  }
}

// ---------------------------------------------------------------- the unit

// Starts an emulated unit (orvanto-uhid-unit `args`) and waits until udev
// has taken up its hidraw node. The unit is ended by the case's clean-up.
async function startUnit(c, name, args = []) {
  const flash = path.join(WORK, `${name}-flash.bin`);
  fs.rmSync(flash, { force: true });
  const unit = UnitProcess.start(UHID_UNIT, [...args, "--flash-out", flash], path.join(WORK, `${name}-unit.log`));
  unit.flashFile = flash;
  c.later(() => unit.quit());
  unit.currentNode = await unit.node();
  await udevTookUp(unit.currentNode);
  return unit;
}

// Ends the unit; returns the ESC's flash it wrote at its end.
async function flashOf(unit) {
  const { code } = await unit.quit();
  equal(code, 0, "the unit's exit status");
  return fs.readFileSync(unit.flashFile);
}

// One exchange of `command` through the raw hidraw node, as `user` (root
// when null): {ok, output}.
function rawExchange(node, command, user = null) {
  const args = ["--count", "1", "--command", command, node];
  const run = user
    ? spawnSync("setpriv", [`--reuid=${user.uid}`, `--regid=${user.gid}`, "--clear-groups", HIDRAW_EXCHANGE, ...args],
      { encoding: "utf8", timeout: 20000 })
    : spawnSync(HIDRAW_EXCHANGE, args, { encoding: "utf8", timeout: 20000 });
  return { ok: run.status === 0, output: `${run.stdout}${run.stderr}`.trim() };
}

// A node's access control list, one line.
function acl(file) {
  return execFileSync("getfacl", ["-cp", file], { encoding: "utf8" }).trim().split("\n").join(" ");
}

// ---------------------------------------------------------------- the page

// Opens the product page in a fresh browser context (its own storage and
// service worker), recording its boxes and what WebHID does underneath.
async function openUpdater(c, session, url) {
  const context = await session.browser.createBrowserContext();
  c.later(() => context.close());
  const page = await context.newPage();
  page.setDefaultTimeout(60000);
  await page.evaluateOnNewDocument(recordPage);
  await page.evaluateOnNewDocument(recordWebHid);
  page.consoleErrors = [];
  page.on("pageerror", (error) => page.consoleErrors.push(String(error)));
  page.on("error", (error) => {
    page.crashed ??= String(error.message || error);
  });
  await page.goto(url, { waitUntil: "load", timeout: PAGE_READY_MS });
  // Marks this document: a reload would lose it.
  await page.evaluate(() => {
    window.__sameDocument = true;
  });
  return page;
}

async function waitForReady(page, what = "Ready") {
  await waitForHint(page, T.text(N.IDS_READY), PAGE_READY_MS, what);
  await waitInPage(page, () => document.getElementById("update")?.disabled === false, null, 30000,
    "Update enabled");
}

// The rows of the default unit (a LINK-BOX with firmware 1.4, an ESC with
// bootloader 1.2.3 and firmware 2.5: what the uhid unit answers, see
// rawIdentity).
const DEFAULT_ROWS = { labelUnit: "LINK-BOX", versionUnit: "1.4", versionBootloader: "1.2.3", versionEsc: "2.5" };

function checkRows(shown, expected = DEFAULT_ROWS) {
  for (const [key, value] of Object.entries(expected)) {
    equal(shown[key], value, `the row ${key}`);
  }
}

// What the unit itself says to the identification queries, over hidraw.
function rawIdentity(node) {
  const replies = [];
  for (const command of ["status", "memory", "esc-info", "esc-identity"]) {
    const { ok, output } = rawExchange(node, command);
    check(ok, `hidraw-exchange --command ${command} failed: ${output}`);
    replies.push(`${command}: ${/reply: (.*)/.exec(output)?.[1]}`);
  }
  return replies;
}

// Runs Update to its confirmation and answers OK.
async function startUpdate(page) {
  const before = (await seen(page)).boxes.length;
  await page.click("#update");
  const confirmation = await waitForBox(page, before + 1, BOX_MS);
  equal(confirmation.caption, T.text(N.IDS_CONFIRM_CAPTION), "the confirmation's caption");
  await answer(page, N.ANSWER_OK);
  return before + 1;
}

function describe(entry, origin) {
  const at = `${(entry.at - origin).toFixed(1)} ms`;
  switch (entry.event) {
    case "sendReport":
      return `${at}: sendReport #${entry.number} (ID ${entry.reportId}, ${entry.length} bytes, command ` +
        `0x${(entry.command ?? 0).toString(16)}) ${entry.settled}` +
        (entry.settledAt !== undefined ? ` at ${(entry.settledAt - origin).toFixed(1)} ms` : "") +
        (entry.error ? ` with ${entry.error}` : "");
    case "inputreport":
      return `${at}: inputreport (ID ${entry.reportId}, ${entry.length} bytes, status 0x${(entry.status ?? 0).toString(16)})`;
    case "box":
      return `${at}: the failure box opens`;
    default:
      return `${at}: ${entry.event}${entry.opened !== undefined ? ` (device.opened ${entry.opened})` : ""}`;
  }
}

// ---------------------------------------------------------------- the cases

async function foundAtStart(session, url) {
  await runCase("the unit is found at start and its Ready rows are the unit's", async (c) => {
    const unit = await startUnit(c, "ready");
    const identity = rawIdentity(unit.currentNode);
    c.seen(`the unit over hidraw: ${identity.join("; ")}`);
    const began = Date.now();
    const page = await openUpdater(c, session, url);
    await waitForReady(page);
    const shown = await view(page);
    checkRows(shown);
    c.seen(`Ready ${((Date.now() - began) / 1000).toFixed(1)} s after the page was opened: rows ` +
      `${shown.labelUnit} ${shown.versionUnit}, ${shown.versionBootloader}, ${shown.versionEsc}; Update enabled`);
    await unit.waitForLine(/^opened$/, 10000);

    // The report IDs and lengths as the page used them on the real stack.
    const record = await webHidRecord(page);
    const sent = record.filter((e) => e.event === "sendReport");
    const received = record.filter((e) => e.event === "inputreport");
    check(sent.length >= 3, `identification sent ${sent.length} reports`);
    const dataBytes = N.REPORT_SIZE - 1;
    for (const entry of sent) {
      check(entry.reportId === N.COMMAND_REPORT_ID && entry.length === dataBytes && entry.settled === "resolved",
        `a report went out as ${JSON.stringify(entry)}, not ID ${N.COMMAND_REPORT_ID} with ${dataBytes} bytes, written`);
    }
    equal(received.length, sent.length, "input reports, one per command");
    for (const entry of received) {
      check(entry.reportId === N.REPLY_REPORT_ID && entry.length === dataBytes,
        `a reply came as ID ${entry.reportId} with ${entry.length} bytes`);
    }
    c.seen(`${sent.length} commands sent as sendReport(${N.COMMAND_REPORT_ID}, ${dataBytes} bytes), ` +
      `${received.length} replies as inputreport ID ${N.REPLY_REPORT_ID} with ${dataBytes} data bytes`);
    const malformed = (await unit.status()).match(/malformed=(\d+)/)?.[1];
    equal(malformed, "0", "reports the unit received malformed");

    const [device] = await grantedDevices(page);
    const input = reportLength(device.collections, "inputReports");
    const output = reportLength(device.collections, "outputReports");
    const describeReports = (reports) => reports.map((r) =>
      `ID ${r.reportId}: ${r.items.map((i) => `${i.reportCount} x ${i.reportSize} bits`).join(" + ")}`).join(", ");
    const top = device.collections[0];
    c.note(`Chromium's collections for the unit's descriptor: ${device.collections.length} collection, usage page ` +
      `0x${top.usagePage.toString(16)} usage ${top.usage} type ${top.type}, input reports [${describeReports(top.inputReports)}], ` +
      `output reports [${describeReports(top.outputReports)}], feature reports ${top.featureReports.length}, ` +
      `children ${top.children.length}; productName "${device.productName}"`);
    c.note(`the report lengths the page (app/web/page-hid.js) computes from them, ID byte included: ` +
      `input ${input}, output ${output} (the stand-in WebHID builds the same shape from the unit's settings)`);
    equal(input, N.REPORT_SIZE, "the input report length from Chromium's collections");
    equal(output, N.REPORT_SIZE, "the output report length from Chromium's collections");
    check(page.consoleErrors.length === 0 && (await seen(page)).errors.length === 0,
      `script errors: ${[...page.consoleErrors, ...(await seen(page)).errors].join(" | ")}`);
  });
}

async function wholeUpdate(session, url, image) {
  await runCase("a whole update with the real waits, and the ESC's flash holds the test image", async (c) => {
    const unit = await startUnit(c, "update");
    const page = await openUpdater(c, session, url);
    await waitForReady(page);
    await startUpdate(page);
    await waitForHint(page, T.text(N.IDS_UPDATE_SUCCEEDED), UPDATE_MS, "the success hint");
    const record = await seen(page);
    const shown = await view(page);
    equal(record.boxes.length, 1, "message boxes (the confirmation only)");
    equal(shown.versionEsc, "3.0", "the ESC row after the update");
    equal(shown.updateDisabled, true, "Update disabled after success");
    const blocks = Math.ceil(image.length / BLOCK_BYTES);
    equal(record.progress.length, blocks + 1, "progress positions (0, then one per block)");
    equal(record.progress.at(-1), 100, "the last progress position");
    const successAt = record.hints.find((h) => h.text === T.text(N.IDS_UPDATE_SUCCEEDED)).at;
    c.seen(`success ${((successAt - record.okAt) / 1000).toFixed(1)} s after OK on the page's clock ` +
      `(${blocks} blocks, 45.84 s of waits); ESC row 3.0, no box but the confirmation`);
    const status = await unit.status();
    check(status.includes(`blocks=${blocks} `), `the unit's status: ${status}`);
    c.seen(`the unit: ${status}`);

    await page.close();
    const flash = await flashOf(unit);
    equal(flash.length, FLASH_BYTES, "the flash file's size");
    check(flash.subarray(0, image.length).equals(image), "the flash does not hold the test image from address 0");
    check(flash.subarray(image.length).every((b) => b === 0xff), "something was written past the image");
    c.seen(`flash: the ${image.length} bytes of the test image from address 0, then ${FLASH_BYTES - image.length} bytes of 0xFF`);
  });
}

async function purgeRefused(session, url) {
  await runCase("the unit refuses the purge: the failure box names its error code", async (c) => {
    await startUnit(c, "purge", ["--fault", "unit-error:purge:0x1234"]);
    const page = await openUpdater(c, session, url);
    await waitForReady(page);
    const confirmation = await startUpdate(page);
    const box = await waitForBox(page, confirmation + 1, BOX_MS);
    equal(box.caption, T.text(N.IDS_UPDATE_FAILED_CAPTION), "the failure box's caption");
    equal(box.text, `${T.text(N.IDS_PURGE_FAILED)}\n${T.codeLine(0x1234, 0)}`, "the failure box's text");
    equal(box.progressOpen, false, "the progress panel closed before the box");
    c.seen(`failure box: ${JSON.stringify(box.text)}`);
    await answer(page, N.ANSWER_OK);
    await waitForHint(page, T.text(N.IDS_UPDATE_FAILED_HINT), 30000, "the failure hint");
    equal((await view(page)).updateDisabled, true, "Update disabled after the failure");
  });
}

async function pulledOutAndBack(session, url, image) {
  await runCase("the unit pulled out at block 500: the failure box, then found again without a reload", async (c) => {
    const unit = await startUnit(c, "unplug", ["--fault", "unplug:block:500"]);
    const page = await openUpdater(c, session, url);
    await waitForReady(page);
    const confirmation = await startUpdate(page);
    const box = await waitForBox(page, confirmation + 1, UPDATE_MS);
    const boxSeen = await seen(page);
    const record = await webHidRecord(page);
    equal(box.caption, T.text(N.IDS_UPDATE_FAILED_CAPTION), "the failure box's caption");
    const [reason, codeLine] = box.text.split("\n");
    equal(reason, T.text(N.IDS_DATA_BLOCK_FAILED), "the failure box's reason");
    const code = T.parseCodeLine(codeLine || "");
    check(code !== null, `no code line in ${JSON.stringify(box.text)}`);
    c.seen(`failure box: ${JSON.stringify(box.text)}`);
    check([N.LINK_WRITE_FAILED, N.LINK_READ_FAILED].includes(code.status),
      `the status ${T.hex(code.status)} is neither a failed write nor a failed read`);
    equal(box.progressOpen, false, "the progress panel closed before the box");
    equal(boxSeen.progress.length, 500, "progress positions (0, then blocks 1 to 499)");
    await unit.waitForLine(/^fault: the unit is pulled out before the report reached it/, 10000);

    // How the loss reached the page: the last writes, the reads, the
    // disconnect event and the box, on the page's clock.
    const lastWrite = record.findLastIndex((e) => e.event === "sendReport");
    const tail = record.slice(Math.max(0, lastWrite - 1));
    const origin = record[lastWrite].at;
    const timeline = [...tail, { event: "box", at: box.at }].sort((a, b) => a.at - b.at)
      .map((e) => describe(e, origin));
    const explain = code.status === N.LINK_READ_FAILED
      ? "the write of block 500 succeeded (the kernel took the report before the unit went away) and the reply's read failed"
      : "the write of block 500 failed";
    c.note(`pulled out at block 500 the real stack gives the code line ${T.hex(code.status)}-${T.hex(code.lastError)}: ` +
      `${explain}; the stand-in WebHID gives 0xfffffffe-0x0000048f (the write fails with the device gone). ` +
      `Order on the page's clock: ${timeline.join("; ")}`);
    equal(code.lastError, N.PLATFORM_ERROR_DEVICE_NOT_CONNECTED,
      "the last error (ERROR_DEVICE_NOT_CONNECTED: the device went away)");

    await answer(page, N.ANSWER_OK);
    await waitForHint(page, T.text(N.IDS_UPDATE_FAILED_HINT), 30000, "the failure hint");
    const from = unit.lines.length;
    unit.command("plug");
    unit.currentNode = await unit.node(from);
    await waitForReady(page, "Ready after the unit was plugged in again");
    check(await page.evaluate(() => window.__sameDocument === true), "the page was loaded again");
    // The purge erased the ESC: it has no firmware version now.
    const status = await unit.status();
    check(status.includes("esc-version=0xFFFF"), `the unit's status: ${status}`);
    checkRows(await view(page), { ...DEFAULT_ROWS, versionEsc: "----------" });
    const connect = (await webHidRecord(page)).filter((e) => e.event === "connect");
    check(connect.length >= 1, "no connect event reached the page");
    c.seen(`plugged in again as ${unit.currentNode}: connect event, Ready in the same document, rows LINK-BOX 1.4, ` +
      "1.2.3 and ---------- (the purged ESC has no firmware version)");

    await page.close();
    const flash = await flashOf(unit);
    const written = 499 * BLOCK_BYTES;
    check(flash.subarray(0, written).equals(image.subarray(0, written)), "blocks 1 to 499 are not in the flash");
    check(flash.subarray(written).every((b) => b === 0xff), "something past block 499 was written");
    c.seen(`flash: blocks 1 to 499 of the image (${written} bytes), 0xFF after them`);
  });
}

// Pulled out by hand at any moment of the data blocks, mostly while the
// page waits between two blocks: its next write meets a node that is gone.
// Catches a code line that blames the browser (ERROR_GEN_FAILURE, 31) for
// a unit that went away: Chromium rejects that write before it reports the
// device gone, and the page must still name the unit's going (1167), as the
// Windows program does.
async function pulledOutByHand(session, url) {
  await runCase("the unit pulled out by hand during the data blocks: the code line names the device gone", async (c) => {
    const unit = await startUnit(c, "by-hand");
    const page = await openUpdater(c, session, url);
    await waitForReady(page);
    const confirmation = await startUpdate(page);
    await waitInPage(page, () => window.__seen.progress.at(-1) >= 20, null, UPDATE_MS, "a fifth of the blocks");
    unit.command("unplug");
    const box = await waitForBox(page, confirmation + 1, BOX_MS);
    const pulledAt = (await seen(page)).progress.at(-1);
    const record = await webHidRecord(page);
    const lastWrite = record.findLastIndex((e) => e.event === "sendReport");
    const origin = record[lastWrite].at;
    const timeline = [...record.slice(Math.max(0, lastWrite - 2)), { event: "box", at: box.at }]
      .sort((a, b) => a.at - b.at).map((e) => describe(e, origin));
    c.seen(`pulled out at ${pulledAt} %: failure box ${JSON.stringify(box.text)}`);
    c.note(`pulled out by hand: ${timeline.join("; ")}`);
    equal(box.caption, T.text(N.IDS_UPDATE_FAILED_CAPTION), "the failure box's caption");
    const [reason, codeLine] = box.text.split("\n");
    equal(reason, T.text(N.IDS_DATA_BLOCK_FAILED), "the failure box's reason");
    const code = T.parseCodeLine(codeLine || "");
    check(code !== null, `no code line in ${JSON.stringify(box.text)}`);
    check([N.LINK_WRITE_FAILED, N.LINK_READ_FAILED].includes(code.status),
      `the status ${T.hex(code.status)} is neither a failed write nor a failed read`);
    equal(T.hex(code.lastError), T.hex(N.PLATFORM_ERROR_DEVICE_NOT_CONNECTED),
      "the last error (ERROR_DEVICE_NOT_CONNECTED: the unit went away)");
    await answer(page, N.ANSWER_OK);
    await waitForHint(page, T.text(N.IDS_UPDATE_FAILED_HINT), 30000, "the failure hint");
  });
}

// The udev rule: installed from the project's own file, it tags the unit's
// hidraw node for the seat's user and leaves another vendor's device alone.
async function permission(url) {
  await runCase("an ordinary user's Chromium: the permission text, then the udev rule and the seat's access", async (c) => {
    const unit = await startUnit(c, "permission");
    const node = unit.currentNode;
    const before = udevRecord(node);
    const stat = fs.statSync(node);
    c.seen(`before the rule, ${node} (${hidDeviceOf(node)}): mode ${(stat.mode & 0o777).toString(8)}, ` +
      `owner ${stat.uid}, ACL ${acl(node)}, udev tags [${before.tags}]`);
    check(!before.tags.includes("uaccess"), "the node has the uaccess tag before the rule is installed");
    check(!rawExchange(node, "status", USER).ok, `${USER.name} can open ${node} before the rule`);

    const session = await startChromium({ user: USER, home: "/tmp/nobody-home",
      logFile: path.join(WORK, `chromium-${USER.name}.log`) });
    c.later(() => session.close());
    c.seen(`Chromium as ${USER.name} (uid ${USER.uid}) started in ${(session.startMs / 1000).toFixed(1)} s`);
    const page = await openUpdater(c, session, url);
    await waitInPage(page, () => {
      const element = document.getElementById("open-refused");
      return element && !element.hidden && document.documentElement.dataset.state === "idle";
    }, null, PAGE_READY_MS, "the permission text");
    const refused = await view(page);
    equal(refused.openRefusedText, T.text(N.IDS_PAGE_OPEN_REFUSED), "the permission text");
    equal(refused.updateDisabled, true, "Update disabled while the unit cannot be opened");
    const open = (await webHidRecord(page)).find((e) => e.event === "open");
    check(open?.settled === "rejected", `open() was not refused: ${JSON.stringify(open)}`);
    c.seen(`the page shows the permission text; HIDDevice.open() rejected with ${open.error}`);

    // The project's rule, the file itself, and the part of logind that a
    // machine without a seat session lacks: the seat's user gets an ACL on
    // every node tagged uaccess, before anyone else hears of the device.
    fs.mkdirSync(RULES_DIR, { recursive: true });
    const installed = path.join(RULES_DIR, path.basename(UDEV_RULE));
    fs.symlinkSync(UDEV_RULE, installed);
    const seat = path.join(RULES_DIR, "73-seat-user-stand-in.rules");
    fs.writeFileSync(seat,
      "# What logind does for the user at the seat: an ACL on each node tagged uaccess.\n" +
      `SUBSYSTEM=="hidraw", TAG=="uaccess", RUN+="/usr/bin/setfacl -m u:${USER.name}:rw $env{DEVNAME}"\n`);
    c.later(() => {
      fs.rmSync(installed, { force: true });
      fs.rmSync(seat, { force: true });
    });
    equal(fs.realpathSync(installed), fs.realpathSync(UDEV_RULE), "the installed rule");
    c.seen(`installed ${installed} -> ${path.relative(ROOT, fs.realpathSync(installed))}`);
    // systemd-udevd reads changed rule files by itself before the next
    // event, looking at most every 3 s ("udevadm control --reload-rules" is
    // ignored in a chroot such as this machine's).
    await sleep(4000);

    // The unit plugged in again, as the page's text says.
    let from = unit.lines.length;
    unit.command("unplug");
    await unit.waitForLine(/^unplugged$/, 10000, from);
    from = unit.lines.length;
    unit.command("plug");
    const again = await unit.node(from);
    const record = await until(() => {
      const found = fs.existsSync(again) && udevRecord(again);
      return found && found.currentTags.includes("uaccess") ? found : null;
    }, 30000, `udev did not tag ${again} uaccess`);
    c.seen(`udevadm info ${again} (${hidDeviceOf(again)}): TAGS=${record.properties.TAGS} ` +
      `CURRENT_TAGS=${record.properties.CURRENT_TAGS}`);

    // Another vendor's device, plugged in now that the rule is in force.
    const other = await startUnit(c, "other-vendor", ["--vendor-id", `0x${OTHER_VENDOR_ID.toString(16)}`]);
    const otherRecord = udevRecord(other.currentNode);
    const otherHid = hidDeviceOf(other.currentNode);
    check(otherHid.startsWith(`0003:${OTHER_VENDOR_ID.toString(16).toUpperCase().padStart(4, "0")}:0002.`),
      `the other device is ${otherHid}`);
    check(!otherRecord.tags.includes("uaccess") && !otherRecord.currentTags.includes("uaccess"),
      `the rule tagged another vendor's device: TAGS ${otherRecord.properties.TAGS}`);
    c.seen(`udevadm info ${other.currentNode} (${otherHid}): TAGS=${otherRecord.properties.TAGS ?? "(none)"} ` +
      `CURRENT_TAGS=${otherRecord.properties.CURRENT_TAGS ?? "(none)"}`);

    for (const file of [again, other.currentNode]) {
      const mode = fs.statSync(file).mode & 0o777;
      check((mode & 0o007) === 0, `${file} has mode ${mode.toString(8)}: others may use it`);
      c.seen(`${file}: mode ${mode.toString(8)}, ACL ${acl(file)}`);
    }
    check(acl(again).includes(`user:${USER.name}:rw-`), `the unit's node has no ACL for ${USER.name}`);
    check(acl(again).includes("group::---") && acl(again).includes("other::---"),
      "the unit's node is open to its group or to everybody");
    check(!acl(other.currentNode).includes(`user:${USER.name}`), `the other device's node has an ACL for ${USER.name}`);
    const otherOpen = rawExchange(other.currentNode, "status", USER);
    check(!otherOpen.ok, `${USER.name} opened another vendor's device`);
    c.seen(`${USER.name} and the other device: ${/FAILED: (.*)/.exec(otherOpen.output)?.[1] ?? otherOpen.output}`);

    await waitForReady(page, "Ready after the rule, the unit plugged in again");
    const shown = await view(page);
    checkRows(shown);
    equal(shown.openRefusedShown, false, "the permission text after the unit was opened");
    check(await page.evaluate(() => window.__sameDocument === true), "the page was loaded again");
    c.seen(`Chromium as ${USER.name} opened the unit: Ready, rows ${shown.labelUnit} ${shown.versionUnit}, ` +
      `${shown.versionBootloader}, ${shown.versionEsc}; the permission text gone`);
  });
}

// ---------------------------------------------------------------- the run

async function main() {
  for (const [name, value] of Object.entries({ UHID_UNIT, HIDRAW_EXCHANGE, SITE, TEST_IMAGE })) {
    if (!value || !fs.existsSync(value)) {
      throw new Error(`${name} is not set or missing (${value}): run this through tests/real-hid/guest-browser.sh`);
    }
  }
  const image = fs.readFileSync(TEST_IMAGE);
  const servers = await startServers(SITE, "/tmp/bare-page");
  const policy = grantUnitsByPolicy(N, servers.origins);
  say(`the managed policy grants vendor 16153, products 1 and 2, to ${policy.WebHidAllowDevicesForUrls[0].urls.join(", ")}`);
  const url = servers.product.url + "index.html";

  // The cases to run: all, or those named on the command line.
  const asRoot = {
    ready: (session) => foundAtStart(session, url),
    update: (session) => wholeUpdate(session, url, image),
    purge: (session) => purgeRefused(session, url),
    unplug: (session) => pulledOutAndBack(session, url, image),
    "by-hand": (session) => pulledOutByHand(session, url),
  };
  const names = [...Object.keys(asRoot), "permission"];
  const wanted = process.argv.slice(2).length > 0 ? process.argv.slice(2) : names;
  for (const name of wanted) {
    if (!names.includes(name)) {
      throw new Error(`no case "${name}" (${names.join(", ")})`);
    }
  }
  try {
    if (wanted.some((name) => name in asRoot)) {
      const root = await startChromium({ home: "/tmp/root-browser", logFile: path.join(WORK, "chromium-root.log") });
      say(`Chromium as root started in ${(root.startMs / 1000).toFixed(1)} s: ` +
        `${await root.browser.version()}`);
      try {
        for (const name of wanted.filter((n) => n in asRoot)) {
          await asRoot[name](root);
        }
      } finally {
        await root.close();
      }
    }
    if (wanted.includes("permission")) {
      await permission(url);
    }
  } finally {
    await servers.product.close();
    await servers.bare.close();
  }

  const failed = results.filter((r) => !r.passed);
  console.log(`browser on the real HID stack: ${results.length - failed.length} of ${results.length} cases passed`);
  return failed.length === 0 && results.length === wanted.length ? 0 : 1;
}

main().then((status) => process.exit(status), (error) => {
  console.log(`FAIL: ${error.stack || error.message}`);
  process.exit(1);
});
