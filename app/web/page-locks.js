// What the updater page holds: the lock that lets one updater page of a
// site run at a time, the lock that every running update holds, and, while
// an update runs, a question before the page is left and the screen kept
// awake.

const byId = (id) => document.getElementById(id);

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
let releaseInstance = () => {};

export function releaseInstanceLock() {
  releaseInstance();
}

export function takeInstanceLock() {
  if (!navigator.locks) {
    return Promise.resolve(false);
  }
  const name = INSTANCE_LOCK;
  return new Promise((acquired) => {
    const hold = () => {
      acquired(true);
      byId("another-instance").hidden = true;
      return new Promise((release) => {
        releaseInstance = release;
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
export const UPDATE_LOCK = "orvanto-updater update";
let releaseUpdateLockNow = null;

// Resolves to true once the lock is held, false if it cannot be had (no
// update starts then).
export function takeUpdateLock() {
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

export function releaseUpdateLock() {
  if (releaseUpdateLockNow) {
    const release = releaseUpdateLockNow;
    releaseUpdateLockNow = null;
    release();
  }
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

export function beginUpdateGuards() {
  if (guards.active) {
    return;
  }
  guards.active = true;
  window.addEventListener("beforeunload", onBeforeUnload);
  requestWakeLock();
}

export function endUpdateGuards() {
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
