// A stand-in for the browser's WebHID (navigator.hid), for the demo and the
// browser tests: the surface of the real API as Chromium implements it:
// getDevices, requestDevice (only with a user gesture), connect and
// disconnect events for granted devices, and HIDDevice objects with opened,
// open, close, sendReport, forget, collections, vendorId, productId,
// productName and inputreport events; its promises reject with the
// DOMExceptions Chromium uses. What a device does with a report is its
// `transfer` (unit-bridge.js gives the emulated unit's).
//
// Where the platform matters, it behaves as Chromium on Linux does with a
// device behind hidraw: a report that passes Chromium's own checks is
// written as it is, neither padded nor cut; a device pulled out stays
// `opened` on its HIDDevice object, a write that meets it before the
// browser has noticed rejects, and one after the disconnect event never
// settles.
//
// Whatever goes wrong elsewhere, this module installs the stand-in: the
// page must never reach a real unit with the STAND-IN image of the demo and
// the tests.

// Chromium's texts for the rejections the page can meet.
const TEXT_USER_GESTURE = "Must be handling a user gesture to show a permission request.";
const TEXT_OPEN_REQUIRED = "The device must be opened first.";
const TEXT_ALREADY_OPEN = "The device is already open.";
const TEXT_OPEN_FAILED = "Failed to open the device.";
const TEXT_STATE_CHANGE = "An operation that changes the device state is in progress.";
const TEXT_SEND_FAILED = "Failed to write the report.";

let chooser = "choose";  // what the browser's chooser does: "choose" or "cancel"
const devices = [];  // present devices, in enumeration order
const grantedKeys = new Set();  // permissions, by device key
const listeners = new Set();  // change listeners (the panel's)
// Resolves once the device behind the stand-in is ready; getDevices and
// requestDevice wait for it.
let ready = Promise.resolve();

// A task of its own after `pageMs`. Without a delay it is a message-channel
// task, not a zero timer: a timer comes a fraction of a millisecond late,
// which over two thousand blocks shows in the measured update.
const immediate = new MessageChannel();
const immediateTasks = new Map();
let nextImmediate = 1;
immediate.port1.onmessage = (event) => {
  const callback = immediateTasks.get(event.data);
  if (callback && immediateTasks.delete(event.data)) {
    callback();
  }
};

// With answerAtOnce (for the measuring script) what takes no time comes
// in a microtask, before the page's next task: a unit and a browser
// without any delay, as the Windows build's measurement has them, so that
// the page's own cost alone remains.
let answerAtOnce = false;

export function later(callback, pageMs) {
  if (pageMs > 0) {
    return setTimeout(callback, pageMs);
  }
  const id = -nextImmediate++;
  immediateTasks.set(id, callback);
  if (answerAtOnce) {
    queueMicrotask(() => {
      if (immediateTasks.delete(id)) {
        callback();
      }
    });
  } else {
    immediate.port2.postMessage(id);
  }
  return id;
}

export function cancelLater(handle) {
  if (handle < 0) {
    immediateTasks.delete(handle);
  } else {
    clearTimeout(handle);
  }
}

export function notifyChange() {
  for (const listener of listeners) {
    try {
      listener();
    } catch (error) {
      console.error(error);
    }
  }
}

// ---------------------------------------------------------------------
// Events

class StandInConnectionEvent extends Event {
  #device;
  constructor(type, init) {
    super(type, init);
    this.#device = init.device;
  }
  get device() { return this.#device; }
}

class StandInInputReportEvent extends Event {
  #device;
  #reportId;
  #data;
  constructor(type, init) {
    super(type, init);
    this.#device = init.device;
    this.#reportId = init.reportId;
    this.#data = init.data;
  }
  get device() { return this.#device; }
  get reportId() { return this.#reportId; }
  get data() { return this.#data; }
}

// An `on<event>` attribute backed by an event listener, as the real
// objects have.
function defineHandlerAttribute(prototype, type) {
  const handlers = new WeakMap();
  Object.defineProperty(prototype, "on" + type, {
    configurable: true,
    enumerable: true,
    get() { return handlers.get(this) || null; },
    set(value) {
      const old = handlers.get(this);
      if (old) this.removeEventListener(type, old);
      if (typeof value === "function") {
        handlers.set(this, value);
        this.addEventListener(type, value);
      } else {
        handlers.delete(this);
      }
    },
  });
}

// ---------------------------------------------------------------------
// Report descriptions: one vendor-defined application collection with one
// input and one output report of 8-bit fields.

function reportInfo(reportId, lengthWithId) {
  const count = lengthWithId - 1;
  const items = count === 0 ? [] : [{
    isAbsolute: true, isArray: false, isBufferedBytes: false, isConstant: false,
    isLinear: true, isRange: false, isVolatile: false, hasNull: false,
    hasPreferredState: true, wrap: false, usages: [0xff000001],
    reportSize: 8, reportCount: count, unitExponent: 0, unitSystem: "none",
    unitFactorLengthExponent: 0, unitFactorMassExponent: 0, unitFactorTimeExponent: 0,
    unitFactorTemperatureExponent: 0, unitFactorCurrentExponent: 0,
    unitFactorLuminousIntensityExponent: 0,
    logicalMinimum: 0, logicalMaximum: 255, physicalMinimum: 0, physicalMaximum: 0,
    strings: [],
  }];
  return Object.freeze({ reportId, items: Object.freeze(items.map(Object.freeze)) });
}

// What Chromium's HID service checks every output report against: the
// longest output report's data bytes (over all report IDs), and whether the
// device's reports carry report IDs at all.
function outputLimits(collections) {
  const bits = new Map();
  let hasReportIds = false;
  for (const collection of collections) {
    for (const kind of ["inputReports", "outputReports", "featureReports"]) {
      for (const report of collection[kind]) {
        hasReportIds ||= report.reportId !== 0;
        if (kind !== "outputReports") continue;
        let sum = bits.get(report.reportId) || 0;
        for (const item of report.items) sum += item.reportSize * item.reportCount;
        bits.set(report.reportId, sum);
      }
    }
  }
  let maxOutputBytes = 0;
  for (const sum of bits.values()) maxOutputBytes = Math.max(maxOutputBytes, Math.ceil(sum / 8));
  return { maxOutputBytes, hasReportIds };
}

function collectionsFor(description) {
  return Object.freeze([Object.freeze({
    usagePage: 0xff00,
    usage: 0x0001,
    type: 1,  // application
    children: Object.freeze([]),
    inputReports: Object.freeze([reportInfo(description.inputReportId, description.inputLength)]),
    outputReports: Object.freeze([reportInfo(description.outputReportId, description.outputLength)]),
    featureReports: Object.freeze([]),
  })]);
}

// ---------------------------------------------------------------------
// HIDDevice

function bytesOf(data) {
  if (ArrayBuffer.isView(data)) {
    return new Uint8Array(data.buffer, data.byteOffset, data.byteLength).slice();
  }
  if (data instanceof ArrayBuffer) {
    return new Uint8Array(data).slice();
  }
  return null;
}

class StandInHIDDevice extends EventTarget {
  #d;
  constructor(description) {
    super();
    this.#d = description;
  }
  get opened() { return this.#d.opened; }
  get vendorId() { return this.#d.vendorId; }
  get productId() { return this.#d.productId; }
  get productName() { return this.#d.productName; }
  get collections() { return this.#d.collections; }

  open() {
    const d = this.#d;
    if (d.stateChanging) {
      return Promise.reject(new DOMException(TEXT_STATE_CHANGE, "InvalidStateError"));
    }
    if (d.opened) {
      return Promise.reject(new DOMException(TEXT_ALREADY_OPEN, "InvalidStateError"));
    }
    d.stateChanging = true;
    return new Promise((resolve, reject) => {
      later(() => {
        d.stateChanging = false;
        // Chromium's answer also when the system refuses it the device
        // (on Linux: no access to the hidraw node).
        if (!d.present || d.openRefused) {
          reject(new DOMException(TEXT_OPEN_FAILED, "NotAllowedError"));
          return;
        }
        d.opened = true;
        resolve();
      }, 0);
    });
  }

  close() {
    const d = this.#d;
    if (d.stateChanging) {
      return Promise.reject(new DOMException(TEXT_STATE_CHANGE, "InvalidStateError"));
    }
    d.opened = false;
    cancelReplies(d);
    return Promise.resolve();
  }

  sendReport(reportId, data) {
    const d = this.#d;
    const id = Number(reportId);
    if (arguments.length < 2 || !Number.isFinite(id) || Math.trunc(id) < 0 || Math.trunc(id) > 255) {
      return Promise.reject(new TypeError(
        "Failed to execute 'sendReport' on 'HIDDevice': the report ID must be an octet and data a BufferSource."));
    }
    const bytes = bytesOf(data);
    if (bytes === null) {
      return Promise.reject(new TypeError(
        "Failed to execute 'sendReport' on 'HIDDevice': parameter 2 is not of type 'ArrayBuffer' or 'ArrayBufferView'."));
    }
    if (d.stateChanging) {
      return Promise.reject(new DOMException(TEXT_STATE_CHANGE, "InvalidStateError"));
    }
    if (!d.opened) {
      return Promise.reject(new DOMException(TEXT_OPEN_REQUIRED, "InvalidStateError"));
    }
    // Chromium refuses, before anything is written, a device without output
    // reports, a report longer than its longest output report, and report
    // ID 0 on a device whose reports have IDs (or another on one whose
    // reports have none). A shorter report, or one under an ID that only
    // its input reports use, goes to the device as it is.
    const reportIdByte = Math.trunc(id) & 0xff;
    const limits = d.outputLimits;
    if (limits.maxOutputBytes === 0 || bytes.length > limits.maxOutputBytes ||
        limits.hasReportIds !== (reportIdByte !== 0)) {
      return refusedWrite();
    }
    // The device has gone, and the browser has said so: the HIDDevice is
    // still opened, but what is written to it never completes.
    if (d.disconnected) {
      return new Promise(() => {});
    }
    // Gone, but the browser has not noticed yet: the system's write fails.
    if (!d.present) {
      return refusedWrite();
    }
    return new Promise((resolve, reject) => {
      const outcome = d.transfer(reportIdByte, bytes);
      // The write completes in a task of its own, as the real one does,
      // whatever happens to the device meanwhile: what comes `after` (the
      // device going away) comes after it.
      later(() => {
        if (outcome.written) {
          resolve();
        } else {
          reject(new DOMException(TEXT_SEND_FAILED, "NotAllowedError"));
        }
        if (outcome.after) outcome.after();
      }, 0);
    });
  }

  sendFeatureReport() {
    return Promise.reject(new DOMException(TEXT_SEND_FAILED, "NotAllowedError"));
  }

  receiveFeatureReport() {
    return Promise.reject(new DOMException("Failed to receive the feature report.", "NotAllowedError"));
  }

  forget() {
    const d = this.#d;
    grantedKeys.delete(d.key);
    d.opened = false;
    cancelReplies(d);
    notifyChange();
    return Promise.resolve();
  }
}
defineHandlerAttribute(StandInHIDDevice.prototype, "inputreport");

function refusedWrite() {
  return new Promise((resolve, reject) => {
    later(() => reject(new DOMException(TEXT_SEND_FAILED, "NotAllowedError")), 0);
  });
}

export function cancelReplies(d) {
  for (const timer of d.replies) cancelLater(timer);
  d.replies.clear();
}

export function dispatchInputReport(d, bytes) {
  if (!d.present || !d.opened) return;  // nobody reads it: the report is lost
  const reportId = bytes[0];
  const payload = bytes.slice(1);
  d.device.dispatchEvent(new StandInInputReportEvent("inputreport", {
    device: d.device, reportId, data: new DataView(payload.buffer),
  }));
}

// A new device object, as the browser makes one each time a device
// arrives. `transfer` takes one output report and says whether it was
// written and what happens after.
export function makeDevice(fields) {
  const d = Object.assign({
    present: true, disconnected: false, opened: false, stateChanging: false,
    replies: new Set(),
  }, fields);
  d.collections = collectionsFor(d);
  d.outputLimits = outputLimits(d.collections);
  d.device = new StandInHIDDevice(d);
  return d;
}

// A device that is not the unit: takes every report that reaches it and
// never answers.
export function silentTransfer() {
  return () => ({ written: true });
}

// A device leaves: it is no longer listed, replies on the way are lost,
// and a write already handed to the system completes as it would have. The
// browser notices in a later task, and the page then hears of it if it was
// granted. As in Chromium, its HIDDevice stays `opened` (at the disconnect
// event and after, until the page closes it).
export function removeDevice(d) {
  if (!d.present) return;
  d.present = false;
  cancelReplies(d);
  const index = devices.indexOf(d);
  if (index >= 0) devices.splice(index, 1);
  const granted = grantedKeys.has(d.key);
  if (!d.keepsGrant) grantedKeys.delete(d.key);
  sayLater(() => {
    d.disconnected = true;
    if (granted) hid.dispatchEvent(new StandInConnectionEvent("disconnect", { device: d.device }));
  }, standIn.disconnectDelayMs);
}

export function addDevice(d, first) {
  if (first) devices.unshift(d); else devices.push(d);
  if (grantedKeys.has(d.key)) {
    sayLater(() => {
      if (d.present) hid.dispatchEvent(new StandInConnectionEvent("connect", { device: d.device }));
    }, 0);
  }
}

// The connection events the browser is still to dispatch, as it does in a
// later task: each a promise that settles once its event has been handled
// by the page's listeners (which run within the dispatch).
const unsaid = new Set();

function sayLater(dispatch, pageMs) {
  const saying = new Promise((resolve) => {
    later(() => {
      unsaid.delete(saying);
      try {
        dispatch();
      } finally {
        resolve();
      }
    }, pageMs);
  });
  unsaid.add(saying);
}

// ---------------------------------------------------------------------
// navigator.hid

function matches(d, filter) {
  if (filter.vendorId !== undefined && filter.vendorId !== d.vendorId) return false;
  if (filter.productId !== undefined && filter.productId !== d.productId) return false;
  const collection = d.collections[0];
  if (filter.usagePage !== undefined && filter.usagePage !== collection.usagePage) return false;
  if (filter.usage !== undefined && filter.usage !== collection.usage) return false;
  return true;
}

class StandInHID extends EventTarget {
  getDevices() {
    return ready.then(() => devices.filter((d) => grantedKeys.has(d.key)).map((d) => d.device));
  }

  requestDevice(options) {
    if (!navigator.userActivation || !navigator.userActivation.isActive) {
      return Promise.reject(new DOMException(TEXT_USER_GESTURE, "SecurityError"));
    }
    if (!options || !Array.isArray(options.filters)) {
      return Promise.reject(new TypeError(
        "Failed to execute 'requestDevice' on 'HID': required member filters is undefined."));
    }
    for (const filter of options.filters) {
      if (filter.productId !== undefined && filter.vendorId === undefined) {
        return Promise.reject(new TypeError(
          "Failed to execute 'requestDevice' on 'HID': A filter containing a productId must also contain a vendorId."));
      }
      if (filter.usage !== undefined && filter.usagePage === undefined) {
        return Promise.reject(new TypeError(
          "Failed to execute 'requestDevice' on 'HID': A filter containing a usage must also contain a usagePage."));
      }
    }
    const filters = options.filters;
    // The chooser lists the present devices that match; the user picks
    // the first one or closes the chooser.
    return ready.then(() => new Promise((resolve) => {
      later(() => {
        const listed = devices.filter((d) => filters.length === 0 || filters.some((f) => matches(d, f)));
        if (chooser !== "choose" || listed.length === 0) {
          resolve([]);
          return;
        }
        grantedKeys.add(listed[0].key);
        notifyChange();
        resolve([listed[0].device]);
      }, 0);
    }));
  }
}
defineHandlerAttribute(StandInHID.prototype, "connect");
defineHandlerAttribute(StandInHID.prototype, "disconnect");

const hid = new StandInHID();
Object.defineProperty(navigator, "hid", { value: hid, configurable: true, enumerable: true });


// For the device behind the stand-in (unit-bridge.js).
export const standIn = {
  devices,
  grantedKeys,
  listeners,
  get chooser() { return chooser; },
  set chooser(answer) { chooser = answer; },
  set answerAtOnce(on) { answerAtOnce = Boolean(on); },
  // How long after a device leaves the browser says so, in page ms.
  disconnectDelayMs: 0,
  // Resolves once every connection event of a device plugged in or pulled
  // out so far has been dispatched.
  said() { return Promise.all([...unsaid]).then(() => undefined); },
  // getDevices and requestDevice wait for `promise` first.
  waitFor(promise) { ready = promise.catch(() => {}); },
};
