// The stand-in WebHID against what Chromium's own WebHID does with the unit
// as a Linux HID device (hidraw): the collections it describes the unit's
// reports with, which reports it writes and which it refuses, and what a
// HIDDevice does when the unit is pulled out while idle, while the page
// writes, and just as a report reached it. Each case drives the stand-in
// directly, on a unit the page's updater has not opened (it is granted only
// after the page started, so that no arrival reaches the updater).
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";

import { N, openPage, suite, unitLog } from "./harness.mjs";

// A command report without the report ID, as sendReport takes it: the
// command, its length byte and its flag, zeros after them.
function command(code, length, flag, dataBytes) {
  const data = new Array(dataBytes).fill(0);
  data[0] = code;
  data[1] = length;
  data[2] = flag;
  return data;
}

describe("the stand-in WebHID as Chromium's WebHID over hidraw", () => {
  let s;
  const pages = [];
  const DATA_BYTES = N.REPORT_SIZE - 1;

  before(async () => {
    s = await suite({ language: "en" });
  });
  after(async () => {
    for (const page of pages) {
      await page.closeContext().catch(() => {});
    }
    await s?.close();
  });

  // A page with the unit of `productId` plugged in and granted, but not
  // taken up by the page's updater; window.__unit is its HIDDevice, opened,
  // and window.__events records its input reports and disconnect events in
  // the order they come. `otherDevices` go to the emulator's setup.
  const openWithUnit = async (productId = N.PRODUCT_ID_LINK_BOX, otherDevices = []) => {
    const page = await openPage(s.session, s.url("test.html"), {
      prepare: (p) => p.evaluateOnNewDocument((id, others) => {
        window.orvantoEmulatorSetup = { unit: { productId: id }, granted: false, otherDevices: others };
      }, productId, otherDevices),
    });
    pages.push(page);
    await page.evaluate(async (vendorId) => {
      await window.orvantoEmulator.ready;
      window.orvantoEmulator.grant();
      const unit = (await navigator.hid.getDevices()).find((d) => d.vendorId === vendorId);
      window.__events = [];
      unit.addEventListener("inputreport", (event) =>
        window.__events.push(`inputreport ${event.reportId} ${event.data.byteLength}`));
      navigator.hid.addEventListener("disconnect", (event) =>
        window.__events.push(`disconnect opened=${event.device.opened} unit=${event.device === unit}`));
      await unit.open();
      window.__unit = unit;
    }, N.UNIT_VENDOR_ID);
    return page;
  };

  // Sends one report on window.__unit; resolves to "resolved" or to the
  // rejection's name and message, and records it in window.__events.
  const send = (page, reportId, data) => page.evaluate(async (id, bytes) => {
    const outcome = await window.__unit.sendReport(id, new Uint8Array(bytes)).then(
      () => "resolved", (error) => `rejected ${error.name}: ${error.message}`);
    window.__events.push(`sendReport ${outcome}`);
    return outcome;
  }, reportId, data);

  const events = (page) => page.evaluate(() => window.__events);

  // What Chromium makes of the unit's report descriptor, and the unit's
  // USB product string: catches a stand-in whose collections a page could
  // read otherwise than the real ones (report lengths taken from them).
  it("describes the unit as Chromium does: one collection, report IDs 1 and 2 of 59 bytes, its USB name", async () => {
    for (const [productId, name] of [[N.PRODUCT_ID_LINK_BOX, "ORVANTO LINK-BOX"], [N.PRODUCT_ID_ORBICON, "ORVANTO ORBICON"]]) {
      const page = await openWithUnit(productId);
      const described = await page.evaluate(() => {
        const unit = window.__unit;
        const reports = (list) => list.map((r) => ({
          reportId: r.reportId,
          items: r.items.map((i) => ({ reportSize: i.reportSize, reportCount: i.reportCount, usages: [...i.usages] })),
        }));
        return {
          productName: unit.productName,
          collections: unit.collections.map((c) => ({
            usagePage: c.usagePage, usage: c.usage, type: c.type, children: c.children.length,
            inputReports: reports(c.inputReports), outputReports: reports(c.outputReports),
            featureReports: c.featureReports.length,
          })),
        };
      });
      const report = (reportId) => ({ reportId, items: [{ reportSize: 8, reportCount: DATA_BYTES, usages: [0xff000001] }] });
      assert.deepEqual(described, {
        productName: name,
        collections: [{
          usagePage: 0xff00, usage: 1, type: 1, children: 0,
          inputReports: [report(N.REPLY_REPORT_ID)], outputReports: [report(N.COMMAND_REPORT_ID)], featureReports: 0,
        }],
      });
    }
  });

  // Chromium writes a report shorter than the output report as it is (the
  // unit gets the short report and drops it, no padding makes it a
  // command), and refuses one longer than the longest output report and
  // one without a report ID on a device whose reports have IDs; an ID the
  // device uses only for input goes out. Catches a stand-in that rejects
  // what the real browser writes, or pads it into a command the unit
  // answers.
  it("writes short reports and reports under an input ID as they are, refuses long ones and report ID 0", async () => {
    const OTHER_VENDOR_ID = 0x1209;
    const page = await openWithUnit(N.PRODUCT_ID_LINK_BOX, [{ vendorId: OTHER_VENDOR_ID, productId: 1 }]);
    const status = command(N.CMD_GET_UNIT_STATUS, 0, 0, DATA_BYTES);
    const logged = async () => (await unitLog(page)).length;
    const before = await logged();

    assert.equal(await send(page, N.COMMAND_REPORT_ID, status.slice(0, 10)), "resolved", "10 data bytes under ID 1");
    assert.equal(await send(page, N.REPLY_REPORT_ID, status), "resolved", "59 bytes under the input report's ID");
    const refused = "rejected NotAllowedError: Failed to write the report.";
    assert.equal(await send(page, N.COMMAND_REPORT_ID, [...status, ...new Array(11).fill(0)]), refused, "70 data bytes");
    assert.equal(await send(page, 0, status), refused, "report ID 0");
    assert.equal(await logged(), before, "the unit took none of them as a command");

    // The unit still answers a well-formed command, and only that one.
    assert.equal(await send(page, N.COMMAND_REPORT_ID, status), "resolved");
    await page.waitForFunction(() => window.__events.some((e) => e.startsWith("inputreport")), { polling: 50 });
    const seen = await events(page);
    assert.deepEqual(seen.filter((e) => e.startsWith("inputreport")), [`inputreport ${N.REPLY_REPORT_ID} ${DATA_BYTES}`]);
    assert.equal(await logged(), before + 2, "the command and its reply");

    // Another vendor's device, which never answers, is written to the same way.
    const other = await page.evaluate(async (vendorId) => {
      const device = (await navigator.hid.getDevices()).find((d) => d.vendorId === vendorId);
      await device.open();
      const write = (id, length) => device.sendReport(id, new Uint8Array(length))
        .then(() => "resolved", (error) => `rejected ${error.name}`);
      return [await write(1, 10), await write(1, 70)];
    }, OTHER_VENDOR_ID);
    assert.deepEqual(other, ["resolved", "rejected NotAllowedError"], "another device: 10, then 70 data bytes");
  });

  // Pulled out while idle: catches a stand-in whose HIDDevice says it is
  // closed at the disconnect, and one that rejects a later write at once
  // (the real one never settles, so that only the page's time limit or its
  // disconnect handling can end such a write).
  it("pulled out while idle: disconnect with the device still opened, a later write never settles, close() resolves", async () => {
    const page = await openWithUnit();
    const outcome = await page.evaluate(async (reportId, data) => {
      const unit = window.__unit;
      const disconnected = new Promise((resolve) =>
        navigator.hid.addEventListener("disconnect", resolve, { once: true }));
      window.orvantoEmulator.unplug();
      await disconnected;
      const listed = (await navigator.hid.getDevices()).includes(unit);
      let settled = "pending";
      unit.sendReport(reportId, new Uint8Array(data)).then(
        () => { settled = "resolved"; }, (error) => { settled = `rejected ${error.name}`; });
      // The stand-in settles a write in a task of its own: many tasks later
      // this one would have settled if it ever did.
      for (let i = 0; i < 20; i++) {
        await new Promise((resolve) => setTimeout(resolve, 10));
      }
      const openedAfterWrite = unit.opened;
      const closed = await unit.close().then(() => "resolved", (error) => `rejected ${error.name}`);
      return { listed, settled, openedAfterWrite, closed };
    }, N.COMMAND_REPORT_ID, command(N.CMD_GET_UNIT_STATUS, 0, 0, DATA_BYTES));
    assert.deepEqual(await events(page), ["disconnect opened=true unit=true"]);
    assert.deepEqual(outcome, { listed: false, settled: "pending", openedAfterWrite: true, closed: "resolved" });
  });

  // Pulled out just before a write: catches a stand-in that rejects such a
  // write otherwise than Chromium (NotAllowedError, before the disconnect
  // event) and one that closes the device under the page.
  it("pulled out as the page writes: the write rejects with NotAllowedError, then the disconnect comes", async () => {
    const page = await openWithUnit();
    await page.evaluate(() => window.orvantoEmulator.armFault({ kind: "unplug", step: "lock" }));
    const outcome = await send(page, N.COMMAND_REPORT_ID, command(N.CMD_SYSTEM_LOCK, 1, 1, DATA_BYTES));
    assert.equal(outcome, "rejected NotAllowedError: Failed to write the report.");
    await page.waitForFunction(() => window.__events.some((e) => e.startsWith("disconnect")), { polling: 50 });
    assert.deepEqual(await events(page), [
      "sendReport rejected NotAllowedError: Failed to write the report.",
      "disconnect opened=true unit=true",
    ]);
  });

  // Pulled out just as the report reached the unit: the write resolves, no
  // reply comes, the disconnect follows with the device still opened.
  it("pulled out as a report reached the unit: the write resolves, no reply, then the disconnect", async () => {
    const page = await openWithUnit();
    await page.evaluate(() => window.orvantoEmulator.armFault({ kind: "unplug-before-reply", step: "lock" }));
    assert.equal(await send(page, N.COMMAND_REPORT_ID, command(N.CMD_SYSTEM_LOCK, 1, 1, DATA_BYTES)), "resolved");
    await page.waitForFunction(() => window.__events.some((e) => e.startsWith("disconnect")), { polling: 50 });
    assert.deepEqual(await events(page), ["sendReport resolved", "disconnect opened=true unit=true"]);
  });
});
