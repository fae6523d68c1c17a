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
// The clock (page-clock.js), the WebHID side (page-hid.js) and the dialogs
// (page-dialogs.js) are modules of their own; the numbers shared with the
// program come from names.mjs, made from its C++ headers.

import {
  DEVICE_EVENT_ARRIVAL,
  DEVICE_EVENT_REMOVE_COMPLETE,
  IDCANCEL,
  IDC_HINT,
  IDC_UPDATE,
  IDS_PAGE_BUILD,
  IDS_PAGE_BUILD_NO_IMAGE,
  PAGE_EVENT_ANSWER,
  PAGE_EVENT_COMMAND,
  PAGE_EVENT_DEVICE,
} from "./names.mjs";
import { clock } from "./page-clock.js";
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
// browser's settings meanwhile, and a new version may have been published.
document.addEventListener("visibilitychange", () => {
  if (document.visibilityState === "visible") {
    checkGrants();
    lookForNewRelease();
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

// Update as the program has set it; while a newer version is known, the
// button stays off whatever the program says.
let updateEnabled = false;

function enableItem(id, enable) {
  const element = control(id);
  if (!element) {
    return;
  }
  if (Number(id) === IDC_UPDATE) {
    updateEnabled = enable;
    enable = enable && !versions.newer;
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

// The code line of the last failure box stays below the hint once the box
// is closed, for the owner to pass on to support, until the next update
// starts.
const CODE_LINE = /0x[0-9a-f]{8}-0x[0-9a-f]{8}/;

function showLastCodeLine(line) {
  const element = byId("last-code-line");
  const shown = CODE_LINE.test(line);
  element.textContent = shown ? line : "";
  element.hidden = !shown;
}

// ---- The views.

function showOnly(id) {
  for (const view of ["loading", "updater", "unsupported", "session-ended", "failure", "framed",
                      "no-instance-lock"]) {
    byId(view).hidden = view !== id;
  }
}

function showMain() {
  firstViewShown = true;
  showOnly("updater");
  // The focus starts on Close, the dialog's default button.
  if (!topBox()) {
    byId("close").focus();
  }  lookForNewRelease();
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
// is to write instead. The update lock is taken first, so that a new
// version cannot take over between the check and the update.
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
    if (!versions.newer && await newerPublished()) {
      foundNewerVersion();
    }
    if (versions.newer) {
      releaseUpdateLock();
      byId("load-new-version").focus();
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

// One updater at a time in this browser profile: two pages that both
// opened the unit would take each other's replies. The page holds a lock
// until its session ends; a second page waits for it and then starts by
// itself. Locks belong to the site's origin: the one name covers every
// page of it that can open a unit (the product page, the demo, an
// installed app window).
//
// Resolves to true once the lock is held, to false when the browser does
// not let the page take it (site data blocked): the page then opens no
// unit, rather than run beside another tab.
const INSTANCE_LOCK = "orvanto-updater";
let releaseInstanceLock = () => {};

function takeInstanceLock() {
  if (!navigator.locks) {
    return Promise.resolve(false);
  }
  const name = INSTANCE_LOCK;
  return new Promise((acquired) => {
    const hold = () => {
      acquired(true);
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
      navigator.locks.request(name, hold).catch(() => acquired(false));
      return null;
    }).catch(() => acquired(false));
  });
}

// While an update runs, its page holds this lock; a new version of the
// updater takes control only once it gets it (sw.js), so that no running
// update is interrupted and none starts with the old version meanwhile.
const UPDATE_LOCK = "orvanto-updater update";
let releaseUpdateLockNow = null;

// Resolves to true once the lock is held, false if it cannot be had (no
// update starts then).
function takeUpdateLock() {
  if (releaseUpdateLockNow) {
    return Promise.resolve(true);
  }
  if (!navigator.locks) {
    return Promise.resolve(false);
  }
  return new Promise((acquired) => {
    navigator.locks.request(UPDATE_LOCK, () => new Promise((release) => {
      releaseUpdateLockNow = release;
      acquired(true);
    })).catch(() => acquired(false));
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
// over at once (once no update runs in any tab) and reloads.
//
// The browser looks for a new worker only when a page is loaded; a page
// left open across a release asks the server itself when Update is
// pressed and whenever it is shown again.

const versions = { newer: false, loading: false, registration: null, programStarting: false };

// How long Update waits for the server's answer before it goes on with the
// version it has (offline, or a server that does not answer).
const RELEASE_CHECK_MS = 3000;
// How long a new version may take to be in control once asked to.
const TAKE_OVER_MS = 10000;

function showNotice(which) {
  versions.newer = true;
  byId("version-notice").hidden = false;
  byId("version-notice-newer").hidden = which === "loading";
  byId("version-notice-loading").hidden = which !== "loading";
  byId("version-notice-failed").hidden = which !== "failed";
  byId("load-new-version").hidden = which === "loading";
  const update = byId("update");
  if (!update.disabled) {
    enableItem(IDC_UPDATE, updateEnabled);
  }
}

function showNewerVersion() {
  if (!versions.loading) {
    showNotice("newer");
  }
}

// A newer version is published, but no worker of it is known yet: the
// browser is asked to fetch it now.
function foundNewerVersion() {
  showNewerVersion();
  if (versions.registration) {
    versions.registration.update().catch(() => {});
  }
}

// The files of this page named by their content (a digest of it in the
// name, as the build names every file that the page loads): its scripts,
// styles and images, which name in turn everything they load (page.js its
// modules and texts, the updater's script updater.wasm with the image). A
// version that lists them all is this page's version.
const CONTENT_NAME = /\.[0-9a-f]{16}\.[a-z]+$/;

function ownFiles() {
  const base = new URL(".", location.href).href;
  const addresses = [import.meta.url];
  for (const element of document.querySelectorAll("script[src], link[href], img[src]")) {
    addresses.push(element.src || element.href);
  }
  return addresses
    .map((address) => new URL(address, location.href).href)
    .filter((href) => href.startsWith(base) && CONTENT_NAME.test(new URL(href).pathname))
    .map((href) => href.slice(base.length));
}

// Whether the server now publishes another version than this page's: its
// service worker lists every file of the version it serves. False when
// the server cannot tell within `ms` (offline, no answer): the page then
// goes on with its version.
async function newerPublished(ms = RELEASE_CHECK_MS) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), ms);
  try {
    const response = await fetch("sw.js", { cache: "no-store", signal: abort.signal });
    if (!response.ok) {
      return false;
    }
    const match = /const FILES = (\{[^}]*\});/.exec(await response.text());
    if (!match) {
      return false;
    }
    const files = JSON.parse(match[1].replace(/,\s*\}$/, "}"));
    return ownFiles().some((name) => !Object.prototype.hasOwnProperty.call(files, name));
  } catch (error) {
    return false;
  } finally {
    clearTimeout(timer);
  }
}

function lookForNewRelease() {
  if (versions.newer || events.ended || !firstViewShown) {
    return;
  }
  newerPublished().then((newer) => {
    if (newer) {
      foundNewerVersion();
    }
  });
}

// The new version's worker once it has installed: the waiting one, or the
// one installing (or about to, after an update check) once it is done.
// Null when there is none, or its install failed.
async function installedWorker(registration) {
  if (!registration.waiting && !registration.installing) {
    await registration.update().catch(() => {});
  }
  if (registration.waiting) {
    return registration.waiting;
  }
  const installing = registration.installing;
  if (!installing) {
    return null;
  }
  return new Promise((resolve) => {
    const settled = () => {
      if (installing.state === "installed" || installing.state === "activated") {
        resolve(installing);
      } else if (installing.state === "redundant") {
        resolve(null);
      }
    };
    installing.addEventListener("statechange", settled);
    settled();
  });
}

function newVersionFailed() {
  versions.loading = false;
  showNotice("failed");
}

// Loads the new version: its worker takes over, then the page reloads. The
// page waits for the update lock first (an update running in another tab
// goes to its end), and holds it until the new worker is in control, so
// that no update starts with the old version in between.
async function loadNewVersion() {
  const registration = versions.registration;
  if (!registration || !navigator.locks) {
    location.reload();
    return;
  }
  versions.loading = true;
  showNotice("loading");
  const worker = await installedWorker(registration);
  if (!worker) {
    // Nothing new waits: the worker in control is of the newest version
    // (another tab loaded it, or this page came from an old copy), or the
    // new one could not be installed.
    if (registration.active && !(await newerPublished())) {
      location.reload();
    } else {
      newVersionFailed();
    }
    return;
  }
  try {
    await navigator.locks.request(UPDATE_LOCK, () => new Promise((done) => {
      const timer = setTimeout(done, TAKE_OVER_MS);
      navigator.serviceWorker.addEventListener("controllerchange", () => {
        clearTimeout(timer);
        done();
      }, { once: true });
      worker.postMessage("take-over");
    }));
  } catch (error) {
    // No lock: the new version is not let in while an update may run.
  }
  if (navigator.serviceWorker.controller === worker || worker.state === "activated") {
    location.reload();
  } else {
    newVersionFailed();
  }
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
    // Without it the page works as long as it is online, and Update asks
    // the server for a newer version all the same.
    return false;
  }
  versions.registration = registration;
  // The page's files are kept for offline use: ask the browser not to
  // clear them under storage pressure.
  if (navigator.storage && navigator.storage.persist) {
    navigator.storage.persist().catch(() => {});
  }
  const watch = (worker) => {
    if (!worker) {
      return;
    }
    let installed = false;
    worker.addEventListener("statechange", () => {
      if (worker.state === "installed") {
        installed = true;
      }
      // A new version whose install failed (a file that is not the one it
      // lists, the network gone): the page says so, and starts no update
      // with the version it replaces.
      if (worker.state === "redundant" && !installed && container.controller) {
        newVersionFailed();
        return;
      }
      if (worker.state !== "installed" || !container.controller) {
        return;
      }
      // Before the program has started (another tab holds the unit, or
      // it is still loading) nothing is lost by loading the new version.
      if (programRan || versions.programStarting) {
        showNewerVersion();
      } else if (!versions.loading) {
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
    ? pageText(IDS_PAGE_BUILD, "Updater %s, firmware image SHA-256 %s…")
    : pageText(IDS_PAGE_BUILD_NO_IMAGE, "Updater %s, no firmware image");
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

  if (!(await takeInstanceLock())) {
    showNoInstanceLock();
    return;
  }
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

dialogHooks.text = pageText;
dialogHooks.answered = () => deliver();
dialogHooks.ended = () => events.ended;
dialogHooks.firstBox = () => showOnly("updater");
dialogHooks.boxClosed = (text, isError) => {
  if (isError) {
    showLastCodeLine(text.split(/\r?\n/).pop());
  }
};
hidHooks.openRefused = showOpenRefused;

start();
