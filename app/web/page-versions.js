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
// left open across a release asks the server itself when it is shown, when
// Update is pressed, whenever it is shown again, and at each answer that
// lets an update go on (OK, Yes), right before the answer reaches the
// program. It asks both witnesses of a release that the server has: the
// release file (release.json) and the service worker (sw.js), which a host
// or a CDN may each hand out in another version than the other.

// `newer`: a newer version is known, or may be published (the server's
// answer could not be read): no update starts on this page.
export const versions = { newer: false, loading: false, registration: null, programStarting: false };

// How long the page waits for the server's answer: with no answer begun by
// then it goes on with the version it has (offline, or a server that does
// not answer); an answer begun but not whole by then is not read.
const RELEASE_CHECK_MS = 3000;
// How long a new version may take to be in control once asked to.
const TAKE_OVER_MS = 10000;

// The notice: "newer" (a newer version is published), "failed" (it could
// not be loaded), "loading" (it is being loaded) or "unreadable" (the
// server's answer could not be read: a newer one may be published).
function showNotice(which) {
  versions.newer = true;
  byId("version-notice").hidden = false;
  byId("version-notice-newer").hidden = which === "loading" || which === "unreadable";
  byId("version-notice-loading").hidden = which !== "loading";
  byId("version-notice-failed").hidden = which !== "failed";
  byId("version-notice-unreadable").hidden = which !== "unreadable";
  byId("load-new-version").hidden = which === "loading" || which === "unreadable";
  byId("reload-page").hidden = which !== "unreadable";
  versionHooks.noticeShown();
}

// The focus goes to the notice's button.
export function focusNotice() {
  const button = byId("load-new-version").hidden ? byId("reload-page") : byId("load-new-version");
  if (!button.hidden) {
    button.focus();
  }
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
// modules and texts, the updater's script updater.wasm with the image), and
// whatever of those it has loaded. A release that lists them all, and no
// other version of any file, is this page's release.
const CONTENT_NAME = /\.[0-9a-f]{16}\.[a-z]+$/;

// The name that a file has in every release: without its digest.
const lastingName = (name) => name.replace(CONTENT_NAME, (named) => named.slice(17));

function ownFiles() {
  const base = new URL(".", location.href).href;
  const addresses = [import.meta.url];
  for (const element of document.querySelectorAll("script[src], link[href], img[src]")) {
    addresses.push(element.src || element.href);
  }
  for (const entry of performance.getEntriesByType("resource")) {
    addresses.push(entry.name);
  }
  return addresses
    .map((address) => new URL(address, location.href).href)
    .filter((href) => href.startsWith(base) && CONTENT_NAME.test(new URL(href).pathname))
    .map((href) => href.slice(base.length));
}

// What the server says of the version it publishes, against this page's.
export const RELEASE_NEWER = "newer";           // another version
export const RELEASE_SAME = "same";             // this page's version
export const RELEASE_UNREADABLE = "unreadable"; // an answer that cannot be read
export const RELEASE_NO_ANSWER = "no-answer";   // offline, or no answer in time

// The build writes it next to sw.js, under this name in every release:
// {"version": "...", "files": [every file of the release, by the name it
// is served under]}. The service worker does not keep it, so that the page
// always reads the server's.
const RELEASE_FILE = "release.json";

// A release names each of its files once, in one version: a list with two
// versions of a file (two releases' lists put together) is no release.
function isRelease(release) {
  return release !== null && typeof release === "object" && !Array.isArray(release) &&
    typeof release.version === "string" && release.version !== "" &&
    Array.isArray(release.files) && release.files.length > 0 &&
    release.files.every((name) => typeof name === "string") &&
    new Set(release.files.map(lastingName)).size === release.files.length;
}

// Asks the server which release it publishes (release.json):
// RELEASE_NO_ANSWER only when no answer began within `ms` (the request
// failed: offline, a refused connection, no status line in time). Once an
// answer has begun, anything short of a whole, readable release is
// RELEASE_UNREADABLE: an error status, a redirect (not followed: wherever
// it leads, it is not this site's file), a body that is cut off, late or
// not JSON, JSON that is no release; a host that rewrites, moves or drops
// the file cannot be told from a new release. A release is RELEASE_SAME
// when it lists every file of this page, RELEASE_NEWER when not.
export async function publishedRelease(ms = RELEASE_CHECK_MS) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), ms);
  let release;
  try {
    let response;
    try {
      response = await fetch(RELEASE_FILE, { cache: "no-store", redirect: "manual", signal: abort.signal });
    } catch (error) {
      return RELEASE_NO_ANSWER;
    }
    // A redirect comes as an "opaqueredirect" response, status 0.
    if (!response.ok) {
      return RELEASE_UNREADABLE;
    }
    release = JSON.parse(await response.text());
  } catch (error) {
    return RELEASE_UNREADABLE;
  } finally {
    clearTimeout(timer);
  }
  if (!isRelease(release)) {
    return RELEASE_UNREADABLE;
  }
  const published = new Set(release.files);
  return ownFiles().every((name) => published.has(name)) ? RELEASE_SAME : RELEASE_NEWER;
}

// Asks the server for its service worker (registration.update(), bounded
// by `ms`): RELEASE_NEWER when a new worker was found, installs or waits,
// RELEASE_SAME when the server's sw.js is the one in control,
// RELEASE_NO_ANSWER when it could not be asked (offline, no answer in
// time, or any other failure, which the release file's answer then
// judges). Null where the page has no worker to ask: a page that no
// worker controls came from the server itself, and a worker installing
// beside it is of its own release.
async function publishedWorker(ms) {
  const registration = versions.registration;
  if (!registration || !navigator.serviceWorker.controller) {
    return null;
  }
  let found = false;
  const onFound = () => {
    found = true;
  };
  registration.addEventListener("updatefound", onFound);
  let timer;
  try {
    const answered = await Promise.race([
      registration.update().then(() => true, () => false),
      new Promise((resolve) => {
        timer = setTimeout(() => resolve(false), ms);
      }),
    ]);
    if (found || registration.installing || registration.waiting) {
      return RELEASE_NEWER;
    }
    return answered ? RELEASE_SAME : RELEASE_NO_ANSWER;
  } finally {
    clearTimeout(timer);
    registration.removeEventListener("updatefound", onFound);
  }
}

// What the server publishes, by every witness asked at once: a newer
// release by either is newer; the page's own only when every witness that
// it has says so; no answer only when none answered (offline). One that
// answered beside one that did not cannot tell, and fails closed.
async function publishedVersion(ms = RELEASE_CHECK_MS) {
  const [release, worker] = await Promise.all([publishedRelease(ms), publishedWorker(ms)]);
  if (worker === null || release === worker) {
    return release;
  }
  return release === RELEASE_NEWER || worker === RELEASE_NEWER ? RELEASE_NEWER : RELEASE_UNREADABLE;
}

function heedRelease(release) {
  if (release === RELEASE_NEWER) {
    foundNewerVersion();
  } else if (release === RELEASE_UNREADABLE && !versions.newer) {
    showNotice("unreadable");
  }
}

export function lookForNewRelease() {
  if (versions.newer || !versionHooks.mayLook()) {
    return;
  }
  publishedVersion().then(heedRelease);
}

// Whether an update may start, or go on to the unit, now: no newer version
// is known, and the server, asked now, publishes this page's version by
// every witness, or none answers (offline, the page goes on with its own).
// When not, the notice says why. Asked at Update and at each answer that
// lets the update go on, right before it reaches the program.
export async function mayStartUpdate() {
  if (!versions.newer) {
    heedRelease(await publishedVersion());
  }
  return !versions.newer;
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
    // new one could not be installed. Where the server cannot tell, the
    // reload asks it again.
    if (registration.active && (await publishedRelease()) !== RELEASE_NEWER) {
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
byId("reload-page").addEventListener("click", () => location.reload());

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
