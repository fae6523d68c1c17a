// The tests' waiting in node, once for every test file: a pause, a
// condition polled until it holds, and the lines of a child's output.

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `condition` (sync or async) every `everyMs` until it gives a truthy
// value, which it returns; after `limitMs` throws `what` (a text, or a
// function that says what is seen then).
export async function until(condition, limitMs, what, everyMs = 100) {
  const end = Date.now() + limitMs;
  for (;;) {
    const value = await condition();
    if (value) {
      return value;
    }
    if (Date.now() > end) {
      const said = typeof what === "function" ? await what() : what;
      throw new Error(`${said} (waited ${Math.round(limitMs / 1000)} s)`);
    }
    await sleep(everyMs);
  }
}

// Calls `take` with each line of `stream` as it comes, without its line end.
export function onLines(stream, take) {
  let pending = "";
  stream.setEncoding("utf8").on("data", (chunk) => {
    pending += chunk;
    let end;
    while ((end = pending.indexOf("\n")) >= 0) {
      const line = pending.slice(0, end).replace(/\r$/, "");
      pending = pending.slice(end + 1);
      take(line);
    }
  });
}
