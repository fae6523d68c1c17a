// Versions of the updater page. The service worker (sw.js) keeps the
// page's files of one version; this module watches for newer ones.

import { UPDATE_LOCK } from "./page-locks.js";

const byId = (id) => document.getElementById(id);

// What the versions need of the page: set by the page.
export const versionHooks = {
  // The notice is shown: Update goes off.
  noticeShown: () => {},
  // Whether the page may look for a new version now (its first view is
  // shown and its session not over).
  mayLook: () => false,
  // Whether the program has started to run.
  programRan: () => false,
};

// The service worker (sw.js) keeps the page's files of one version. When a newer version is published, the browser installs its
// worker beside the running one, where it waits: a page that still runs
// the previous version says so, starts no update and offers to load the
// new one. A page that loads while a new version waits asks it to take
// over at once (once no update runs in any tab) and reloads.
//
// The browser looks for a new worker only when a page is loaded; a page
// left open across a release asks the server itself when Update is
// pressed and whenever it is shown again.

export const versions = { newer: false, loading: false, registration: null, programStarting: false };

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
  versionHooks.noticeShown();
}

export function showNewerVersion() {
  if (!versions.loading) {
    showNotice("newer");
  }
}

// A newer version is published, but no worker of it is known yet: the
// browser is asked to fetch it now.
export function foundNewerVersion() {
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
export async function newerPublished(ms = RELEASE_CHECK_MS) {
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

export function lookForNewRelease() {
  if (versions.newer || !versionHooks.mayLook()) {
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
export async function loadNewVersion() {
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
export async function watchVersions() {
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
      if (versionHooks.programRan() || versions.programStarting) {
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
