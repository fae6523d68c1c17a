// The updater page: the elements, the browser's APIs (WebHID, the clock
// worker, the wake lock) and the queue of events, for the updater program
// (updater.wasm) that runs in the page.
//
// The program is the same as on Windows and has one thread of control: it
// asks this script for the next event and suspends until there is one, and
// nothing calls into it meanwhile. So every click and every device that
// comes or goes is put into a queue here, and the program takes them one at
// a time; what it needs from the browser it asks through the host object
// below (declared on the program's side in platform/web/page_host.h, its
// contract in platform/web/page_host.d.js).
//
// The clock (page-clock.js), the WebHID side (page-hid.js), the main
// panel's controls (page-controls.js), the dialogs (page-dialogs.js), the
// locks and what holds while an update runs (page-locks.js), the versions
// (page-versions.js), where the page may run (page-opener.js) and the texts
// (page-texts.js) are modules of their own;
// the numbers shared with the program come from names.mjs, made from its
// C++ headers.

import {
  DEVICE_EVENT_ARRIVAL,
  DEVICE_EVENT_REMOVE_COMPLETE,
  IDCANCEL,
  IDC_UPDATE,
  PAGE_EVENT_ANSWER,
  PAGE_EVENT_COMMAND,
  PAGE_EVENT_DEVICE,
} from "./names.mjs";
import { clock } from "./page-clock.js";
import {
  enableItem,
  enableUpdateAsSet,
  getItemText,
  isForeground,
  mainRectangle,
  setItemText,
  setTitle,
  showLastCodeLine,
} from "./page-controls.js";
import {
  beginUpdateGuards,
  endUpdateGuards,
  releaseInstanceLock,
  releaseUpdateLock,
  takeInstanceLock,
  takeUpdateLock,
} from "./page-locks.js";
import {
  germanBrowser,
  showBuild,
  loadTexts,
  pageText,
  putTexts,
  textsLoaded,
} from "./page-texts.js";
import {
  focusNotice,
  lookForNewRelease,
  mayStartUpdate,
  versionHooks,
  versions,
  watchVersions,
} from "./page-versions.js";
import {
  closeAllDialogs,
  closeMessageBox,
  closeProgress,
  dialogHooks,
  openMessageBox,
  openProgress,
  setProgress,
  topBox,
} from "./page-dialogs.js";
import {
  UNIT_FILTERS,
  deviceGone,
  hid,
  hidAttributes,
  hidClose,
  hidCloseList,
  hidHooks,
  hidListPath,
  hidOpen,
  hidOpenList,
  hidRead,
  hidReportLengths,
  hidWrite,
  isUnit,
  pathOf,
} from "./page-hid.js";
import { forgetWindowName, hasOpener, isFramed } from "./page-opener.js";

const root = document.documentElement;
const byId = (id) => document.getElementById(id);

function setState(state) {
  if (root.dataset.state !== state) {
    root.dataset.state = state;
    byId("updater").setAttribute("aria-busy", state === "busy" ? "true" : "false");
  }
}

// ---- What the page shows of the devices.

// On Linux the system keeps a unit closed to the browser until the udev
// rule gives the user at the seat its hidraw node; elsewhere another
// program that holds the unit is the likely cause.
function onLinux() {
  const platform = (navigator.userAgentData && navigator.userAgentData.platform) || navigator.platform || "";
  return /linux/i.test(platform) && !/android|chrome ?os|cros/i.test(platform);
}

function showOpenRefused(refused) {
  const linux = onLinux();
  byId("open-refused-linux").hidden = !linux;
  byId("open-refused-rule").hidden = !linux;
  byId("open-refused-other").hidden = linux;
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
  const box = topBox();
  if (waiter.inBox && box && box.answer !== null) {
    event = { kind: PAGE_EVENT_ANSWER, value: box.answer, path: "" };
  } else {
    const index = waiter.inBox
      ? events.queue.findIndex((queued) => queued.kind === PAGE_EVENT_DEVICE)
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
    post({ kind: PAGE_EVENT_DEVICE, value: kind, path: pathOf(device) });
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
  events.queue = events.queue.filter((event) => event.kind !== PAGE_EVENT_DEVICE);
}

// Back on the page: the permission may have been taken back in the
// browser's settings meanwhile, and a new version may have been published.
document.addEventListener("visibilitychange", () => {
  if (document.visibilityState === "visible") {
    checkGrants();
    lookForNewRelease();
  }
});

// ---- The views.

function showOnly(id) {
  for (const view of ["loading", "updater", "unsupported", "session-ended", "failure", "framed",
                      "foreign-opener", "no-instance-lock"]) {
    byId(view).hidden = view !== id;
  }
}

function showMain() {
  firstViewShown = true;
  showOnly("updater");
  // The focus starts on Close, the dialog's default button.
  if (!topBox()) {
    byId("close").focus();
  }
  lookForNewRelease();
}

function closeEverything() {
  releaseInstanceLock();
  events.ended = true;
  events.deviceEvents = false;
  events.queue = [];
  endUpdateGuards();
  closeAllDialogs();
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

// The browser does not let the page take its lock (site data blocked): it
// could not keep a second tab from opening the unit, so it opens none.
function showNoInstanceLock() {
  showOnly("no-instance-lock");
  setState("no-lock");
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
// is to write instead (asked again at each OK and Yes of the update's
// boxes, as a box may stay open for hours). The update lock is taken
// first, so that a new version cannot take over between the check and the
// update.
let updateClickPending = false;

byId("update").addEventListener("click", async () => {
  if (!mainLoopWaits() || byId("update").disabled || updateClickPending) {
    return;
  }
  updateClickPending = true;
  try {
    if (!(await takeUpdateLock())) {
      return;
    }
    await checkGrants();
    if (!(await mayUpdate())) {
      releaseUpdateLock();
      focusNotice();
      return;
    }
    if (!mainLoopWaits() || byId("update").disabled) {
      releaseUpdateLock();
      return;
    }
    beginUpdateGuards();
    showLastCodeLine("");
    post({ kind: PAGE_EVENT_COMMAND, value: IDC_UPDATE, path: "" });
  } finally {
    updateClickPending = false;
  }
});

byId("close").addEventListener("click", () => {
  if (mainLoopWaits()) {
    post({ kind: PAGE_EVENT_COMMAND, value: IDCANCEL, path: "" });
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
  openMessageBox, nextMessageBoxEvent: () => waitForEvent(true), closeMessageBox,
  languageIsGerman: () => {
    programRan = true;
    return germanBrowser;
  },
  now: () => performance.now(),
  wait: (ms) => clock.wait(ms),
};

function showFramed() {
  showOnly("framed");
  setState("framed");
}

function showForeignOpener() {
  showOnly("foreign-opener");
  setState("foreign-opener");
}

// The opener is asked again right before an update would start. The session
// then ends, the unit released, as it would have at the start.
function endForForeignOpener() {
  closeEverything();
  for (const [handle] of hid.records) {
    hidClose(handle);
  }
  showForeignOpener();
}

// Whether the update may start or go on to the unit now: no other page
// holds this window, and no newer release is known or published.
async function mayUpdate() {
  if (hasOpener()) {
    endForForeignOpener();
    return false;
  }
  return mayStartUpdate();
}

// Whether the program has started to run (it asks for the language
// first): a failure before that means it could not be loaded.
let programRan = false;

async function start() {
  // The loading view's text for a page whose scripts never ran (styles.css)
  // stays away from here on.
  root.dataset.scripts = "ran";
  forgetWindowName();
  await loadTexts();
  putTexts();

  if (isFramed()) {
    showFramed();
    return;
  }
  if (hasOpener()) {
    showForeignOpener();
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

  if (!(await takeInstanceLock())) {
    showNoInstanceLock();
    return;
  }
  if (versions.loading) {
    releaseInstanceLock();
    return;
  }
  versions.programStarting = true;
  if (!textsLoaded() || typeof window.createOrvantoUpdater !== "function") {
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

dialogHooks.text = pageText;
dialogHooks.answered = () => deliver();
dialogHooks.mayGoOn = mayUpdate;
dialogHooks.ended = () => events.ended;
dialogHooks.firstBox = () => showOnly("updater");
dialogHooks.boxClosed = (text, isError) => {
  if (isError) {
    showLastCodeLine(text.split(/\r?\n/).pop());
  }
};
hidHooks.openRefused = showOpenRefused;
versionHooks.noticeShown = () => {
  if (!byId("update").disabled) {
    enableUpdateAsSet();
  }
};
versionHooks.mayLook = () => firstViewShown && !events.ended;
versionHooks.programRan = () => programRan;

start();
