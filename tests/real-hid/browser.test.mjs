// The product page in Chromium against the emulated unit on a real HID
// stack: the kernel's uhid and hidraw, systemd-udevd, Chromium's own WebHID
// (no stand-in), the page built with the test image. Runs inside the
// virtual machine, started by tests/real-hid/guest-browser.sh, under node's
// test runner.
//
// The owner's stories of tests/stories/ that the real stack can play, each
// with a unit of its own; then what only the real stack shows: the report
// lengths Chromium's collections give for the unit's descriptor, the unit
// pulled out by hand during the data blocks, and Chromium as an ordinary
// user without access to the unit's hidraw node, then with the project's
// udev rule and the access the seat's user gets. Diagnostic lines record
// how the real stack behaved where the tests' stand-in WebHID models it.
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import {
  ROOT,
  answer,
  grantUnitsByPolicy,
  grantedDevices,
  hidDeviceOf,
  instrumentPage,
  loadNames,
  loadPageModule,
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
  waitForState,
  waitInPage,
  webHidRecord,
} from "./browser-guest.mjs";
import { kernelUnit, startUnit as startKernelUnit } from "./kernel-unit.mjs";
import { playStory } from "../web/play-story.mjs";
import { textsFor } from "../web/texts.mjs";
import { cannotPlay, loadStories } from "../stories/stories.mjs";

const UHID_UNIT = process.env.ORVANTO_UHID_UNIT;
const HIDRAW_EXCHANGE = process.env.ORVANTO_HIDRAW_EXCHANGE;
const SITE = process.env.ORVANTO_SITE;
const TEST_IMAGE = process.env.ORVANTO_TEST_IMAGE;
const WORK = process.env.ORVANTO_WORK || "/tmp/work";

for (const [name, value] of Object.entries({ UHID_UNIT, HIDRAW_EXCHANGE, SITE, TEST_IMAGE })) {
  if (!value || !fs.existsSync(value)) {
    throw new Error(`${name} is not set or missing (${value}): run this through tests/real-hid/guest-browser.sh`);
  }
}

const N = await loadNames(SITE);
// The page's own rule for the report lengths (page-hid.js).
const { reportLength } = await loadPageModule(SITE, "page-hid");
const T = textsFor("en", N);
const STORIES = loadStories(N);
const IMAGE = fs.readFileSync(TEST_IMAGE);

// The ordinary user Chromium runs as in the permission case.
const USER = { name: "nobody", uid: 65534, gid: 65534 };
const UDEV_RULE = path.join(ROOT, "install", "linux", "70-orvanto-programming-unit.rules");
const RULES_DIR = "/run/udev/rules.d";
// Another vendor's HID device, for what the rule must leave alone.
const OTHER_VENDOR_ID = 0x1209;

// Limits: they only keep a broken run from hanging. Under TCG the page
// takes some seconds to load and compile its program; an update takes its
// 46 s of waits plus about 2,000 exchanges of a few tens of milliseconds.
const PAGE_READY_MS = 180000;
const BOX_MS = 120000;
const UPDATE_MS = 600000;

function check(condition, message) {
  assert.ok(condition, message);
}

function equal(actual, expected, what) {
  assert.equal(actual, expected, what);
}

// A test's clean-ups, run in the reverse order of their coming, whatever
// the test did; `t.diagnostic` lines tell what it saw.
function cleanups(t) {
  const list = [];
  t.after(async () => {
    for (const cleanup of list.reverse()) {
      await cleanup();
    }
  });
  return (cleanup) => list.push(cleanup);
}

// ---------------------------------------------------------------- the unit

// Starts an emulated unit (orvanto-uhid-unit `args`) and waits until udev
// has taken up its hidraw node. The unit is ended by the test's clean-up.
function startUnit(later, name, args = []) {
  return startKernelUnit({ binary: UHID_UNIT, work: WORK, later, name, args });
}

// A story's unit: Chromium must list a unit plugged in for the page, which
// the managed policy lets use it.
function kernelUnitOf(later, story, page) {
  return kernelUnit({
    binary: UHID_UNIT, work: WORK, later, story, N, image: IMAGE, limitMs: UPDATE_MS,
    found: (productId) => waitInPage(page,
      (id) => navigator.hid.getDevices().then((devices) => devices.some((d) => d.productId === id)),
      productId, 60000, "Chromium listing the unit for the page"),
  });
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
async function openUpdater(later, session, url) {
  const context = await session.browser.createBrowserContext();
  later(() => (context.closed ? undefined : context.close()));
  const page = await context.newPage();
  page.setDefaultTimeout(60000);
  await instrumentPage(page);
  await page.evaluateOnNewDocument(recordWebHid);
  await page.goto(url, { waitUntil: "load", timeout: PAGE_READY_MS });
  await waitForState(page, ["idle", "ended"], PAGE_READY_MS);
  // Marks this document: a reload would lose it.
  await page.evaluate(() => {
    window.__sameDocument = true;
  });
  return page;
}

async function waitForReady(page, what = "Ready") {
  await waitForHint(page, T.text(N.IDS_READY), PAGE_READY_MS, what);
  await waitInPage(page, () => document.getElementById("update")?.disabled === false &&
    document.documentElement.dataset.state === "idle", null, 30000, "Update enabled");
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

function describeEvent(entry, origin) {
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

// ---------------------------------------------------------------- the tests

describe("the page on the real HID stack (Chromium's WebHID over the kernel's hidraw)", () => {
  let servers;
  let root;
  let url;
  // One page for the stories and the unit pulled out by hand: under the
  // emulated processor a page takes half a minute to show its first view
  // (two the first time), a story a few seconds. Each test plugs a unit of
  // its own in and ends it; the page goes on as an owner's would. A test
  // that fails may leave a box open or an update running: its page is
  // closed, and the next test opens a fresh one instead of waiting on it.
  let storyPage = null;
  const suiteCleanups = [];
  const onSharedPage = async (t, test) => {
    if (!storyPage) {
      const began = Date.now();
      storyPage = await openUpdater((cleanup) => suiteCleanups.push(cleanup), root, url);
      t.diagnostic(`the page's first view ${((Date.now() - began) / 1000).toFixed(1)} s after it was opened`);
    }
    const page = storyPage;
    try {
      await test(page);
    } catch (error) {
      storyPage = null;
      await page.browserContext().close();
      throw error;
    }
  };

  before(async () => {
    servers = await startServers(SITE, "/tmp/bare-page");
    const policy = grantUnitsByPolicy(N, servers.origins);
    say(`the managed policy grants vendor ${N.UNIT_VENDOR_ID}, products 1 and 2, to ` +
      `${policy.WebHidAllowDevicesForUrls[0].urls.join(", ")}`);
    url = servers.product.url + "index.html";
    root = await startChromium({ home: "/tmp/root-browser", logFile: path.join(WORK, "chromium-root.log") });
    say(`Chromium as root started in ${(root.startMs / 1000).toFixed(1)} s: ${await root.browser.version()}`);
  });
  after(async () => {
    for (const cleanup of suiteCleanups.reverse()) {
      await cleanup();
    }
    await root?.close();
    await servers?.product.close();
    await servers?.bare.close();
  });

  // The owner's stories, each in a page and with a unit of its own.
  for (const story of STORIES) {
    const reason = cannotPlay(story, "real-stack-chromium");
    it(`story ${story.name}`, { skip: reason || false }, async (t) => {
      t.diagnostic(story.says);
      const later = cleanups(t);
      await onSharedPage(t, (page) => playStory(page, story, {
        stage: "real-stack-chromium", texts: T, N, unit: kernelUnitOf(later, story, page),
        note: (line) => t.diagnostic(line),
      }));
    });
  }

  // Catches report lengths taken from anything but Chromium's collections
  // for the unit's real descriptor, and reports sent under another ID or of
  // another length than the kernel's hidraw takes.
  it("Chromium's collections for the unit's descriptor give the page reports of 60 bytes, ID included", async (t) => {
    const later = cleanups(t);
    // The page the stories played in: it takes the unit up as an owner's
    // page would; what it exchanged before is not this unit's.
    await onSharedPage(t, async (page) => {
      const from = (await webHidRecord(page)).length;
      const began = Date.now();
      const unit = await startUnit(later, "ready");
      await waitForReady(page);
      const shown = await view(page);
      checkRows(shown);
      t.diagnostic(`Ready ${((Date.now() - began) / 1000).toFixed(1)} s after the unit was plugged in: rows ` +
        `${shown.labelUnit} ${shown.versionUnit}, ${shown.versionBootloader}, ${shown.versionEsc}; Update enabled`);
      await unit.waitForLine(/^opened$/, 10000);

      // The report IDs and lengths as the page used them on the real stack.
      const record = (await webHidRecord(page)).slice(from);
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
      t.diagnostic(`${sent.length} commands sent as sendReport(${N.COMMAND_REPORT_ID}, ${dataBytes} bytes), ` +
        `${received.length} replies as inputreport ID ${N.REPLY_REPORT_ID} with ${dataBytes} data bytes`);
      // What the unit itself answers, through its node beside the page, once
      // the page's own exchanges are recorded (its replies reach every opener).
      t.diagnostic(`the unit over hidraw: ${rawIdentity(unit.currentNode).join("; ")}`);
      const malformed = (await unit.status()).match(/malformed=(\d+)/)?.[1];
      equal(malformed, "0", "reports the unit received malformed");

      const [device] = await grantedDevices(page);
      const input = reportLength(device.collections, "inputReports");
      const output = reportLength(device.collections, "outputReports");
      const describeReports = (reports) => reports.map((r) =>
        `ID ${r.reportId}: ${r.items.map((i) => `${i.reportCount} x ${i.reportSize} bits`).join(" + ")}`).join(", ");
      const top = device.collections[0];
      t.diagnostic(`Chromium's collections for the unit's descriptor: ${device.collections.length} collection, usage page ` +
        `0x${top.usagePage.toString(16)} usage ${top.usage} type ${top.type}, input reports [${describeReports(top.inputReports)}], ` +
        `output reports [${describeReports(top.outputReports)}], feature reports ${top.featureReports.length}, ` +
        `children ${top.children.length}; productName "${device.productName}"`);
      t.diagnostic(`the report lengths the page (app/web/page-hid.js) computes from them, ID byte included: ` +
        `input ${input}, output ${output} (the stand-in WebHID builds the same shape from the unit's settings)`);
      equal(input, N.REPORT_SIZE, "the input report length from Chromium's collections");
      equal(output, N.REPORT_SIZE, "the output report length from Chromium's collections");
      check(page.consoleErrors.length === 0 && (await seen(page)).errors.length === 0,
        `script errors: ${[...page.consoleErrors, ...(await seen(page)).errors].join(" | ")}`);
    });
  });

  // Pulled out by hand at any moment of the data blocks, mostly while the
  // page waits between two blocks: its next write meets a node that is gone.
  // Catches a code line that blames the browser (ERROR_GEN_FAILURE, 31) for
  // a unit that went away: Chromium rejects that write before it reports the
  // device gone, and the page must still name the unit's going (1167), as the
  // Windows program does.
  it("the unit pulled out by hand during the data blocks: the code line names the device gone", async (t) => {
    const later = cleanups(t);
    await onSharedPage(t, async (page) => {
      const unit = await startUnit(later, "by-hand");
      await waitForReady(page);
      const confirmation = await startUpdate(page);
      // A fifth of the blocks, or a box that says the update ended before:
      // that fails at once, with its text.
      await waitInPage(page, (count) => (document.getElementById("progress-panel")?.open &&
        window.__seen.progress.at(-1) >= 20) || window.__seen.boxes.length > count,
      confirmation, UPDATE_MS, "a fifth of the blocks");
      assert.deepEqual((await seen(page)).boxes.slice(confirmation).map((box) => box.text), [],
        "a message box before a fifth of the blocks");
      unit.command("unplug");
      const box = await waitForBox(page, confirmation + 1, BOX_MS);
      const pulledAt = (await seen(page)).progress.at(-1);
      const record = await webHidRecord(page);
      const lastWrite = record.findLastIndex((e) => e.event === "sendReport");
      const origin = record[lastWrite].at;
      const timeline = [...record.slice(Math.max(0, lastWrite - 2)), { event: "box", at: box.at }]
        .sort((a, b) => a.at - b.at).map((e) => describeEvent(e, origin));
      t.diagnostic(`pulled out at ${pulledAt} %: failure box ${JSON.stringify(box.text)}`);
      t.diagnostic(`pulled out by hand: ${timeline.join("; ")}`);
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
  });

  // The udev rule: installed from the project's own file, it tags the unit's
  // hidraw node for the seat's user and leaves another vendor's device alone.
  it("an ordinary user's Chromium: the permission text, then the udev rule and the seat's access", async (t) => {
    const later = cleanups(t);
    const unit = await startUnit(later, "permission");
    const node = unit.currentNode;
    const before = udevRecord(node);
    const stat = fs.statSync(node);
    t.diagnostic(`before the rule, ${node} (${hidDeviceOf(node)}): mode ${(stat.mode & 0o777).toString(8)}, ` +
      `owner ${stat.uid}, ACL ${acl(node)}, udev tags [${before.tags}]`);
    check(!before.tags.includes("uaccess"), "the node has the uaccess tag before the rule is installed");
    check(!rawExchange(node, "status", USER).ok, `${USER.name} can open ${node} before the rule`);

    const session = await startChromium({ user: USER, home: "/tmp/nobody-home",
      logFile: path.join(WORK, `chromium-${USER.name}.log`) });
    later(() => session.close());
    t.diagnostic(`Chromium as ${USER.name} (uid ${USER.uid}) started in ${(session.startMs / 1000).toFixed(1)} s`);
    const page = await openUpdater(later, session, url);
    await waitInPage(page, () => {
      const element = document.getElementById("open-refused");
      return element && !element.hidden && document.documentElement.dataset.state === "idle";
    }, null, PAGE_READY_MS, "the permission text");
    const refused = await view(page);
    equal(refused.openRefusedText, T.text(N.IDS_PAGE_OPEN_REFUSED), "the permission text");
    equal(refused.updateDisabled, true, "Update disabled while the unit cannot be opened");
    const open = (await webHidRecord(page)).find((e) => e.event === "open");
    check(open?.settled === "rejected", `open() was not refused: ${JSON.stringify(open)}`);
    t.diagnostic(`the page shows the permission text; HIDDevice.open() rejected with ${open.error}`);

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
    later(() => {
      fs.rmSync(installed, { force: true });
      fs.rmSync(seat, { force: true });
    });
    equal(fs.realpathSync(installed), fs.realpathSync(UDEV_RULE), "the installed rule");
    t.diagnostic(`installed ${installed} -> ${path.relative(ROOT, fs.realpathSync(installed))}`);
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
    t.diagnostic(`udevadm info ${again} (${hidDeviceOf(again)}): TAGS=${record.properties.TAGS} ` +
      `CURRENT_TAGS=${record.properties.CURRENT_TAGS}`);

    // Another vendor's device, plugged in now that the rule is in force.
    const other = await startUnit(later, "other-vendor", ["--vendor-id", `0x${OTHER_VENDOR_ID.toString(16)}`]);
    const otherRecord = udevRecord(other.currentNode);
    const otherHid = hidDeviceOf(other.currentNode);
    check(otherHid.startsWith(`0003:${OTHER_VENDOR_ID.toString(16).toUpperCase().padStart(4, "0")}:0002.`),
      `the other device is ${otherHid}`);
    check(!otherRecord.tags.includes("uaccess") && !otherRecord.currentTags.includes("uaccess"),
      `the rule tagged another vendor's device: TAGS ${otherRecord.properties.TAGS}`);
    t.diagnostic(`udevadm info ${other.currentNode} (${otherHid}): TAGS=${otherRecord.properties.TAGS ?? "(none)"} ` +
      `CURRENT_TAGS=${otherRecord.properties.CURRENT_TAGS ?? "(none)"}`);

    for (const file of [again, other.currentNode]) {
      const mode = fs.statSync(file).mode & 0o777;
      check((mode & 0o007) === 0, `${file} has mode ${mode.toString(8)}: others may use it`);
      t.diagnostic(`${file}: mode ${mode.toString(8)}, ACL ${acl(file)}`);
    }
    check(acl(again).includes(`user:${USER.name}:rw-`), `the unit's node has no ACL for ${USER.name}`);
    check(acl(again).includes("group::---") && acl(again).includes("other::---"),
      "the unit's node is open to its group or to everybody");
    check(!acl(other.currentNode).includes(`user:${USER.name}`), `the other device's node has an ACL for ${USER.name}`);
    const otherOpen = rawExchange(other.currentNode, "status", USER);
    check(!otherOpen.ok, `${USER.name} opened another vendor's device`);
    t.diagnostic(`${USER.name} and the other device: ${/FAILED: (.*)/.exec(otherOpen.output)?.[1] ?? otherOpen.output}`);

    await waitForReady(page, "Ready after the rule, the unit plugged in again").catch(async (error) => {
      t.diagnostic(`what WebHID did in the page: ${JSON.stringify(await webHidRecord(page, 30).catch(() => null))}`);
      t.diagnostic(`the unit: ${await unit.status().catch((e) => e.message)}; its last lines: ` +
        unit.lines.slice(-15).join(" | "));
      throw error;
    });
    const shown = await view(page);
    checkRows(shown);
    equal(shown.openRefusedShown, false, "the permission text after the unit was opened");
    check(await page.evaluate(() => window.__sameDocument === true), "the page was loaded again");
    t.diagnostic(`Chromium as ${USER.name} opened the unit: Ready, rows ${shown.labelUnit} ${shown.versionUnit}, ` +
      `${shown.versionBootloader}, ${shown.versionEsc}; the permission text gone`);
  });
});
