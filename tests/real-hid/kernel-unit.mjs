// The emulated unit as a kernel HID device (orvanto-uhid-unit over
// /dev/uhid) for the tests that run inside the virtual machine of
// tests/real-hid/run-guest.sh: the unit's process and its commands, udev's
// record of its node, and the unit of a story (tests/stories/) for the
// browser's and Wine's runs.
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";

import { onLines, until } from "../wait.mjs";

const started = Date.now();
export function say(line) {
  const seconds = ((Date.now() - started) / 1000).toFixed(1).padStart(6);
  console.log(`[${seconds} s] ${line}`);
}

// ---------------------------------------------------------------- the unit

// One orvanto-uhid-unit process: its commands go to its standard input, its
// news lines are kept and can be waited for.
export class UnitProcess {
  static start(binary, args, logFile) {
    const unit = new UnitProcess();
    unit.lines = [];
    unit.log = fs.createWriteStream(logFile);
    unit.child = spawn(binary, args, { stdio: ["pipe", "pipe", "pipe"] });
    unit.exited = new Promise((resolve) => unit.child.on("exit", (code, signal) => resolve({ code, signal })));
    const take = (line) => {
      unit.lines.push(line);
      unit.log.write(line + "\n");
    };
    onLines(unit.child.stdout, take);
    onLines(unit.child.stderr, take);
    return unit;
  }

  command(line) {
    this.child.stdin.write(line + "\n");
  }

  // The first line from index `from` on that matches `pattern`: the match.
  async waitForLine(pattern, limitMs, from = 0) {
    return until(() => {
      for (let i = from; i < this.lines.length; ++i) {
        const match = pattern.exec(this.lines[i]);
        if (match) {
          return match;
        }
      }
      return null;
    }, limitMs, `the unit never said ${pattern}; its last lines: ${this.lines.slice(-5).join(" | ")}`, 50);
  }

  // The hidraw node of the next plugging after line index `from`.
  async node(from = 0, limitMs = 30000) {
    return (await this.waitForLine(/^plugged: (\/dev\/hidraw\d+) /, limitMs, from))[1];
  }

  async status() {
    const from = this.lines.length;
    this.command("status");
    return (await this.waitForLine(/^status: .*/, 10000, from))[0];
  }

  // Ends the unit (it writes its flash file); resolves to its exit status.
  async quit() {
    if (this.child.exitCode === null && this.child.signalCode === null) {
      this.command("quit");
      const timer = setTimeout(() => this.child.kill("SIGKILL"), 15000);
      await this.exited;
      clearTimeout(timer);
    }
    this.log.end();
    return this.exited;
  }
}

// The udev database's record of a device node: {properties, tags,
// currentTags}; null while udev has not written it.
export function udevRecord(node) {
  const rdev = fs.statSync(node).rdev;
  const major = Math.floor(rdev / 256) & 0xfff;
  const minor = (rdev & 0xff) | ((rdev >> 12) & 0xfff00);
  if (!fs.existsSync(`/run/udev/data/c${major}:${minor}`)) {
    return null;
  }
  const text = execFileSync("udevadm", ["info", "--query=property", `--name=${node}`], { encoding: "utf8" });
  const properties = Object.fromEntries(text.trim().split("\n").map((line) => {
    const at = line.indexOf("=");
    return [line.slice(0, at), line.slice(at + 1)];
  }));
  const tags = (value) => (value || "").split(":").filter(Boolean);
  return { properties, tags: tags(properties.TAGS), currentTags: tags(properties.CURRENT_TAGS) };
}

// Waits until udev has taken up the node: only then does Chromium, which
// learns of devices from udev, see it as a whole.
export async function udevTookUp(node, limitMs = 30000) {
  return until(() => fs.existsSync(node) && udevRecord(node), limitMs, `udev did not take up ${node}`);
}

// The HID device's kernel name (BUS:VENDOR:PRODUCT.N) behind a hidraw node.
export function hidDeviceOf(node) {
  return path.basename(fs.realpathSync(`/sys/class/hidraw/${path.basename(node)}/device`));
}

// ---------------------------------------------------------------- a story's unit

// The unit's arguments for a story's settings (tests/stories/stories.mjs).
export function unitArguments(settings, N) {
  if (settings.purgeMs !== 700) {
    throw new Error("the kernel HID unit erases in 700 ms; a story with another erase time cannot play here");
  }
  const hex = (value) => `0x${value.toString(16)}`;
  return [
    "--unit", settings.productId === N.PRODUCT_ID_ORBICON ? "orbicon" : "linkbox",
    ...(settings.bootloader ? ["--bootloader"] : []),
    ...(settings.esc ? [] : ["--no-esc"]),
    "--esc-type", hex(settings.escTypeCode),
    "--esc-version", hex(settings.escVersion),
    "--input-length", String(settings.inputLength),
    "--output-length", String(settings.outputLength),
  ];
}

// Starts an emulated unit (`binary` with `args`, its log and flash file in
// `work` under `name`) and waits until udev has taken up its hidraw node.
// `later` takes its clean-up, which ends it.
export async function startUnit({ binary, work, later, name, args = [] }) {
  const flash = path.join(work, `${name}-flash.bin`);
  fs.rmSync(flash, { force: true });
  const unit = UnitProcess.start(binary, [...args, "--flash-out", flash], path.join(work, `${name}-unit.log`));
  unit.flashFile = flash;
  later(() => unit.quit());
  unit.currentNode = await unit.node();
  await udevTookUp(unit.currentNode);
  return unit;
}

// The kernel HID unit as a story's unit (tests/web/play-story.mjs describes
// what it does): one orvanto-uhid-unit process for each unit plugged in,
// driven through its commands. `found(productId)` waits until the program
// under test can see a unit plugged in (for the page: Chromium lists it);
// `pulledOut(node)` until it can tell that one pulled out is gone, before
// it is plugged in again.
export function kernelUnit({ binary, work, later, story, N, image, limitMs, found = async () => {},
  pulledOut = async () => {} }) {
  let unit = null;
  let units = 0;
  const count = (line, name) => Number(new RegExp(`\\b${name}=(\\d+)`).exec(line)?.[1]);
  const plugged = async () => !(await unit.status()).startsWith("status: unplugged");
  return {
    image,
    limitMs,
    async plug(settings) {
      if (unit) {
        await unit.quit();
      }
      units += 1;
      unit = await startUnit({ binary, work, later, name: `${story.name}-${units}`, args: unitArguments(settings, N) });
      unit.productId = settings.productId;
      await found(settings.productId);
    },
    async unplug() {
      const from = unit.lines.length;
      unit.command("unplug");
      await unit.waitForLine(/^unplugged$/, 10000, from);
    },
    async replug({ pullOutFirst }) {
      if (pullOutFirst && await plugged()) {
        const node = unit.currentNode;
        await this.unplug();
        await pulledOut(node);
      }
      const from = unit.lines.length;
      unit.command("plug");
      unit.currentNode = await unit.node(from);
      await udevTookUp(unit.currentNode);
      await found(unit.productId);
    },
    async arm(fault) {
      const words = [fault.kind, fault.step];
      if (fault.step === "block") {
        words.push(String(fault.block));
      }
      if (fault.kind === "unit-error" && fault.errorCode !== undefined) {
        words.push(`0x${fault.errorCode.toString(16)}`);
      }
      const from = unit.lines.length;
      unit.command(`fault ${words.join(":")}`);
      await unit.waitForLine(/^fault: armed/, 10000, from);
    },
    async mark() {
      if (!unit) {
        return { unit: 0, log: 0, received: 0 };
      }
      const status = await unit.status();
      return { unit: units, log: count(status, "log"), received: count(status, "received") };
    },
    async received(mark) {
      const received = count(await unit.status(), "received");
      return mark.unit === units ? received - mark.received : received;
    },
    async leastBlockWaitMs(mark) {
      const from = unit.lines.length;
      unit.command(`block-waits ${mark.unit === units ? mark.log : 0}`);
      const [, least] = await unit.waitForLine(/^block-waits: least-us=(\w+)/, 10000, from);
      return least === "none" ? null : Number(least) / 1000;
    },
    async flash() {
      const file = path.join(work, `${story.name}-${units}-flash-now.bin`);
      const from = unit.lines.length;
      unit.command(`flash ${file}`);
      await unit.waitForLine(/^flash written: /, 10000, from);
      return fs.readFileSync(file);
    },
  };
}
