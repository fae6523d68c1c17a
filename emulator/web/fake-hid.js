// A stand-in for WebHID (navigator.hid) over the emulated programming unit,
// for the demo and the browser tests. It has the surface of the real API as
// Chromium implements it: getDevices, requestDevice (only with a user
// gesture), connect and disconnect events for granted devices, and HIDDevice
// objects with opened, open, close, sendReport, collections, vendorId,
// productId, productName and inputreport events; its promises reject with
// the DOMExceptions Chromium uses. Each output report goes to the emulator
// module (emulator.js), and the unit's reply comes back as an input report
// after the time the unit takes, divided by the page's time scale.
//
// The entry page loads this script right after emulator.js and before the
// page's own scripts, and gives the time scale on its script element:
// <script src="emulator/fake-hid.js" data-time-scale="1"></script>
// (50 in the tests' page, whose updater runs its clock 50 times faster).
//
// window.orvantoEmulator is the emulator's control surface for the demo's
// panel and the tests:
//   ready                 resolves once the emulator module has loaded
//   timeScale             the page's time scale
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
//   setPurgeDuration(ms)  how long the plugged unit takes to erase the ESC
//   grant(productId?)     the permission for the unit (by default the one
//                         plugged in), as if chosen in the chooser before
//   revoke(productId?)    takes permissions back
//   setChooser(answer)    what the chooser does when the page asks:
//                         "choose" (the first matching device) or "cancel"
//   armFault({kind, step, block, errorCode})  a fault for the next update on
//                         the plugged unit: kind "unit-error", "no-reply",
//                         "write-fails", "unplug", "unplug-before-reply" or
//                         "none"; step "lock", "protection-off", "purge",
//                         "address" or "block" (the block-th data block)
//   flash()               a copy of the ESC's flash (Uint8Array)
//   log()                 the reports the unit received and sent:
//                         [{fromHost, timeMs, bytes}], bytes with the report
//                         ID first, timeMs on the unit's clock (the page's
//                         milliseconds times the time scale)
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
(function () {
  "use strict";

  // Whatever goes wrong here, the stand-in is installed: the page must never
  // reach a real unit with the STAND-IN image of the demo and the tests. A
  // stand-in that could not start rejects every request.
  const script = document.currentScript;
  const timeScale = Number(script && script.dataset.timeScale);
  const scaleValid = timeScale > 0 && Number.isFinite(timeScale);
  const scriptBase = script ? script.src.slice(0, script.src.lastIndexOf("/") + 1) : "";

  const UNIT_VENDOR_ID = 0x3f19;
  const UNIT_NAMES = { 1: "ORBICON", 2: "LINK-BOX" };
  const UNIT_OUTPUT_REPORT_ID = 1;
  const UNIT_INPUT_REPORT_ID = 2;
  const MAX_REPORT_LENGTH = 60;
  const ERROR_DEVICE_NOT_CONNECTED = 1167;

  // The numbers of the model's DemoFaultKind and DemoFaultStep.
  const FAULT_KINDS = {
    none: 0, "unit-error": 1, "no-reply": 2, "write-fails": 3, unplug: 4, "unplug-before-reply": 5,
  };
  const FAULT_STEPS = { lock: 0, "protection-off": 1, purge: 2, address: 3, block: 4 };

  // Chromium's texts for the rejections the page can meet.
  const TEXT_USER_GESTURE = "Must be handling a user gesture to show a permission request.";
  const TEXT_OPEN_REQUIRED = "The device must be opened first.";
  const TEXT_ALREADY_OPEN = "The device is already open.";
  const TEXT_OPEN_FAILED = "Failed to open the device.";
  const TEXT_STATE_CHANGE = "An operation that changes the device state is in progress.";
  const TEXT_SEND_FAILED = "Failed to write the report.";
  const TEXT_UNEXPECTED_CLOSE = "The device was closed unexpectedly.";

  let emulator = null;  // the emulator module, once loaded
  let chooser = "choose";  // what the browser's chooser does: "choose" or "cancel"
  const devices = [];  // present devices, in enumeration order
  const grantedKeys = new Set();  // permissions, by device key
  let unit = null;  // the unit's HIDDevice while it is plugged in
  let unitSettings = null;
  let keepsGrant = true;  // the unit has a serial number: its permission outlives unplugging
  const listeners = new Set();  // the panel's change listeners

  function unitNowMs() {
    return performance.now() * timeScale;
  }

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

  function later(callback, pageMs) {
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

  function cancelLater(handle) {
    if (handle < 0) {
      immediateTasks.delete(handle);
    } else {
      clearTimeout(handle);
    }
  }

  function notifyChange() {
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
      return new Promise((resolve, reject) => {
        const pending = { resolve, reject };
        d.pending.add(pending);
        const outcome = d.transfer(Math.trunc(id), bytes);
        // The write completes in a task of its own, as the real one does.
        later(() => {
          if (!d.pending.delete(pending)) return;  // rejected when the device went away
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

  function cancelReplies(d) {
    for (const timer of d.replies) cancelLater(timer);
    d.replies.clear();
  }

  function dispatchInputReport(d, bytes) {
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
  function makeDevice(fields) {
    const d = Object.assign({
      present: true, opened: false, stateChanging: false,
      pending: new Set(), replies: new Set(),
    }, fields);
    d.collections = collectionsFor(d);
    d.device = new StandInHIDDevice(d);
    return d;
  }

  // A device that is not the unit: takes well-formed reports and never answers.
  function silentTransfer(d) {
    return (reportId, bytes) => ({
      written: reportId === d.outputReportId && bytes.length + 1 === d.outputLength,
    });
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
      if (lastError === ERROR_DEVICE_NOT_CONNECTED || (lastError !== 0 && pulledOut)) {
        // The unit went away before the write: the connection closes under
        // the write (which rejects as such), and the browser reports the
        // device gone.
        removeUnitNow();
        return { written: false };
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

  // A device leaves: its connection closes, and the page hears of it if it
  // was granted. As in Chromium, requests pending on a connection that
  // closes reject with InvalidStateError "The device was closed
  // unexpectedly."; replies on the way are lost.
  function removeDevice(d) {
    if (!d.present) return;
    d.present = false;
    d.opened = false;
    cancelReplies(d);
    for (const pending of d.pending) {
      pending.reject(new DOMException(TEXT_UNEXPECTED_CLOSE, "InvalidStateError"));
    }
    d.pending.clear();
    const index = devices.indexOf(d);
    if (index >= 0) devices.splice(index, 1);
    const granted = grantedKeys.has(d.key);
    if (!d.keepsGrant) grantedKeys.delete(d.key);
    if (granted) {
      later(() => hid.dispatchEvent(new StandInConnectionEvent("disconnect", { device: d.device })), 0);
    }
  }

  function removeUnitNow() {
    if (!unit) return;
    const d = unit;
    unit = null;
    removeDevice(d);
    notifyChange();
  }

  function addDevice(d, first) {
    if (first) devices.unshift(d); else devices.push(d);
    if (grantedKeys.has(d.key)) {
      later(() => {
        if (d.present) hid.dispatchEvent(new StandInConnectionEvent("connect", { device: d.device }));
      }, 0);
    }
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

  function plug(settings = {}) {
    requireReady();
    const s = {
      productId: integerSetting(settings.productId, 2, 1, 2, "productId"),
      bootloader: Boolean(settings.bootloader),
      esc: settings.esc === undefined ? true : Boolean(settings.esc),
      escTypeCode: integerSetting(settings.escTypeCode, 0x111f405a, 0, 0xffffffff, "escTypeCode"),
      escVersion: integerSetting(settings.escVersion, 0x0205, 0, 0xffff, "escVersion"),
      inputLength: integerSetting(settings.inputLength, MAX_REPORT_LENGTH, 1, MAX_REPORT_LENGTH, "inputLength"),
      outputLength: integerSetting(settings.outputLength, MAX_REPORT_LENGTH, 1, MAX_REPORT_LENGTH, "outputLength"),
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
    chooser = answer;
    notifyChange();
  }

  function armFault(fault = {}) {
    requireReady();
    const kind = FAULT_KINDS[fault.kind];
    const step = FAULT_STEPS[fault.step === undefined ? "lock" : fault.step];
    if (kind === undefined) throw new RangeError("armFault(): unknown kind " + fault.kind);
    if (step === undefined) throw new RangeError("armFault(): unknown step " + fault.step);
    const block = integerSetting(fault.block, 1, 1, 0xffffffff, "block");
    const errorCode = integerSetting(fault.errorCode, 0xabcd, 0, 0xffffffff, "errorCode");
    if (!emulator._EmulatorArmFault(kind, step, block, errorCode)) {
      throw new Error("armFault(): plug a unit in first: faults are armed on the plugged unit");
    }
    return true;
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
    d.transfer = silentTransfer(d);
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
      chooser,
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
    loading = Promise.reject(new Error("fake-hid.js needs data-time-scale (a positive number) on its script element"));
  } else if (typeof OrvantoEmulatorModule !== "function") {
    loading = Promise.reject(new Error("emulator.js did not load before fake-hid.js"));
  } else {
    loading = OrvantoEmulatorModule({ locateFile: (name) => scriptBase + name });
  }
  const ready = loading
    .then((module) => {
      emulator = module;
      applySetup(window.orvantoEmulatorSetup);
    });
  ready.catch((error) => console.error("The emulated unit did not load:", error));

  window.orvantoEmulator = Object.freeze({
    ready,
    timeScale,
    plug,
    unplug,
    replug,
    setPurgeDuration,
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
    setAnswerAtOnce(on) { answerAtOnce = Boolean(on); },
  });
})();
