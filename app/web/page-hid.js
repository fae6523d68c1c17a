// The updater page's HID interfaces over WebHID: the page's side of
// platform/web/hid_web.cpp. The program's seam keeps the contract (handles,
// last-error values, time limits in its own clock); this file moves the
// bytes.
//
// Every HIDDevice object the page sees gets a path "webhid:<n>", n
// counting from 1 in this page load; the same object keeps its path (a
// unit plugged in again is a new object, with a new path). An opened
// device is a record with its handle number; its input reports are
// queued from the moment of opening, as the Windows HID driver buffers
// them: reports that come while nobody listens are lost in WebHID.

import {
  PLATFORM_ERROR_DEVICE_NOT_CONNECTED,
  PLATFORM_ERROR_GEN_FAILURE,
  PLATFORM_ERROR_INVALID_HANDLE,
  PLATFORM_ERROR_TIMEOUT,
  PRODUCT_ID_LINK_BOX,
  PRODUCT_ID_ORBICON,
  UNIT_VENDOR_ID,
} from "./names.mjs";
import { clock } from "./page-clock.js";

// The programming units: LINK-BOX and ORBICON.
export const UNIT_FILTERS = [
  { vendorId: UNIT_VENDOR_ID, productId: PRODUCT_ID_ORBICON },
  { vendorId: UNIT_VENDOR_ID, productId: PRODUCT_ID_LINK_BOX },
];

// The Windows HID driver keeps 32 input reports for a reader and drops the
// oldest beyond that; so does the queue of each opened device here.
const MAX_QUEUED_INPUT_REPORTS = 32;

// What the page shows of the devices: set by the page.
export const hidHooks = {
  // The system refused (true) or allowed (false) the browser a unit that it
  // lists: on Linux, the unit's hidraw node is not accessible without the
  // udev rule.
  openRefused: (refused) => {},
};

export const hid = {
  paths: new WeakMap(),
  devices: new Map(), // path -> HIDDevice
  nextPath: 1,
  lists: new Map(),
  nextList: 1,
  records: new Map(), // handle -> record
  nextHandle: 1,
};

export function pathOf(device) {
  let path = hid.paths.get(device);
  if (!path) {
    path = "webhid:" + hid.nextPath++;
    hid.paths.set(device, path);
    hid.devices.set(path, device);
  }
  return path;
}

export function isUnit(device) {
  return UNIT_FILTERS.some((f) => device.vendorId === f.vendorId && device.productId === f.productId);
}

// The pending read and write of a record fail at once with `error`.
function failTransfers(record, error) {
  if (record.reader) {
    record.reader(error);
  }
  if (record.writer) {
    record.writer(error);
  }
}

function onInputReport(record, event) {
  if (record.closed) {
    return;
  }
  const data = event.data;
  const report = new Uint8Array(1 + data.byteLength);
  report[0] = event.reportId;
  report.set(new Uint8Array(data.buffer, data.byteOffset, data.byteLength), 1);
  if (record.reader) {
    record.reader(report);
    return;
  }
  record.queue.push(report);
  if (record.queue.length > MAX_QUEUED_INPUT_REPORTS) {
    record.queue.shift();
  }
}

export function deviceGone(device) {
  for (const record of hid.records.values()) {
    if (record.device === device) {
      record.gone = true;
      failTransfers(record, PLATFORM_ERROR_DEVICE_NOT_CONNECTED);
    }
  }
}

// Windows' report byte lengths: per report ID, the bits of its items
// (reportSize x reportCount) summed and rounded up to bytes; the longest
// report, plus 1 for the report ID byte. 0 when there is no such report.
// The unit has one top-level collection; reports of all of them are
// taken together.
export function reportLength(collections, kind) {
  const bits = new Map();
  for (const collection of collections || []) {
    for (const report of collection[kind] || []) {
      let sum = bits.get(report.reportId) || 0;
      for (const item of report.items || []) {
        sum += (item.reportSize || 0) * (item.reportCount || 0);
      }
      bits.set(report.reportId, sum);
    }
  }
  let longest = -1;
  for (const sum of bits.values()) {
    longest = Math.max(longest, Math.ceil(sum / 8));
  }
  return longest < 0 ? 0 : Math.min(longest + 1, 0xffff);
}

export async function hidOpenList() {
  try {
    const devices = await navigator.hid.getDevices();
    const id = hid.nextList++;
    hid.lists.set(id, devices.map(pathOf));
    return id;
  } catch (error) {
    return 0;
  }
}

export function hidListPath(list, index) {
  const paths = hid.lists.get(list);
  return paths && index >= 0 && index < paths.length ? paths[index] : null;
}

export function hidCloseList(list) {
  hid.lists.delete(list);
}

export async function hidOpen(path) {
  const device = hid.devices.get(path);
  if (!device) {
    return 0;
  }
  const record = { device, path, queue: [], reader: null, writer: null, gone: false, closed: false };
  record.listener = (event) => onInputReport(record, event);
  device.addEventListener("inputreport", record.listener);
  try {
    if (!device.opened) {
      await device.open();
    }
  } catch (error) {
    device.removeEventListener("inputreport", record.listener);
    // The browser lists the unit but may not open it: on Linux, its
    // hidraw node is not accessible to the user (no udev rule).
    // A unit that went away meanwhile is refused the same way: only one
    // that the browser still lists is one the system keeps closed.
    if (error && error.name === "NotAllowedError" && isUnit(device) && !record.gone) {
      const listed = await navigator.hid.getDevices().catch(() => []);
      hidHooks.openRefused(listed.includes(device));
    }
    return 0;
  }
  if (record.gone || !device.opened) {
    device.removeEventListener("inputreport", record.listener);
    return 0;
  }
  const handle = hid.nextHandle++;
  hid.records.set(handle, record);
  if (isUnit(device)) {
    hidHooks.openRefused(false);
  }
  return handle;
}

export async function hidClose(handle) {
  const record = hid.records.get(handle);
  if (!record) {
    return;
  }
  hid.records.delete(handle);
  record.closed = true;
  failTransfers(record, PLATFORM_ERROR_DEVICE_NOT_CONNECTED);
  record.device.removeEventListener("inputreport", record.listener);
  const stillUsed = [...hid.records.values()].some((other) => other.device === record.device);
  if (!stillUsed && record.device.opened) {
    try {
      await record.device.close();
    } catch (error) {
      // Gone already: nothing left to close.
    }
  }
}

export function hidAttributes(handle) {
  const record = hid.records.get(handle);
  return record ? { vendorId: record.device.vendorId, productId: record.device.productId } : null;
}

export function hidReportLengths(handle) {
  const record = hid.records.get(handle);
  if (!record) {
    return null;
  }
  const collections = record.device.collections;
  return {
    input: reportLength(collections, "inputReports"),
    output: reportLength(collections, "outputReports"),
  };
}

// Resolves to 0, or to 1460 when the time limit passed (sendReport cannot
// be cancelled; its late outcome is dropped), 1167 when the device went
// away or was closed, 31 when the browser rejected the report.
//
// A unit pulled out fails the write before the browser reports it gone
// (on Linux the disconnect event follows 50 ms to about 4 s later), with the
// same NotAllowedError as any write the system refuses: a rejected write
// waits for the disconnect for a short while (REFUSED_WRITE_DISCONNECT_SHARE
// of its time limit), and is 1167 if it comes, as on Windows;
// 31, the write's own error, if not.
//
// A third of the write's time limit, 5 s of the 15 s that every exchange is
// given: it covers the slowest disconnect seen after a refused write (about
// 4 s, under load) with room to spare, and a refusal of a unit that stays
// plugged in fails in a third of the time. As a share of the limit it keeps
// to the program's clock, also where that runs faster (the tests' page).
const REFUSED_WRITE_DISCONNECT_SHARE = 1 / 3;

export function hidWrite(handle, report, timeoutMs) {
  const record = hid.records.get(handle);
  if (!record) {
    return Promise.resolve(PLATFORM_ERROR_INVALID_HANDLE);
  }
  if (record.gone || !record.device.opened) {
    return Promise.resolve(PLATFORM_ERROR_DEVICE_NOT_CONNECTED);
  }
  return new Promise((resolve) => {
    let settled = false;
    let cancelTimer = null;
    const finish = (result) => {
      if (settled) {
        return;
      }
      settled = true;
      if (cancelTimer) {
        cancelTimer();
      }
      if (record.writer === finish) {
        record.writer = null;
      }
      resolve(result);
    };
    const gone = () => record.gone || record.closed || !record.device.opened;
    const refuse = () => {
      if (gone()) {
        finish(PLATFORM_ERROR_DEVICE_NOT_CONNECTED);
        return;
      }
      // A disconnect that comes meanwhile settles it as gone (deviceGone).
      if (settled) {
        return;
      }
      cancelTimer();
      cancelTimer = clock.limit(timeoutMs * REFUSED_WRITE_DISCONNECT_SHARE,
        () => finish(PLATFORM_ERROR_GEN_FAILURE));
    };
    record.writer = finish;
    cancelTimer = clock.limit(timeoutMs, () => finish(PLATFORM_ERROR_TIMEOUT));
    let sending;
    try {
      sending = record.device.sendReport(report[0], report.subarray(1));
    } catch (error) {
      refuse();
      return;
    }
    sending.then(() => finish(0), refuse);
  });
}

// Resolves to the next input report (report ID first, at most `length`
// bytes), or to 1460 when none came in time, 1167 when the device went
// away or was closed.
export function hidRead(handle, length, timeoutMs) {
  const record = hid.records.get(handle);
  if (!record) {
    return Promise.resolve(PLATFORM_ERROR_INVALID_HANDLE);
  }
  if (record.gone) {
    return Promise.resolve(PLATFORM_ERROR_DEVICE_NOT_CONNECTED);
  }
  if (record.queue.length > 0) {
    return Promise.resolve(record.queue.shift().subarray(0, length));
  }
  return new Promise((resolve) => {
    let cancelTimer = null;
    const finish = (result) => {
      record.reader = null;
      if (cancelTimer) {
        cancelTimer();
      }
      resolve(typeof result === "number" ? result : result.subarray(0, length));
    };
    record.reader = finish;
    cancelTimer = clock.limit(timeoutMs, () => {
      if (record.reader === finish) {
        finish(PLATFORM_ERROR_TIMEOUT);
      }
    });
  });
}
