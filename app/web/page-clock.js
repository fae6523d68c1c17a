// The updater page's clock: timers in a worker of their own.
//
// A desktop browser throttles the timers of a hidden tab's page (aligned to
// a second, worse after some minutes); a dedicated worker's timers are not
// held back like that. Every wait checks its deadline against
// performance.now() when it wakes and waits again if woken early. If the
// worker cannot run, the page's own timers stand in.

export const clock = (() => {
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
