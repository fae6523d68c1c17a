// The product program under Wine on a real HID stack: orvanto-updater.exe,
// built with the test image, reaching the emulated unit (orvanto-uhid-unit,
// a kernel HID device through /dev/uhid) through Wine's own HID stack:
// SetupAPI and HID.DLL, hidclass, and winebus over the unit's hidraw node.
// No stand-in anywhere between the program and the kernel. Runs inside the
// virtual machine, under node's test runner, started by
// tests/real-hid/guest-wine.sh once the guest's udev, Wine's services and
// Wine's desktop are up.
//
// First Wine's HID stack itself, not the product (the tests' names say so):
// winebus takes up a unit plugged in, and orvanto-wine-hid, the updater's own
// link and HID backend in a program of its own, shows what the stack does
// with the updater's reports, with a read pending as the unit is pulled out,
// and with timed exchanges. Then the product: orvanto-updater.exe, started
// once (a program takes minutes to start under the guest's emulated
// processor), plays each of the owner's stories (tests/stories/) that this
// stage can play, with a unit of its own: orvanto-wine-driver walks the
// story with the C++ stages' player, does the window's side of each act and
// checks it, this file does the unit's side as the driver asks and says
// what the unit saw (kernelUnit of kernel-unit.mjs); the two speak in lines
// (wine_updater_driver.cpp describes them). Close ends the program.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { after, before, describe, it } from "node:test";

import { hidDeviceOf, kernelUnit, startUnit, udevTookUp } from "./kernel-unit.mjs";
import { onLines, sleep, until } from "../wait.mjs";
import { cannotPlay, loadStories } from "../stories/stories.mjs";

const WINE_DIR = process.env.ORVANTO_WINE_DIR;
const WINE_RUN = process.env.ORVANTO_WINE_RUN;
for (const [name, value] of Object.entries({ WINE_DIR, WINE_RUN, WINEPREFIX: process.env.WINEPREFIX })) {
  if (!value || !fs.existsSync(value)) {
    throw new Error(`${name} is not set or missing (${value}): run this through tests/real-hid/guest-wine.sh`);
  }
}

// The numbers the program's C++ headers name (names.mjs, made by
// tests/real-hid/guest-wine-prepare.sh as the page's build makes it).
const N = Object.freeze({ ...(await import(pathToFileURL(path.join(WINE_DIR, "names.mjs")).href)) });
const STORIES = loadStories(N);
const STAGE = "real-stack-wine";
const IMAGE = fs.readFileSync(path.join(WINE_DIR, "test-image.bin"));
const UNIT = path.join(WINE_RUN, "orvanto-uhid-unit");

// Limits: they only keep a broken run from hanging. Under the emulated
// processor Wine takes minutes to start a program; an update takes its 46 s
// of waits plus about 2,000 exchanges.
const START_MS = 400000;
const UPDATE_MS = 900000;

// Wine runs as the prefix's owner (guest-wine-lib.sh says why).
const owner = fs.statSync(process.env.WINEPREFIX);
const AS_WINE_USER = ["setpriv", `--reuid=${owner.uid}`, `--regid=${owner.gid}`, "--clear-groups"];

// The Windows name of a file of the guest (drive Z: is /).
const winPath = (file) => `Z:${file.replaceAll("/", "\\")}`;

// ---------------------------------------------------------------- Windows programs

// A Windows program of WINE_RUN under Wine, as the prefix's owner, ended
// after `limitS` seconds at most. Its output lines are kept and written to
// `name`.log in WINE_DIR with Wine's own error lines (standard error); lines
// can be written to its standard input.
class WindowsProgram {
  constructor(program, args, { name, limitS }) {
    this.name = name;
    this.logFile = path.join(WINE_DIR, `${name}.log`);
    const log = fs.openSync(this.logFile, "w");
    this.lines = [];
    this.child = spawn("timeout", ["--kill-after=10", String(limitS), ...AS_WINE_USER, "wine",
      path.join(WINE_RUN, program), ...args], { stdio: ["pipe", "pipe", log] });
    fs.closeSync(log);
    this.exit = null;
    this.exited = new Promise((resolve) => this.child.on("exit", (code, signal) => {
      this.exit = { code, signal };
      resolve(this.exit);
    }));
    onLines(this.child.stdout, (line) => {
      this.lines.push(line);
      fs.appendFileSync(this.logFile, `${line}\n`);
    });
    // Lines read with next().
    this.read = 0;
  }

  send(line) {
    this.child.stdin.write(`${line}\n`);
  }

  // The next line not read yet; throws when none comes within `limitMs` or
  // the program ended.
  async next(limitMs, what) {
    await until(() => this.read < this.lines.length || this.exit, limitMs,
      `${this.name}: ${what}; its last lines: ${this.lines.slice(-5).join(" | ")}`);
    if (this.read >= this.lines.length) {
      throw new Error(`${this.name} ended (${JSON.stringify(this.exit)}) before ${what}; ` +
        `its last lines: ${this.lines.slice(-5).join(" | ")}; Wine's errors: ${this.errors()}`);
    }
    return this.lines[this.read++];
  }

  // Waits for a line that matches `pattern`; the lines on the way are read,
  // and a failed check among them ("FAIL: ...") ends the wait.
  async await(pattern, limitMs, what) {
    for (;;) {
      const line = await this.next(limitMs, what);
      const match = pattern.exec(line);
      if (match) {
        return match;
      }
      if (line.startsWith("FAIL: ")) {
        throw new Error(`${this.name}, before ${what}: ${line}; Wine's errors: ${this.errors()}`);
      }
    }
  }

  // The last lines Wine wrote to standard error.
  errors() {
    const text = fs.readFileSync(this.logFile, "utf8").split("\n").filter((line) => /:err:/.test(line));
    return text.slice(-5).join(" | ") || "none";
  }

  async stop() {
    if (!this.exit) {
      this.child.kill("SIGTERM");
      await this.exited;
    }
  }
}

// Runs one of orvanto-wine-hid's checks to its end: every check it made is
// a diagnostic line; it must end with status 0 and a PASS line, no FAIL.
async function expectChecksPass(t, program) {
  const { code, signal } = await program.exited;
  for (const line of program.lines) {
    t.diagnostic(line);
  }
  assert.equal(signal, null, `${program.name} ended by ${signal}`);
  assert.equal(code, 0, `${program.name}'s exit status; Wine's errors: ${program.errors()}`);
  assert.ok(program.lines.some((line) => line.startsWith("PASS: ")), `${program.name}: no check ran`);
  assert.deepEqual(program.lines.filter((line) => line.startsWith("FAIL: ")), [], `${program.name}: failed checks`);
}

// ---------------------------------------------------------------- Wine's HID stack

describe("Wine's HID stack, not the product: orvanto-wine-hid over winebus, hidclass and HID.DLL", () => {
  const list = [];
  const later = (cleanup) => list.push(cleanup);
  let unit = null;
  after(async () => {
    for (const cleanup of list.reverse()) {
      await cleanup();
    }
  });

  it("Wine's HID stack: winebus takes up the unit's hidraw node once it is plugged in", async (t) => {
    const began = Date.now();
    unit = await startUnit({ binary: UNIT, work: WINE_DIR, later, name: "wine-hid" });
    await unit.waitForLine(/^opened$/, 120000);
    t.diagnostic(`${unit.currentNode} (${hidDeviceOf(unit.currentNode)}) opened by winebus ` +
      `${((Date.now() - began) / 1000).toFixed(1)} s after the unit was started`);
  });

  it("Wine's HID stack: what it does with the updater's reports (orvanto-wine-hid transfers)", async (t) => {
    assert.ok(unit, "no unit");
    const program = new WindowsProgram("orvanto-wine-hid.exe", ["transfers"], { name: "transfers", limitS: 300 });
    await expectChecksPass(t, program);
  });

  it("Wine's HID stack: no malformed report reached the unit; the stack refused them itself", async (t) => {
    assert.ok(unit, "no unit");
    const status = await unit.status();
    t.diagnostic(`the unit: ${status}`);
    assert.match(status, / malformed=0\b/, "reports the unit received malformed");
  });

  it("Wine's HID stack: a pending read and the window's notifications as the unit is pulled out and plugged in " +
    "(orvanto-wine-hid unplug)", async (t) => {
    assert.ok(unit, "no unit");
    const program = new WindowsProgram("orvanto-wine-hid.exe", ["unplug"], { name: "unplug", limitS: 400 });
    await program.await(/^ready: pull the unit out$/, 180000, "the read waits");
    const pulled = unit.currentNode;
    let from = unit.lines.length;
    unit.command("unplug");
    await unit.waitForLine(/^unplugged$/, 10000, from);
    await until(() => !fs.existsSync(pulled), 15000, `${pulled} is still there`);
    await program.await(/^ready: plug the unit in$/, 120000, "the removal is seen");
    from = unit.lines.length;
    unit.command("plug");
    unit.currentNode = await unit.node(from);
    await udevTookUp(unit.currentNode);
    await expectChecksPass(t, program);
  });

  it("Wine's HID stack: 300 timed CMD_GET_UNIT_STATUS exchanges (orvanto-wine-hid exchange)", async (t) => {
    assert.ok(unit, "no unit");
    await expectChecksPass(t, new WindowsProgram("orvanto-wine-hid.exe", ["exchange", "--count", "300"],
      { name: "exchange", limitS: 600 }));
  });

  // Wine's hidclass can leave a read pending although its report has
  // already been queued for the handle (it looks for a queued report, then
  // queues the read, with no lock across the two); a reply that comes at
  // that moment then waits in the queue until the read's time limit.
  // Replies are made to come at every moment around the start of the read:
  // the updater's link must get every one of them.
  it("Wine's HID stack: 5000 exchanges, each read 0 to 3 ms after its write, no reply lost " +
    "(orvanto-wine-hid exchange)", async (t) => {
    assert.ok(unit, "no unit");
    await expectChecksPass(t, new WindowsProgram("orvanto-wine-hid.exe",
      ["exchange", "--count", "5000", "--read-delay-ms", "3"], { name: "race", limitS: 1200 }));
  });
});

// ---------------------------------------------------------------- the product

// A unit pulled out, as a hand does it, before it is plugged in again: its
// node gone, and a moment more. Pulled out and plugged in again at once,
// the program under Wine was seen not to find it again: the failure hint
// stayed, as if winebus had heard of the removal after the arrival of the
// same node.
async function goneForWine(node) {
  await until(() => !node || !fs.existsSync(node), 15000, `${node} still there`);
  await sleep(1000);
}

// What the unit saw since `mark`, as the driver takes it (SeenUnit): the
// reports it received, the least wait after a data block's reply, and its
// flash against the image: how many of the first bytes are the image's,
// and where what is not 0xFF ends.
async function unitSeen(unit, mark) {
  const reports = await unit.received(mark);
  const least = await unit.leastBlockWaitMs(mark);
  const flash = await unit.flash();
  let held = 0;
  while (held < Math.min(flash.length, unit.image.length) && flash[held] === unit.image[held]) {
    held += 1;
  }
  let upTo = flash.length;
  while (upTo > 0 && flash[upTo - 1] === 0xff) {
    upTo -= 1;
  }
  return `seen reports=${reports} least-us=${least === null ? "none" : Math.round(least * 1000)} ` +
    `held=${held} upto=${upTo} size=${unit.image.length}`;
}

// What the unit does for an act or while a box is open, as the driver asks.
async function doUnitSide(unit, what, { act, box }) {
  switch (what) {
    case "plug":
      return unit.plug(box ? box.unit : act.unit);
    case "unplug":
      return unit.unplug();
    case "replug":
      return unit.replug({ pullOutFirst: act.pullOutFirst });
    case "arm":
      return unit.arm(act.fault);
    case "look":
    case "update":
      return undefined;
    default:
      throw new Error(`the kernel's unit cannot ${what}`);
  }
}

// Plays `story` with the driver, which walks its acts and checks them
// (tests/stories/play_story.h): this side does what the driver asks of the
// unit and says what the unit saw.
async function playStory(t, driver, story) {
  // The story's units end with its test.
  const later = (cleanup) => t.after(cleanup);
  const unit = kernelUnit({ binary: UNIT, work: WINE_DIR, later, story, N, image: IMAGE, limitMs: UPDATE_MS,
    pulledOut: goneForWine });
  const protocol = /^(act \d+ (box \d+ )?unit: [\w-]+|act \d+ done|act \d+ failed: .*|story \S+: (passed|failed|stopped))$/;
  const line = async (what) => {
    for (;;) {
      const next = await driver.next(UPDATE_MS, what);
      if (protocol.test(next)) {
        return next;
      }
      t.diagnostic(next);
    }
  };
  let awaitingAnswer = false;
  let ended = false;
  let failure = null;
  let act = null;
  let mark = null;
  let where = "before its first act";
  try {
    driver.send(`story ${story.name}`);
    for (;;) {
      const next = await line(`the driver's next step of ${story.name}, ${where}`);
      let match;
      if ((match = /^act (\d+) unit: seen$/.exec(next))) {
        awaitingAnswer = true;
        driver.send(await unitSeen(unit, mark));
        awaitingAnswer = false;
      } else if ((match = /^act (\d+) (?:box (\d+) )?unit: ([\w-]+)$/.exec(next))) {
        awaitingAnswer = true;
        if (match[2] === undefined) {
          act = story.acts[Number(match[1]) - 1];
          where = `act ${match[1]} (${act.do})`;
          mark = await unit.mark();
        }
        await doUnitSide(unit, match[3], { act, box: match[2] && act.boxes[Number(match[2]) - 1] });
        driver.send("go");
        awaitingAnswer = false;
      } else if ((match = /^act (\d+) failed: (.*)$/.exec(next))) {
        // The player names the act itself; the driver's own steps may not.
        failure = /^act \d+\b/.test(match[2]) ? match[2] : `${where}: ${match[2]}`;
      } else if ((match = /^story (\S+): (\w+)$/.exec(next))) {
        ended = true;
        assert.equal(match[1], story.name, "the story the driver played");
        if (failure) {
          throw new Error(failure);
        }
        assert.equal(match[2], "passed", `the driver's end of ${story.name}`);
        return;
      }
    }
  } catch (error) {
    // The driver gives the story up and closes what is open, so that the
    // next story starts from a window without a box.
    try {
      if (awaitingAnswer) {
        driver.send("stop");
      }
      while (!ended) {
        const next = await line(`the driver's end of ${story.name} after a failure`);
        ended = /^story \S+: \w+$/.test(next);
        if (/ unit: /.test(next)) {
          driver.send("stop");
        }
      }
    } catch (ending) {
      t.diagnostic(`the driver did not end the story: ${ending.message}`);
    }
    throw error;
  }
}

describe("the product under Wine: orvanto-updater.exe, started once, plays the owner's stories", () => {
  let driver = null;
  let began = 0;

  before(async () => {
    began = Date.now();
    driver = new WindowsProgram("orvanto-wine-driver.exe", [winPath(path.join(WINE_RUN, "orvanto-updater.exe")), "stories"],
      { name: "driver", limitS: 1500 });
    await driver.await(/^ready: the main window is up$/, START_MS, "the program's main window");
  });
  after(async () => {
    await driver?.stop();
  });

  for (const story of STORIES) {
    const reason = cannotPlay(story, STAGE);
    it(`story ${story.name}`, { skip: reason || false }, (t) => {
      t.diagnostic(story.says);
      return playStory(t, driver, story);
    });
  }

  it("Close ends the program with exit code 0", async (t) => {
    driver.send("close");
    const [, code] = await driver.await(/^closed: exit code (\d+)$/, 120000, "the program's end");
    assert.equal(Number(code), 0, "the program's exit code");
    const { code: status } = await driver.exited;
    assert.equal(status, 0, "the driver's exit status");
    t.diagnostic(`the program ran ${((Date.now() - began) / 1000).toFixed(0)} s, from its start to its end`);
  });
});
