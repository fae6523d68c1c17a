// The emulated programming unit behind the stand-in WebHID (standin-hid.js),
// for the demo and the browser tests: each output report the page sends the
// unit goes to the emulator module (emulator.js), and the unit's reply comes
// back as an input report after the time the unit takes, divided by the
// page's time scale.
//
// The entry page loads this module right after emulator.js and before the
// page's own scripts, and gives the time scale on its script element:
// <script type="module" src="emulator/unit-bridge.js" data-time-scale="1">
// (50 in the tests' page, whose updater runs its clock 50 times faster).
//
// window.orvantoEmulator is the emulator's control surface for the demo's
// panel and the tests:
//   ready                 resolves once the emulator module has loaded
//   timeScale             the page's time scale
//   defaults()            the demo's default unit, as the emulator defines it
//   plug(settings)        plugs a unit in (pulling out the one that is in):
//                         {productId: 1|2, bootloader, esc, escTypeCode,
//                         escVersion, inputLength, outputLength (1 to 60,
//                         report ID included; 60), keepsGrant (true: the unit
//                         has a serial number and keeps its permission when
//                         pulled out), openRefused (true: the system does not
//                         let the browser open it, as on Linux without the
//                         udev rule)}; a granted unit arrives with `connect`
//   unplug()              pulls it out (`disconnect` if granted)
//   replug()              plugs the unit pulled out last in again, its
//                         ESC's flash as it was (a new HIDDevice, as in the
//                         browser)
//   swapEsc(settings)     puts another ESC on the plugged unit's cable:
//                         {esc, escTypeCode, escVersion} as plug() takes
//                         them; the unit stays on USB, so the page hears
//                         of nothing
//   said()                resolves once the page has been told of every
//                         unit plugged in and pulled out so far (the
//                         browser says so in a later task)
//   setPurgeDuration(ms)  how long the plugged unit takes to erase the ESC
//   setDisconnectDelay(ms)  how long after a unit leaves the browser says
//                         so (0, the default: in its next task; Chromium on
//                         Linux: 50 ms to about 4 s), in the program's time
//   grant(productId?)     the permission for the unit (by default the one
//                         plugged in), as if chosen in the chooser before
//   revoke(productId?)    takes permissions back
//   setChooser(answer)    what the chooser does when the page asks:
//                         "choose" (the first matching device) or "cancel"
//   armFault({kind, step, block, errorCode, lastError})  a fault for the
//                         next update on the plugged unit: kind "unit-error",
//                         "wrong-state", "no-reply", "write-fails",
//                         "read-fails", "unplug", "unplug-before-reply" or
//                         "none" (lastError: what a failed write fails with;
//                         a reply whose read fails never reaches the page);
//                         step "lock", "protection-off", "purge",
//                         "address", "block" (the block-th data block) or
//                         "esc-identity" (the ESC's identity asked next)
//   flash()               a copy of the ESC's flash (Uint8Array)
//   log()                 the reports the unit received and sent:
//                         [{fromHost, timeMs, bytes}], bytes with the report
//                         ID first, timeMs on the unit's clock (the page's
//                         milliseconds times the time scale)
//   leastBlockWaitMs(from)  the least time the host waited from a data
//                         block's reply to its next report, on the unit's
//                         clock, over log() from entry `from` on; null when
//                         no block's reply was followed by a report
//   addOtherDevice(settings) / removeOtherDevice(id)  a HID device that is
//                         not a unit: {vendorId, productId, productName,
//                         granted (true), first (true: listed before the
//                         unit)}; returns its id
//   state(), onChange(listener)  for the panel
//   setAnswerAtOnce(on)   for the measuring script: what takes the unit no
//                         time comes without a browser task in between
// window.orvantoEmulatorSetup, when a test defines it before this script
// runs, is applied before any getDevices call resolves: {unit: {...plug
// settings}, granted: true, chooser: "choose", otherDevices: [{...}]}.
import {
  COMMAND_REPORT_ID,
  PLATFORM_ERROR_DEVICE_NOT_CONNECTED,
  PLATFORM_ERROR_GEN_FAILURE,
  PLATFORM_ERROR_INVALID_PARAMETER,
  PRODUCT_ID_LINK_BOX,
  PRODUCT_ID_ORBICON,
  REPLY_REPORT_ID,
  REPORT_SIZE,
  UNIT_VENDOR_ID,
} from "../names.mjs";
import {
  addDevice,
  dispatchInputReport,
  later,
  makeDevice,
  notifyChange,
  removeDevice,
  silentTransfer,
  standIn,
} from "./standin-hid.js";

const { devices, grantedKeys, listeners } = standIn;

// The page gives the time scale on this module's script element:
// <script type="module" src="emulator/unit-bridge.js" data-time-scale="1">.
// Without the emulator module the stand-in still stands in, rejecting
// every request: the page must never reach a real unit with the STAND-IN
// image of the demo and the tests.
const script = document.querySelector('script[src$="unit-bridge.js"]');
const timeScale = Number(script && script.dataset.timeScale);
const scaleValid = timeScale > 0 && Number.isFinite(timeScale);
const scriptBase = new URL(".", import.meta.url).href;

// The units' USB product strings, which the browser gives as productName.
const UNIT_NAMES = { [PRODUCT_ID_ORBICON]: "ORVANTO ORBICON", [PRODUCT_ID_LINK_BOX]: "ORVANTO LINK-BOX" };
const UNIT_OUTPUT_REPORT_ID = COMMAND_REPORT_ID;
const UNIT_INPUT_REPORT_ID = REPLY_REPORT_ID;
const MAX_REPORT_LENGTH = REPORT_SIZE;

let emulator = null;  // the emulator module, once loaded
let unit = null;  // the unit's HIDDevice while it is plugged in
let unitSettings = null;
let keepsGrant = true;  // the unit has a serial number: its permission outlives unplugging

function unitNowMs() {
  return performance.now() * timeScale;
}

// The unit: every report goes to the emulator module.
function unitTransfer(d) {
  return (reportId, bytes) => {
    const report = new Uint8Array(bytes.length + 1);
    report[0] = reportId;
    report.set(bytes, 1);
    const pointer = emulator._malloc(report.length);
    emulator.HEAPU8.set(report, pointer);
    const lastError = emulator._EmulatorSend(pointer, report.length, unitNowMs());
    emulator._free(pointer);

    const pulledOut = emulator._EmulatorPlugged() === 0;
    if (lastError === PLATFORM_ERROR_DEVICE_NOT_CONNECTED || (lastError !== 0 && pulledOut)) {
      // The unit went away before the write: the write fails, and only
      // after it the browser notices that the device is gone.
      return { written: false, after: () => removeUnitNow() };
    }
    if (lastError === PLATFORM_ERROR_INVALID_PARAMETER) {
      // A report not of the unit's output report's length or ID: hidraw
      // hands it to the unit as it is, and the unit drops it unanswered.
      return { written: true };
    }
    if (lastError !== 0) {
      return { written: false };
    }
    if (pulledOut) {
      // The unit took the report and carried it out, then was pulled out
      // before its reply.
      return { written: true, after: () => removeUnitNow() };
    }
    if (emulator._EmulatorReplyComing()) {
      const length = emulator._EmulatorReplyLength();
      const start = emulator._EmulatorReplyBytes();
      const replyBytes = emulator.HEAPU8.slice(start, start + length);
      const delayMs = emulator._EmulatorReplyDelayMs() / timeScale;
      const timer = later(() => {
        d.replies.delete(timer);
        dispatchInputReport(d, replyBytes);
      }, delayMs);
      d.replies.add(timer);
    }
    return { written: true };
  };
}

function removeUnitNow() {
  if (!unit) return;
  const d = unit;
  unit = null;
  removeDevice(d);
  notifyChange();
}

// ---------------------------------------------------------------------
// The control surface

function unitKey(productId) {
  return "unit:" + productId;
}

function integerSetting(value, fallback, low, high, name) {
  const number = value === undefined ? fallback : value;
  if (!Number.isInteger(number) || number < low || number > high) {
    throw new RangeError(name + " must be an integer from " + low + " to " + high + ", not " + value);
  }
  return number;
}

function requireReady() {
  if (!emulator) throw new Error("The emulator is still loading: wait for orvantoEmulator.ready");
}

// The demo's default unit, as the emulator defines it (DemoUnitSettings).
function defaultSettings() {
  const pointer = emulator._malloc(7 * 4);
  try {
    emulator._EmulatorDefaultSettings(pointer);
    const [productId, bootloader, esc, escTypeCode, escVersion, inputLength, outputLength] =
      Array.from(emulator.HEAPU32.subarray(pointer >> 2, (pointer >> 2) + 7));
    return {
      productId, bootloader: bootloader !== 0, esc: esc !== 0, escTypeCode, escVersion,
      inputLength, outputLength,
    };
  } finally {
    emulator._free(pointer);
  }
}

function plug(settings = {}) {
  requireReady();
  const d = defaultSettings();
  const s = {
    productId: integerSetting(settings.productId, d.productId, PRODUCT_ID_ORBICON, PRODUCT_ID_LINK_BOX, "productId"),
    bootloader: settings.bootloader === undefined ? d.bootloader : Boolean(settings.bootloader),
    esc: settings.esc === undefined ? d.esc : Boolean(settings.esc),
    escTypeCode: integerSetting(settings.escTypeCode, d.escTypeCode, 0, 0xffffffff, "escTypeCode"),
    escVersion: integerSetting(settings.escVersion, d.escVersion, 0, 0xffff, "escVersion"),
    inputLength: integerSetting(settings.inputLength, d.inputLength, 1, MAX_REPORT_LENGTH, "inputLength"),
    outputLength: integerSetting(settings.outputLength, d.outputLength, 1, MAX_REPORT_LENGTH, "outputLength"),
    keepsGrant: settings.keepsGrant === undefined ? true : Boolean(settings.keepsGrant),
    openRefused: Boolean(settings.openRefused),
  };
  unplug();
  if (!emulator._EmulatorPlug(s.productId, s.bootloader ? 1 : 0, s.esc ? 1 : 0,
                              s.escTypeCode, s.escVersion, s.inputLength, s.outputLength)) {
    throw new RangeError("The emulator refused the unit's settings");
  }
  return addUnitDevice(s);
}

// The HIDDevice of a unit that the emulator has just plugged in: a new
// object each time, as the browser makes one for every plugging.
function addUnitDevice(s) {
  keepsGrant = s.keepsGrant;
  unitSettings = s;
  const d = makeDevice({
    key: unitKey(s.productId), keepsGrant: s.keepsGrant,
    vendorId: UNIT_VENDOR_ID, productId: s.productId, productName: UNIT_NAMES[s.productId],
    inputReportId: UNIT_INPUT_REPORT_ID, outputReportId: UNIT_OUTPUT_REPORT_ID,
    inputLength: s.inputLength, outputLength: s.outputLength,
  });
  d.openRefused = s.openRefused;
  d.transfer = unitTransfer(d);
  unit = d;
  addDevice(d, false);
  notifyChange();
  return d.device;
}

function unplug() {
  requireReady();
  if (!unit) return false;
  emulator._EmulatorUnplug();
  removeUnitNow();
  return true;
}

// Plugs the unit pulled out last in again, with what its ESC's flash
// holds now (after a failed update, a partly written image).
function replug() {
  requireReady();
  if (!unitSettings) throw new Error("replug(): no unit has been plugged in yet");
  unplug();
  if (!emulator._EmulatorReplug()) {
    throw new Error("replug(): the emulator has no unit to plug in again");
  }
  return addUnitDevice(unitSettings);
}

function swapEsc(settings = {}) {
  requireReady();
  const d = defaultSettings();
  const esc = settings.esc === undefined ? d.esc : Boolean(settings.esc);
  const typeCode = integerSetting(settings.escTypeCode, d.escTypeCode, 0, 0xffffffff, "escTypeCode");
  const version = integerSetting(settings.escVersion, d.escVersion, 0, 0xffff, "escVersion");
  if (!emulator._EmulatorSwapEsc(esc ? 1 : 0, typeCode, version)) {
    throw new Error("swapEsc(): plug a unit in first");
  }
}

// How long the plugged unit's ESC takes to erase its flash (the purge's
// reply comes then), in the unit's milliseconds.
function setPurgeDuration(milliseconds) {
  requireReady();
  const ms = integerSetting(milliseconds, 700, 0, 600000, "setPurgeDuration()");
  if (!emulator._EmulatorSetPurgeDuration(ms)) {
    throw new Error("setPurgeDuration(): plug a unit in first");
  }
}

// Grants the unit of this product ID (by default the one plugged in) as
// if the user had chosen it in the browser's chooser earlier.
function grant(productId) {
  const id = productId === undefined ? (unit ? unit.productId : undefined) : productId;
  if (id !== 1 && id !== 2) {
    throw new Error("grant(): no unit is plugged in; name the product ID (1 or 2)");
  }
  grantedKeys.add(unitKey(id));
  notifyChange();
}

function revoke(productId) {
  const ids = productId === undefined ? [1, 2] : [productId];
  for (const id of ids) grantedKeys.delete(unitKey(id));
  notifyChange();
}

function setChooser(answer) {
  if (answer !== "choose" && answer !== "cancel") {
    throw new RangeError('setChooser(): "choose" or "cancel", not ' + answer);
  }
  standIn.chooser = answer;
  notifyChange();
}

function armFault(fault = {}) {
  requireReady();
  const kind = fault.kind === undefined ? "none" : String(fault.kind);
  const step = fault.step === undefined ? "lock" : String(fault.step);
  const block = integerSetting(fault.block, 1, 1, 0xffffffff, "block");
  const errorCode = integerSetting(fault.errorCode, 0xabcd, 0, 0xffffffff, "errorCode");
  const lastError = integerSetting(fault.lastError, PLATFORM_ERROR_GEN_FAILURE, 0, 0xffffffff, "lastError");
  const armed = withText(kind, (kindText) => withText(step, (stepText) =>
    emulator._EmulatorArmFault(kindText, stepText, block, errorCode, lastError)));
  if (armed === -1) throw new RangeError("armFault(): unknown kind " + kind + " or step " + step);
  if (armed === 0) {
    throw new Error("armFault(): plug a unit in first: faults are armed on the plugged unit");
  }
  return true;
}

// Calls `use` with `text` as a C string in the module's memory.
function withText(text, use) {
  const size = emulator.lengthBytesUTF8(text) + 1;
  const pointer = emulator._malloc(size);
  try {
    emulator.stringToUTF8(text, pointer, size);
    return use(pointer);
  } finally {
    emulator._free(pointer);
  }
}

function flash() {
  requireReady();
  const size = emulator._EmulatorFlashSize();
  const start = emulator._EmulatorFlashBytes();
  return emulator.HEAPU8.slice(start, start + size);
}

function log() {
  requireReady();
  const entries = [];
  const count = emulator._EmulatorLogSize();
  for (let i = 0; i < count; i++) {
    const start = emulator._EmulatorLogBytes(i);
    const bytes = emulator.HEAPU8.slice(start, start + emulator._EmulatorLogLength(i));
    entries.push({
      fromHost: emulator._EmulatorLogFromHost(i) === 1,
      timeMs: emulator._EmulatorLogTimeMs(i),
      bytes,
    });
  }
  return entries;
}

function leastBlockWaitMs(from = 0) {
  requireReady();
  const us = emulator._EmulatorLeastBlockWaitUs(from);
  return us < 0 ? null : us / 1000;
}

let otherCount = 0;
// Adds a HID device that is not a programming unit (another vendor's or
// product ID), granted unless told otherwise, before the unit in the
// enumeration order unless `first` is false. Returns its id for
// removeOtherDevice.
function addOtherDevice(settings = {}) {
  otherCount += 1;
  const d = makeDevice({
    key: "other:" + otherCount, keepsGrant: true,
    vendorId: integerSetting(settings.vendorId, 0x046d, 0, 0xffff, "vendorId"),
    productId: integerSetting(settings.productId, 0xc52b, 0, 0xffff, "productId"),
    productName: settings.productName === undefined ? "Other HID device" : String(settings.productName),
    inputReportId: integerSetting(settings.inputReportId, UNIT_INPUT_REPORT_ID, 0, 255, "inputReportId"),
    outputReportId: integerSetting(settings.outputReportId, UNIT_OUTPUT_REPORT_ID, 0, 255, "outputReportId"),
    inputLength: integerSetting(settings.inputLength, MAX_REPORT_LENGTH, 1, 65, "inputLength"),
    outputLength: integerSetting(settings.outputLength, MAX_REPORT_LENGTH, 1, 65, "outputLength"),
  });
  d.transfer = silentTransfer();
  if (settings.granted === undefined || settings.granted) grantedKeys.add(d.key);
  addDevice(d, settings.first === undefined ? true : Boolean(settings.first));
  notifyChange();
  return d.key;
}

// Pulls out the other device that addOtherDevice named with `id`.
function removeOtherDevice(id) {
  const d = devices.find((present) => present !== unit && present.key === id);
  if (!d) throw new Error("removeOtherDevice(): no other device " + id + " is plugged in");
  removeDevice(d);
  notifyChange();
}

function state() {
  return {
    plugged: unit !== null,
    unit: unit ? Object.assign({}, unitSettings) : null,
    granted: unit ? grantedKeys.has(unit.key) : false,
    opened: unit ? unit.opened : false,
    chooser: standIn.chooser,
    keepsGrant,
    otherDevices: devices.filter((d) => d !== unit).length,
  };
}

function applySetup(setup) {
  if (!setup) return;
  if (setup.chooser !== undefined) setChooser(setup.chooser);
  for (const other of setup.otherDevices || []) addOtherDevice(other);
  if (setup.unit) {
    plug(setup.unit);
    if (setup.granted) grant();
  }
}

// Without the module the stand-in still stands in: the page must never
// reach a real unit with the demo's STAND-IN image.
let loading;
if (!scaleValid) {
  loading = Promise.reject(new Error("unit-bridge.js needs data-time-scale (a positive number) on its script element"));
} else if (typeof OrvantoEmulatorModule !== "function") {
  loading = Promise.reject(new Error("emulator.js did not load before unit-bridge.js"));
} else {
  loading = OrvantoEmulatorModule({ locateFile: (name) => scriptBase + name });
}
const ready = loading
  .then((module) => {
    emulator = module;
    applySetup(window.orvantoEmulatorSetup);
  });
ready.catch((error) => console.error("The emulated unit did not load:", error));
standIn.waitFor(ready);

window.orvantoEmulator = Object.freeze({
  ready,
  timeScale,
  defaults: () => {
    requireReady();
    return defaultSettings();
  },
  plug,
  unplug,
  replug,
  swapEsc,
  said: () => standIn.said(),
  setPurgeDuration,
  leastBlockWaitMs,
  setDisconnectDelay(ms) { standIn.disconnectDelayMs = Math.max(0, Number(ms) || 0) / timeScale; },
  grant,
  revoke,
  setChooser,
  armFault,
  flash,
  log,
  addOtherDevice,
  removeOtherDevice,
  state,
  onChange(listener) { listeners.add(listener); return () => listeners.delete(listener); },
  setAnswerAtOnce(on) { standIn.answerAtOnce = on; },
});