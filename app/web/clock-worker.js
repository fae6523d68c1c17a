// The page's clock: timers that run in a worker, where a hidden tab's
// browser does not hold them back as it holds back the page's own. The
// page sends {id, ms} to start a timer and {id, cancel: true} to stop it;
// the worker answers with the id when the time has passed. The page checks
// the time itself: this only wakes it.
"use strict";

const timers = new Map();

self.addEventListener("message", (event) => {
  const { id, ms, cancel } = event.data;
  if (cancel) {
    clearTimeout(timers.get(id));
    timers.delete(id);
    return;
  }
  timers.set(id, setTimeout(() => {
    timers.delete(id);
    self.postMessage(id);
  }, ms));
});
