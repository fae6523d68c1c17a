// The page's clock: timers that run in a worker, where a hidden tab's
// browser does not hold them back as it holds back the page's own. The
// page sends {id, ms} to start a timer and {id, cancel: true} to stop it;
// the worker answers with the id when the time has passed. The page checks
// the time itself: this only wakes it.
//
// A timer of the browser fires a millisecond or more late, and an update
// waits 20 ms some two thousand times: the worker's timer is set to wake it
// a little early, and the worker spends the rest on its own clock, so that
// the page is woken on time rather than late.
"use strict";

const EARLY_MS = 2;
const timers = new Map();

self.addEventListener("message", (event) => {
  const { id, ms, cancel } = event.data;
  if (cancel) {
    clearTimeout(timers.get(id));
    timers.delete(id);
    return;
  }
  const deadline = performance.now() + ms;
  timers.set(id, setTimeout(() => {
    timers.delete(id);
    while (performance.now() < deadline) {
      // the last moments, on the worker's own thread
    }
    self.postMessage(id);
  }, Math.max(0, ms - EARLY_MS)));
});
