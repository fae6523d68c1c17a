// The updater page: the elements, the browser's APIs (WebHID, the clock
// worker, the wake lock) and the queue of events, for the updater program
// (updater.wasm) that runs in the page.
//
// The program is the same as on Windows and has one thread of control: it
// asks this script for the next event and suspends until there is one, and
// nothing calls into it meanwhile. So every click and every device that
// comes or goes is put into a queue here, and the program takes them one at
// a time; what it needs from the browser it asks through the host object
// below (declared on the program's side in platform/web/page_host.h).
"use strict";

(() => {
  // The programming units: LINK-BOX (product 2) and ORBICON (product 1).
  const UNIT_FILTERS = [
    { vendorId: 0x3f19, productId: 1 },
    { vendorId: 0x3f19, productId: 2 },
  ];

  // Windows' last-error values, as the program knows them.
  const ERROR_INVALID_HANDLE = 6;
  const ERROR_GEN_FAILURE = 31;
  const ERROR_DEVICE_NOT_CONNECTED = 1167;
  const ERROR_TIMEOUT = 1460;

  // The Windows HID driver keeps 32 input reports for a reader and drops the
  // oldest beyond that; so does the queue of each opened device here.
  const MAX_QUEUED_INPUT_REPORTS = 32;

  const DEVICE_EVENT_ARRIVAL = 0x8000;
  const DEVICE_EVENT_REMOVE_COMPLETE = 0x8004;
  const EVENT_COMMAND = 1;
  const EVENT_DEVICE = 2;
  const EVENT_ANSWER = 3;
  const IDCANCEL = 2;
  const IDC_UPDATE = 1002;
  const IDC_HINT = 40004;

  // MessageBoxW's styles and answers.
  const BOX_BUTTONS_MASK = 0x0f;
  const BOX_OK_CANCEL = 0x01;
  const BOX_YES_NO = 0x04;
  const BOX_ICON_MASK = 0xf0;
  const ANSWER_OK = 1;
  const ANSWER_CANCEL = 2;
  const ANSWER_YES = 6;
  const ANSWER_NO = 7;

  const root = document.documentElement;
  const byId = (id) => document.getElementById(id);

  function setState(state) {
    if (root.dataset.state !== state) {
      root.dataset.state = state;
      byId("updater").setAttribute("aria-busy", state === "busy" ? "true" : "false");
    }
  }

  // ---- Texts: from texts.json, made from the one source of every text.

  const germanBrowser = (navigator.language || "").toLowerCase().startsWith("de");
  let pageTexts = null;

  async function loadTexts() {
    const response = await fetch("texts.json");
    if (!response.ok) {
      throw new Error("texts.json: " + response.status);
    }
    const all = await response.json();
    return all[germanBrowser ? "de" : "en"];
  }

  // Every element of the page with a text of its own gets it in the
  // browser's language. Without the texts the page keeps its English ones.
  function putTexts() {
    if (!pageTexts) {
      return;
    }
    root.lang = germanBrowser ? "de" : "en";
    document.title = pageTexts.caption;
    byId("title").textContent = pageTexts.caption;
    for (const element of document.querySelectorAll("[data-text]")) {
      const text = pageTexts.texts[element.dataset.text];
      if (text !== undefined) {
        element.textContent = text.replace(/\r\n/g, "\n");
      }
    }
    for (const element of document.querySelectorAll("[data-control-id]")) {
      const text = pageTexts.controls[element.dataset.controlId];
      if (text !== undefined && Number(element.dataset.controlId) !== IDC_HINT) {
        element.textContent = text;
      }
    }
  }

  function pageText(id, english) {
    return (pageTexts && pageTexts.texts[String(id)]) || english;
  }

  // ---- The clock: timers in a worker of their own.
  //
  // A desktop browser throttles the timers of a hidden tab's page (aligned to
  // a second, worse after some minutes); a dedicated worker's timers are not
  // held back like that. Every wait checks its deadline against
  // performance.now() when it wakes and waits again if woken early. If the
  // worker cannot run, the page's own timers stand in.

  const clock = (() => {
    let worker = null;
    let nextId = 1;
    const pending = new Map();

    function fallBack() {
      worker = null;
      for (const [id, wake] of pending) {
        pending.delete(id);
        setTimeout(wake, 0);
      }
    }

    try {
      worker = new Worker("clock-worker.js");
      worker.addEventListener("message", (event) => {
        const wake = pending.get(event.data);
        if (wake) {
          pending.delete(event.data);
          wake();
        }
      });
      worker.addEventListener("error", fallBack);
    } catch (error) {
      worker = null;
    }

    // Calls `wake` after about `ms`; returns a function that cancels it.
    function timer(ms, wake) {
      if (!worker) {
        const timeout = setTimeout(wake, ms);
        return () => clearTimeout(timeout);
      }
      const id = nextId++;
      pending.set(id, wake);
      worker.postMessage({ id, ms });
      return () => {
        if (pending.delete(id) && worker) {
          worker.postMessage({ id, cancel: true });
        }
      };
    }

    // The worker's message takes a few tenths of a millisecond to reach the
    // page: it is asked to wake the page this much early, and the page
    // spends the rest on its own clock.
    const PAGE_FINISH_MS = 0.5;

    // Calls `done` no earlier than `ms` from now; returns a function that
    // cancels it.
    function after(ms, done) {
      const deadline = performance.now() + ms;
      let cancel = null;
      let cancelled = false;
      const check = () => {
        let left = deadline - performance.now();
        if (cancelled) {
          return;
        }
        if (left > 0 && left <= 2 * PAGE_FINISH_MS) {
          while (left > 0) {
            left = deadline - performance.now();
          }
        }
        if (left <= 0) {
          done();
        } else {
          cancel = timer(left - PAGE_FINISH_MS, check);
        }
      };
      check();
      return () => {
        cancelled = true;
        if (cancel) {
          cancel();
        }
      };
    }

    function wait(ms) {
      return new Promise((resolve) => after(ms, resolve));
    }

    // Calls `done` no earlier than `ms` from now on the page's own timers;
    // returns a function that cancels it. For the transfers' time limits:
    // a guard against a unit that stops answering, set and cancelled twice
    // for every block, where a message to the worker each time would cost
    // more than the timer. In a hidden tab it may fire late, never early.
    function limit(ms, done) {
      const deadline = performance.now() + ms;
      let timeout = null;
      const check = () => {
        const left = deadline - performance.now();
        if (left <= 0) {
          done();
        } else {
          timeout = setTimeout(check, left);
        }
      };
      timeout = setTimeout(check, ms);
      return () => clearTimeout(timeout);
    }

    return { after, wait, limit };
  })();

  // ---- HID over WebHID.
  //
  // Every HIDDevice object the page sees gets a path "webhid:<n>", n
  // counting from 1 in this page load; the same object keeps its path (a
  // unit plugged in again is a new object, with a new path). An opened
  // device is a record with its handle number; its input reports are
  // queued from the moment of opening, as the Windows HID driver buffers
  // them: reports that come while nobody listens are lost in WebHID.

  const hid = {
    paths: new WeakMap(),
    devices: new Map(), // path -> HIDDevice
    nextPath: 1,
    lists: new Map(),
    nextList: 1,
    records: new Map(), // handle -> record
    nextHandle: 1,
  };

  function pathOf(device) {
    let path = hid.paths.get(device);
    if (!path) {
      path = "webhid:" + hid.nextPath++;
      hid.paths.set(device, path);
      hid.devices.set(path, device);
    }
    return path;
  }

  function isUnit(device) {
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

  function deviceGone(device) {
    for (const record of hid.records.values()) {
      if (record.device === device) {
        record.gone = true;
        failTransfers(record, ERROR_DEVICE_NOT_CONNECTED);
      }
    }
  }

  // Windows' report byte lengths: per report ID, the bits of its items
  // (reportSize x reportCount) summed and rounded up to bytes; the longest
  // report, plus 1 for the report ID byte. 0 when there is no such report.
  // The unit has one top-level collection; reports of all of them are
  // taken together.
  function reportLength(collections, kind) {
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

  async function hidOpenList() {
    try {
      const devices = await navigator.hid.getDevices();
      const id = hid.nextList++;
      hid.lists.set(id, devices.map(pathOf));
      return id;
    } catch (error) {
      return 0;
    }
  }

  function hidListPath(list, index) {
    const paths = hid.lists.get(list);
    return paths && index >= 0 && index < paths.length ? paths[index] : null;
  }

  function hidCloseList(list) {
    hid.lists.delete(list);
  }

  async function hidOpen(path) {
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
        showOpenRefused(listed.includes(device));
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
      showOpenRefused(false);
    }
    return handle;
  }

  async function hidClose(handle) {
    const record = hid.records.get(handle);
    if (!record) {
      return;
    }
    hid.records.delete(handle);
    record.closed = true;
    failTransfers(record, ERROR_DEVICE_NOT_CONNECTED);
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

  function showOpenRefused(refused) {
    byId("open-refused").hidden = !refused;
  }

  // The granted devices again (a permission can be taken back in the
  // browser's settings, or by HIDDevice.forget()): an opened unit that is no
  // longer granted is handled as pulled out, and the button to choose a
  // unit comes back. Resolves once that is done.
  async function checkGrants() {
    if (!navigator.hid || events.ended) {
      return;
    }
    let granted;
    try {
      granted = await navigator.hid.getDevices();
    } catch (error) {
      return;
    }
    const gone = new Set();
    for (const record of hid.records.values()) {
      if (!record.gone && !granted.includes(record.device)) {
        gone.add(record.device);
      }
    }
    for (const device of gone) {
      deviceGone(device);
      postDeviceEvent(DEVICE_EVENT_REMOVE_COMPLETE, device);
    }
    refreshRequestArea();
  }

  function hidAttributes(handle) {
    const record = hid.records.get(handle);
    return record ? { vendorId: record.device.vendorId, productId: record.device.productId } : null;
  }

  function hidReportLengths(handle) {
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
  function hidWrite(handle, report, timeoutMs) {
    const record = hid.records.get(handle);
    if (!record) {
      return Promise.resolve(ERROR_INVALID_HANDLE);
    }
    if (record.gone || !record.device.opened) {
      return Promise.resolve(ERROR_DEVICE_NOT_CONNECTED);
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
      const failure = () => (record.gone || record.closed || !record.device.opened
        ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE);
      record.writer = finish;
      cancelTimer = clock.limit(timeoutMs, () => finish(ERROR_TIMEOUT));
      let sending;
      try {
        sending = record.device.sendReport(report[0], report.subarray(1));
      } catch (error) {
        finish(failure());
        return;
      }
      sending.then(() => finish(0), () => finish(failure()));
    });
  }

  // Resolves to the next input report (report ID first, at most `length`
  // bytes), or to 1460 when none came in time, 1167 when the device went
  // away or was closed.
  function hidRead(handle, length, timeoutMs) {
    const record = hid.records.get(handle);
    if (!record) {
      return Promise.resolve(ERROR_INVALID_HANDLE);
    }
    if (record.gone) {
      return Promise.resolve(ERROR_DEVICE_NOT_CONNECTED);
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
          finish(ERROR_TIMEOUT);
        }
      });
    });
  }

  // ---- The queue of events.
  //
  // The program waits either for any event (its main loop) or, while a
  // message box is open, for the box's answer or a device event; commands
  // then stay queued for the main loop.

  const events = {
    queue: [],
    waiter: null, // { resolve, inBox }
    deviceEvents: false,
    ended: false,
  };

  // Hands the waiting program its next event, if there is one; returns
  // whether it did.
  function deliver() {
    const waiter = events.waiter;
    if (!waiter) {
      return false;
    }
    let event = null;
    const box = boxes[boxes.length - 1];
    if (waiter.inBox && box && box.answer !== null) {
      event = { kind: EVENT_ANSWER, value: box.answer, path: "" };
    } else {
      const index = waiter.inBox
        ? events.queue.findIndex((queued) => queued.kind === EVENT_DEVICE)
        : (events.queue.length > 0 ? 0 : -1);
      if (index < 0) {
        return false;
      }
      event = events.queue.splice(index, 1)[0];
    }
    events.waiter = null;
    working();
    waiter.resolve(event);
    return true;
  }

  // The page's state for those who watch it: "starting" until the first
  // view is complete, then "idle" while the program waits for the user and
  // "busy" while it works.
  let firstViewShown = false;

  function working() {
    if (firstViewShown && !events.ended) {
      setState("busy");
    }
  }

  function waitingForUser() {
    if (firstViewShown && !events.ended) {
      setState("idle");
    }
  }

  function post(event) {
    if (events.ended) {
      return;
    }
    events.queue.push(event);
    deliver();
  }

  function postDeviceEvent(kind, device) {
    if (events.deviceEvents) {
      post({ kind: EVENT_DEVICE, value: kind, path: pathOf(device) });
    }
  }

  function waitForEvent(inBox) {
    return new Promise((resolve) => {
      events.waiter = { resolve, inBox };
      if (!deliver()) {
        waitingForUser();
      }
    });
  }

  function nextEvent() {
    // A command has returned: an update is over, if one ran.
    endUpdateGuards();
    return waitForEvent(false);
  }

  function registerDeviceEvents() {
    if (!navigator.hid) {
      return false;
    }
    events.deviceEvents = true;
    return true;
  }

  function unregisterDeviceEvents() {
    events.deviceEvents = false;
    events.queue = events.queue.filter((event) => event.kind !== EVENT_DEVICE);
  }

  // ---- While an update runs: leaving the page asks first, and the screen
  // stays on where the browser offers a wake lock.

  const guards = { active: false, wakeLock: null };

  function onBeforeUnload(event) {
    event.preventDefault();
    event.returnValue = "";
  }

  function requestWakeLock() {
    if (!guards.active || guards.wakeLock || !("wakeLock" in navigator) ||
        document.visibilityState !== "visible") {
      return;
    }
    navigator.wakeLock.request("screen").then((lock) => {
      if (guards.active && !guards.wakeLock) {
        guards.wakeLock = lock;
        lock.addEventListener("release", () => {
          if (guards.wakeLock === lock) {
            guards.wakeLock = null;
          }
        });
      } else {
        lock.release().catch(() => {});
      }
    }, () => {
      // Refused (power saving, or a policy): the update runs without it.
    });
  }

  function beginUpdateGuards() {
    if (guards.active) {
      return;
    }
    guards.active = true;
    window.addEventListener("beforeunload", onBeforeUnload);
    requestWakeLock();
  }

  function endUpdateGuards() {
    if (!guards.active) {
      return;
    }
    guards.active = false;
    releaseUpdateLock();
    window.removeEventListener("beforeunload", onBeforeUnload);
    if (guards.wakeLock) {
      const lock = guards.wakeLock;
      guards.wakeLock = null;
      lock.release().catch(() => {});
    }
  }

  // The browser drops a wake lock when the page is hidden; take it again
  // when the page shows while the update still runs.
  document.addEventListener("visibilitychange", requestWakeLock);

  // Back on the page: the permission may have been taken back in the
  // browser's settings meanwhile.
  document.addEventListener("visibilitychange", () => {
    if (document.visibilityState === "visible") {
      checkGrants();
    }
  });

  // ---- The main panel's controls, by the Windows control ids.

  const controlTexts = new Map();

  function control(id) {
    return document.querySelector('[data-control-id="' + Number(id) + '"]');
  }

  function setItemText(id, text) {
    controlTexts.set(id, text);
    const element = control(id);
    if (element) {
      element.textContent = text.replace(/\r\n/g, "\n");
    }
    if (id === IDC_HINT) {
      hintChanged();
    }
  }

  // The program writes the hint in steps (a status, then the instructions
  // appended) without giving the page a turn in between: what changed is
  // announced once it has finished, in a microtask.
  let announcedHint = "";
  let announcementDue = false;

  function hintChanged() {
    if (announcementDue) {
      return;
    }
    announcementDue = true;
    queueMicrotask(() => {
      announcementDue = false;
      const text = getItemText(IDC_HINT);
      if (text !== announcedHint) {
        announceHint(announcedHint, text);
        announcedHint = text;
      }
    });
  }

  // The hint holds a message, or a status followed by an empty line and the
  // instructions on connecting the unit, which stay the same from one status
  // to the next. Screen readers hear what changed: the paragraphs at the end
  // that the new text shares with the old one are not read again.
  function announceHint(before, text) {
    let shared = 0;
    while (shared < before.length && shared < text.length &&
           before[before.length - 1 - shared] === text[text.length - 1 - shared]) {
      ++shared;
    }
    // Keep whole paragraphs of the shared end only.
    const tail = text.slice(text.length - shared);
    const paragraph = tail.indexOf("\r\n\r\n");
    const changed = paragraph < 0 ? text : text.slice(0, text.length - shared + paragraph);
    byId("hint-announcement").textContent = changed.replace(/\r\n/g, "\n");
  }

  function getItemText(id) {
    if (controlTexts.has(id)) {
      return controlTexts.get(id);
    }
    const element = control(id);
    return element ? element.textContent.replace(/\r?\n/g, "\r\n") : "";
  }

  function enableItem(id, enable) {
    const element = control(id);
    if (!element) {
      return;
    }
    const hadFocus = document.activeElement === element;
    if ("disabled" in element) {
      element.disabled = !enable;
    } else {
      // A static text of the dialog (a version row): greyed and marked for
      // screen readers, as Windows draws a disabled static control.
      element.classList.toggle("disabled", !enable);
      element.setAttribute("aria-disabled", enable ? "false" : "true");
    }
    // A disabled button loses the focus; it goes to Close, as in a dialog.
    if (hadFocus && !enable) {
      byId("close").focus();
    }
  }

  function setTitle(title) {
    byId("title").textContent = title;
    document.title = title;
  }

  function mainRectangle() {
    const rect = byId("updater").getBoundingClientRect();
    return {
      left: Math.round(rect.left), top: Math.round(rect.top),
      right: Math.round(rect.right), bottom: Math.round(rect.bottom),
    };
  }

  function isForeground() {
    return document.visibilityState === "visible" && document.hasFocus();
  }

  // ---- Message boxes: the page's modal dialog, with MessageBoxW's
  // captions, buttons, icons and answers. A box opened while another is
  // open lies over it until it is answered.

  const boxes = [];
  const boxDialog = byId("message-box");

  const BOX_ICONS = { 0x10: "error", 0x30: "warning", 0x40: "information" };

  function boxAnswers(style) {
    switch (style & BOX_BUTTONS_MASK) {
      case BOX_OK_CANCEL:
        return [[ANSWER_OK, 61009, "OK"], [ANSWER_CANCEL, 61010, "Cancel"]];
      case BOX_YES_NO:
        return [[ANSWER_YES, 61011, "Yes"], [ANSWER_NO, 61012, "No"]];
      default:
        return [[ANSWER_OK, 61009, "OK"]];
    }
  }

  function showBox(box) {
    byId("message-box-caption").textContent = box.caption;
    byId("message-box-text").textContent = box.text.replace(/\r\n/g, "\n");
    boxDialog.dataset.icon = BOX_ICONS[box.style & BOX_ICON_MASK] || "none";
    const buttons = byId("message-box-buttons");
    buttons.replaceChildren();
    for (const [answer, textId, english] of boxAnswers(box.style)) {
      const button = document.createElement("button");
      button.type = "button";
      button.dataset.answer = String(answer);
      button.textContent = pageText(textId, english);
      button.addEventListener("click", () => answerBox(box, answer));
      buttons.append(button);
    }
    if (!boxDialog.open) {
      boxDialog.showModal();
    }
    // The first button is the default one, as in MessageBoxW.
    buttons.firstElementChild.focus();
  }

  function answerBox(box, answer) {
    if (boxes[boxes.length - 1] !== box || box.answer !== null) {
      return;
    }
    box.answer = answer;
    deliver();
  }

  function openMessageBox(text, caption, style) {
    // A box at start (an ESC the updater cannot update) stands over the
    // main view, as the Windows dialog shows behind its box, not over the
    // loading text.
    if (!byId("loading").hidden) {
      showOnly("updater");
    }
    const box = { text, caption, style, answer: null, focus: document.activeElement };
    boxes.push(box);
    showBox(box);
  }

  function nextMessageBoxEvent() {
    return waitForEvent(true);
  }

  function closeMessageBox() {
    const box = boxes.pop();
    if (boxes.length > 0) {
      showBox(boxes[boxes.length - 1]);
      return;
    }
    boxDialog.close();
    // The focus goes back where it was; where that is gone or disabled
    // (Update, after a failure), to Close, the dialog's default button.
    if (box && box.focus && box.focus.isConnected && !box.focus.disabled &&
        box.focus !== document.body) {
      box.focus.focus();
    } else if (!byId("updater").hidden) {
      byId("close").focus();
    }
  }

  // Ctrl+C in a message box copies the whole box, as on Windows: caption,
  // text and buttons between dashed lines, ready to be pasted into a
  // support request. A selection of the box's text is copied as it is.
  function boxAsText(box) {
    const line = "---------------------------";
    const buttons = boxAnswers(box.style).map(([, textId, english]) => pageText(textId, english));
    return [line, box.caption, line, box.text, line, buttons.join("   ") + "   ", line, ""]
      .join("\r\n");
  }

  document.addEventListener("copy", (event) => {
    const box = boxes[boxes.length - 1];
    if (!box || !boxDialog.open) {
      return;
    }
    const selection = document.getSelection();
    if (selection && !selection.isCollapsed && boxDialog.contains(selection.anchorNode)) {
      return;
    }
    event.clipboardData.setData("text/plain", boxAsText(box));
    event.preventDefault();
  });

  // Escape answers as in MessageBoxW: Cancel where there is a Cancel
  // button, OK where OK is the only one, nothing in a Yes/No box.
  boxDialog.addEventListener("cancel", (event) => {
    event.preventDefault();
    const box = boxes[boxes.length - 1];
    if (!box) {
      return;
    }
    const buttons = box.style & BOX_BUTTONS_MASK;
    if (buttons === BOX_OK_CANCEL) {
      answerBox(box, ANSWER_CANCEL);
    } else if (buttons !== BOX_YES_NO) {
      answerBox(box, ANSWER_OK);
    }
  });

  // The browser may close a modal dialog on a repeated Escape whatever the
  // page says; a box that still waits for its answer opens again. The close
  // event comes in a task of its own: by then the program may have opened
  // its next box already (a failure right after the confirmation), which is
  // left as it is rather than drawn again under the user's pointer.
  boxDialog.addEventListener("close", () => {
    const box = boxes[boxes.length - 1];
    if (box && box.answer === null && !events.ended && !boxDialog.open) {
      showBox(box);
    }
  });

  // ---- The progress panel.

  const progressPanel = byId("progress-panel");
  const progressBar = byId("progress-bar");
  let progressOpen = false;

  function openProgress(title) {
    byId("progress-title").textContent = title;
    progressBar.setAttribute("value", "0");
    progressOpen = true;
    if (!progressPanel.open) {
      progressPanel.showModal();
    }
  }

  function setProgress(position) {
    progressBar.setAttribute("value", String(position));
  }

  function closeProgress() {
    progressOpen = false;
    if (progressPanel.open) {
      progressPanel.close();
    }
  }

  // Nothing cancels an update from the keyboard.
  progressPanel.addEventListener("cancel", (event) => event.preventDefault());
  progressPanel.addEventListener("close", () => {
    if (progressOpen && !events.ended) {
      progressPanel.showModal();
    }
  });

  // ---- The views.

  function showOnly(id) {
    for (const view of ["loading", "updater", "unsupported", "session-ended", "failure", "framed"]) {
      byId(view).hidden = view !== id;
    }
  }

  function showMain() {
    firstViewShown = true;
    showOnly("updater");
    // The focus starts on Close, the dialog's default button.
    if (!boxDialog.open) {
      byId("close").focus();
    }
  }

  function closeEverything() {
    releaseInstanceLock();
    events.ended = true;
    events.deviceEvents = false;
    events.queue = [];
    endUpdateGuards();
    boxes.length = 0;
    progressOpen = false;
    if (boxDialog.open) {
      boxDialog.close();
    }
    if (progressPanel.open) {
      progressPanel.close();
    }
  }

  function showSessionEnded() {
    closeEverything();
    showOnly("session-ended");
    setState("ended");
    byId("start-again").focus();
  }

  // The program could not be loaded, or stopped: release the unit and say so.
  function showFailure(stopped) {
    closeEverything();
    for (const [handle] of hid.records) {
      hidClose(handle);
    }
    showOnly("failure");
    byId("failure-not-loaded").hidden = stopped;
    byId("failure-stopped").hidden = !stopped;
    setState("ended");
    byId("failure-reload").focus();
  }

  function showUnsupported(secure) {
    showOnly("unsupported");
    byId("unsupported-insecure").hidden = secure;
    byId("unsupported-no-webhid").hidden = !secure;
    setState("unsupported");
  }

  // ---- The user's commands.

  // A click counts while the program waits for the user in its main loop;
  // while it works (an update runs, a unit is being identified) it is not
  // taken, as a dialog that does not pump messages takes no click.
  function mainLoopWaits() {
    return events.waiter !== null && !events.waiter.inBox && !events.ended;
  }

  // Update is acted on only after two checks: that the unit is still
  // granted (its permission may have been taken back meanwhile), and that no
  // newer version of the updater has been published, whose image the owner
  // is to write instead. The update lock is taken first, so that a new
  // version cannot take over between the check and the update.
  let updateClickPending = false;

  byId("update").addEventListener("click", async () => {
    if (!mainLoopWaits() || byId("update").disabled || updateClickPending) {
      return;
    }
    updateClickPending = true;
    try {
      await takeUpdateLock();
      await checkGrants();
      if (versions.newer) {
        releaseUpdateLock();
        showNewerVersion();
        byId("load-new-version").focus();
        return;
      }
      if (!mainLoopWaits() || byId("update").disabled) {
        releaseUpdateLock();
        return;
      }
      beginUpdateGuards();
      post({ kind: EVENT_COMMAND, value: IDC_UPDATE, path: "" });
    } finally {
      updateClickPending = false;
    }
  });

  byId("close").addEventListener("click", () => {
    if (mainLoopWaits()) {
      post({ kind: EVENT_COMMAND, value: IDCANCEL, path: "" });
    }
  });

  // Unlike the Windows dialog, Escape and Enter on the page do not end the
  // session: on a web page they dismiss or confirm what has the focus, and
  // nobody expects them to close the application. Close is a button that
  // the keyboard reaches like any other.

  for (const id of ["start-again", "failure-reload"]) {
    byId(id).addEventListener("click", () => location.reload());
  }

  // The request-unit button shows while no programming unit is granted.
  function refreshRequestArea() {
    if (!navigator.hid || events.ended) {
      return;
    }
    navigator.hid.getDevices().then((devices) => {
      const area = byId("request-area");
      const granted = devices.some(isUnit);
      if (granted && area.contains(document.activeElement)) {
        byId("close").focus();
      }
      area.hidden = granted;
      byId("request-unit").hidden = granted;
    }, () => {});
  }

  // The browser's chooser opens only on a click. A unit chosen there comes
  // to the program as an arrival, as if it had just been plugged in.
  byId("request-unit").addEventListener("click", () => {
    byId("request-refused").hidden = true;
    let request;
    try {
      request = navigator.hid.requestDevice({ filters: UNIT_FILTERS });
    } catch (error) {
      request = Promise.reject(error);
    }
    request.then((devices) => {
      for (const device of devices) {
        postDeviceEvent(DEVICE_EVENT_ARRIVAL, device);
      }
      refreshRequestArea();
    }, () => {
      byId("request-refused").hidden = false;
    });
  });

  // ---- The host object handed to the program.

  const host = {
    hidOpenList, hidListPath, hidCloseList, hidOpen, hidClose, hidAttributes, hidReportLengths,
    hidWrite, hidRead,
    setItemText, getItemText, enableItem, setTitle, mainRectangle, isForeground,
    openProgress, setProgress, closeProgress, showMain, showSessionEnded, showBuild,
    registerDeviceEvents, unregisterDeviceEvents, nextEvent,
    openMessageBox, nextMessageBoxEvent, closeMessageBox,
    languageIsGerman: () => {
      programRan = true;
      return germanBrowser;
    },
    now: () => performance.now(),
    wait: (ms) => clock.wait(ms),
  };

  // One updater at a time in this browser profile: two pages that both
  // opened the unit would take each other's replies. The page holds a lock
  // until its session ends; a second page waits for it and then starts by
  // itself. Locks belong to the site's origin: the one name covers every
  // page of it that can open a unit (the product page, the demo, an
  // installed app window).
  const INSTANCE_LOCK = "orvanto-updater";
  let releaseInstanceLock = () => {};

  function takeInstanceLock() {
    if (!navigator.locks) {
      return Promise.resolve();
    }
    const name = INSTANCE_LOCK;
    return new Promise((acquired) => {
      const hold = () => {
        acquired();
        byId("another-instance").hidden = true;
        return new Promise((release) => {
          releaseInstanceLock = release;
        });
      };
      navigator.locks.request(name, { ifAvailable: true }, (lock) => {
        if (lock) {
          return hold();
        }
        byId("another-instance").hidden = false;
        navigator.locks.request(name, hold).catch(() => {});
        return null;
      }).catch(() => acquired());
    });
  }

  // While an update runs, its page holds this lock; a new version of the
  // updater takes control only once it gets it (sw.js), so that no running
  // update is interrupted and none starts with the old version meanwhile.
  const UPDATE_LOCK = "orvanto-updater update";
  let releaseUpdateLockNow = null;

  function takeUpdateLock() {
    if (!navigator.locks || releaseUpdateLockNow) {
      return Promise.resolve();
    }
    return new Promise((acquired) => {
      navigator.locks.request(UPDATE_LOCK, () => new Promise((release) => {
        releaseUpdateLockNow = release;
        acquired();
      })).catch(() => acquired());
    });
  }

  function releaseUpdateLock() {
    if (releaseUpdateLockNow) {
      const release = releaseUpdateLockNow;
      releaseUpdateLockNow = null;
      release();
    }
  }

  // ---- Versions. The service worker (sw.js) keeps the page's files of one
  // version. When a newer version is published, the browser installs its
  // worker beside the running one, where it waits: a page that still runs
  // the previous version says so, starts no update and offers to load the
  // new one. A page that loads while a new version waits asks it to take
  // over at once (it does so once no update runs in any tab) and reloads.

  const versions = { newer: false, loading: false, registration: null, programStarting: false };

  function showNewerVersion() {
    versions.newer = true;
    byId("version-notice").hidden = false;
  }

  // Asks the waiting worker to take over, and reloads once it has.
  function loadNewVersion() {
    const registration = versions.registration;
    const waiting = registration && registration.waiting;
    if (!waiting) {
      location.reload();
      return;
    }
    versions.loading = true;
    showNewerVersion();
    byId("version-notice-newer").hidden = true;
    byId("version-notice-loading").hidden = false;
    byId("load-new-version").hidden = true;
    waiting.postMessage("take-over");
  }

  byId("load-new-version").addEventListener("click", loadNewVersion);

  // Registers the worker and watches for newer versions. Resolves to true
  // when this load is of an old version and the new one is being loaded
  // instead: the program is then not started.
  async function watchVersions() {
    if (!("serviceWorker" in navigator)) {
      return false;
    }
    const container = navigator.serviceWorker;
    const controlledAtStart = container.controller !== null;
    container.addEventListener("controllerchange", () => {
      if (versions.loading) {
        location.reload();
      } else if (controlledAtStart) {
        // Another tab let a newer version take over.
        showNewerVersion();
      }
    });
    let registration;
    try {
      registration = await container.register("sw.js");
    } catch (error) {
      // Without it the page works as long as it is online.
      return false;
    }
    versions.registration = registration;
    const watch = (worker) => {
      if (!worker) {
        return;
      }
      worker.addEventListener("statechange", () => {
        if (worker.state !== "installed" || !container.controller) {
          return;
        }
        // Before the program has started (another tab holds the unit, or
        // it is still loading) nothing is lost by loading the new version.
        if (programRan || versions.programStarting) {
          showNewerVersion();
        } else {
          loadNewVersion();
        }
      });
    };
    watch(registration.installing);
    registration.addEventListener("updatefound", () => watch(registration.installing));
    if (registration.waiting && controlledAtStart) {
      loadNewVersion();
      return true;
    }
    return false;
  }

  // Which updater and which firmware image this page carries, for support.
  function showBuild(version, imageDigest) {
    const format = imageDigest
      ? pageText(61024, "Updater %s, firmware image SHA-256 %s…")
      : pageText(61025, "Updater %s, no firmware image");
    const values = [version, imageDigest];
    byId("about").textContent = format.replace(/%s/g, () => values.shift());
  }

  // The page does not run inside another site's frame: there it could be
  // laid under other content and clicked blindly, and it would open the
  // unit outside the one-updater lock of its own site.
  function isFramed() {
    try {
      return window.top !== window.self;
    } catch (error) {
      return true;
    }
  }

  function showFramed() {
    showOnly("framed");
    setState("framed");
  }

  // Whether the program has started to run (it asks for the language
  // first): a failure before that means it could not be loaded.
  let programRan = false;

  async function start() {
    try {
      pageTexts = await loadTexts();
    } catch (error) {
      pageTexts = null;
    }
    putTexts();

    if (isFramed()) {
      showFramed();
      return;
    }

    if (!window.isSecureContext || !navigator.hid) {
      showUnsupported(window.isSecureContext);
      return;
    }

    navigator.hid.addEventListener("connect", (event) => {
      postDeviceEvent(DEVICE_EVENT_ARRIVAL, event.device);
      refreshRequestArea();
    });
    navigator.hid.addEventListener("disconnect", (event) => {
      deviceGone(event.device);
      postDeviceEvent(DEVICE_EVENT_REMOVE_COMPLETE, event.device);
      refreshRequestArea();
    });
    if (await watchVersions()) {
      return;
    }
    refreshRequestArea();

    await takeInstanceLock();
    if (versions.loading) {
      releaseInstanceLock();
      return;
    }
    versions.programStarting = true;
    if (!pageTexts || typeof window.createOrvantoUpdater !== "function") {
      showFailure(false);
      return;
    }
    try {
      await window.createOrvantoUpdater({
        host,
        onAbort: () => showFailure(programRan),
        print: () => {},
        printErr: () => {},
      });
    } catch (error) {
      showFailure(programRan);
    }
  }

  start();
})();
