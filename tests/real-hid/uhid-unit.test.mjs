// The emulated unit alone on a real HID stack: orvanto-uhid-unit as a kernel
// HID device (the kernel's uhid, hid-generic and hidraw, systemd-udevd),
// reached through its hidraw node by hidraw-exchange. Runs inside the
// virtual machine of tests/real-hid/run-guest.sh, as root, started by
// tests/real-hid/guest-browser.sh before the browser's tests, under node's
// test runner; node's built-in modules only.
//
// How the unit refuses to start without its uhid device; a LINK-BOX with an
// ESC driven over its control FIFO: the kernel device, a few hundred
// exchanges, unplug and plug, pulled out during exchanges, its end and the
// ESC's flash it writes; an ORBICON in its bootloader without an ESC driven
// on its standard input: a fault that pulls it out at the lock and plugs it
// in again, its end on SIGTERM. Leaves unit.log, exchange.log and flash.bin
// (the LINK-BOX's ESC) in the work folder.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { after, describe, it } from "node:test";

import { UnitProcess, hidDeviceOf, udevTookUp } from "./kernel-unit.mjs";
import { sleep, until } from "../wait.mjs";

const WORK = process.env.ORVANTO_WORK || "/tmp/work";
const UHID_UNIT = process.env.ORVANTO_UHID_UNIT || path.join(WORK, "orvanto-uhid-unit");
const HIDRAW_EXCHANGE = process.env.ORVANTO_HIDRAW_EXCHANGE || path.join(WORK, "hidraw-exchange");

for (const [name, value] of Object.entries({ UHID_UNIT, HIDRAW_EXCHANGE })) {
  if (!fs.existsSync(value)) {
    throw new Error(`${name} is missing (${value}): run this through tests/real-hid/guest-browser.sh`);
  }
}

const FLASH_BYTES = 131072;
const NOBODY = { uid: 65534, gid: 65534 };
// The status line's exchange count, with the blank that ends the number.
const exchangesCounted = (line) => / exchanges=(\d+) /.exec(line)?.[1];

// ---------------------------------------------------------------- helpers

const running = (child) => child.exitCode === null && child.signalCode === null;

// Starts hidraw-exchange with `args`, its standard output and error both to
// `logFile` in the work folder; `ended` resolves to {code, signal}.
function startExchange(args, logFile) {
  const file = path.join(WORK, logFile);
  const fd = fs.openSync(file, "w");
  const child = spawn(HIDRAW_EXCHANGE, args, { stdio: ["ignore", fd, fd] });
  fs.closeSync(fd);
  const ended = new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
  return { child, ended, output: () => fs.readFileSync(file, "utf8") };
}

// Runs hidraw-exchange to its end (killed after `limitMs`): {ok, output}.
async function exchange(args, logFile = "query.log", limitMs = 120000) {
  const run = startExchange(args, logFile);
  const timer = setTimeout(() => run.child.kill("SIGKILL"), limitMs);
  const { code, signal } = await run.ended;
  clearTimeout(timer);
  const output = run.output();
  assert.notEqual(signal, "SIGKILL", `hidraw-exchange ${args.join(" ")} did not end within ${limitMs / 1000} s: ${output}`);
  return { ok: code === 0, output };
}

// The lines of `output` that match `pattern`, for the test's diagnostics.
function linesOf(output, pattern = /./) {
  return output.split("\n").filter((line) => line && pattern.test(line));
}

// The hidraw node the unit wrote to its ready file, once it is there.
async function readyNode(file, limitMs, what) {
  const node = await until(() => fs.existsSync(file) && fs.readFileSync(file, "utf8").trim(), limitMs, what);
  assert.ok(fs.statSync(node).isCharacterDevice(), `${node} is not a character device`);
  return node;
}

const gone = (file, limitMs, what) => until(() => !fs.existsSync(file), limitMs, what);

// The kernel's HID devices of the unit's vendor (3F19), plugged in as USB.
function unitHidDevices() {
  return fs.readdirSync("/sys/bus/hid/devices").filter((name) => name.startsWith("0003:3F19:"));
}

function checkErasedFlash(file) {
  assert.ok(fs.existsSync(file), `no flash file ${file}`);
  const flash = fs.readFileSync(file);
  assert.equal(flash.length, FLASH_BYTES, `the flash file's size in bytes`);
  const written = flash.findIndex((byte) => byte !== 0xff);
  assert.equal(written, -1, `the flash is not all 0xFF: byte ${written} was written`);
}

// The tests of one unit, in order, each going on from where the one before
// left the unit: after a failure the rest are skipped, and the failing test
// shows the unit's log.
function unitTests(logOf) {
  let failed = null;
  return (name, body) => it(name, async (t) => {
    if (failed) {
      t.skip(`"${failed}" failed`);
      return;
    }
    try {
      await body(t);
    } catch (error) {
      failed = name;
      for (const line of logOf()) {
        t.diagnostic(`unit: ${line}`);
      }
      throw error;
    }
  });
}

// ---------------------------------------------------------------- the tests

describe("the unit refuses to start without its uhid device", () => {
  it("without a uhid device the unit refuses to start and says to load the kernel's uhid module", (t) => {
    const run = spawnSync(UHID_UNIT, ["--uhid", "/nonexistent/uhid"], { encoding: "utf8", timeout: 20000 });
    const output = `${run.stdout}${run.stderr}`.trim();
    for (const line of output.split("\n")) {
      t.diagnostic(line);
    }
    assert.notEqual(run.status, 0, "it started without a uhid device");
    assert.match(output, /modprobe uhid/, "it did not say how to load uhid");
  });

  it("the guest has /dev/uhid (10,239), and without access to it the unit refuses to start and names a udev rule", (t) => {
    const uhid = fs.statSync("/dev/uhid", { throwIfNoEntry: false });
    assert.ok(uhid?.isCharacterDevice(), "no /dev/uhid in the guest");
    assert.deepEqual([Math.floor(uhid.rdev / 256) & 0xfff, uhid.rdev & 0xff], [10, 239], "/dev/uhid's device number");
    // The work folder is root's alone: nobody runs the unit from /tmp.
    const copy = "/tmp/orvanto-uhid-unit";
    fs.copyFileSync(UHID_UNIT, copy);
    fs.chmodSync(copy, 0o755);
    const run = spawnSync("setpriv", [`--reuid=${NOBODY.uid}`, `--regid=${NOBODY.gid}`, "--clear-groups", copy],
      { encoding: "utf8", timeout: 20000 });
    const output = `${run.stdout}${run.stderr}`.trim();
    for (const line of output.split("\n")) {
      t.diagnostic(line);
    }
    assert.equal(run.error, undefined, `setpriv could not run: ${run.error}`);
    assert.notEqual(run.status, 0, "it started without access to /dev/uhid");
    assert.match(output, /udev rule/, "it did not say how to get access");
  });
});

describe("a LINK-BOX with an ESC 2.5, driven over its control FIFO", () => {
  const control = "/tmp/unit-control";
  const ready = path.join(WORK, "ready");
  let unit = null;
  let node = null;
  let host = null;
  const test = unitTests(() => (unit ? unit.lines : []));

  // One command over the control FIFO; the unit holds it open, so a write
  // never waits for a reader.
  const command = (line) => {
    const fd = fs.openSync(control, fs.constants.O_WRONLY | fs.constants.O_NONBLOCK);
    try {
      fs.writeSync(fd, `${line}\n`);
    } finally {
      fs.closeSync(fd);
    }
  };
  const status = async () => {
    const from = unit.lines.length;
    command("status");
    return (await unit.waitForLine(/^status: .*/, 10000, from))[0];
  };

  after(async () => {
    if (host && running(host.child)) {
      host.child.kill("SIGKILL");
    }
    if (unit) {
      await unit.quit();
    }
  });

  test("the unit is a kernel HID device 3f19:0002 named ORVANTO LINK-BOX that udev takes up", async (t) => {
    fs.rmSync(ready, { force: true });
    fs.rmSync(path.join(WORK, "flash.bin"), { force: true });
    unit = UnitProcess.start(UHID_UNIT, ["--control", control, "--ready-file", ready,
      "--flash-out", path.join(WORK, "flash.bin")], path.join(WORK, "unit.log"));
    node = await readyNode(ready, 30000, "no hidraw node within 30 s");
    const hid = hidDeviceOf(node);
    const driver = path.basename(fs.realpathSync(`/sys/bus/hid/devices/${hid}/driver`));
    t.diagnostic(`${node}, HID device ${hid}, driver ${driver}`);
    assert.match(hid, /^0003:3F19:0002\./, "the HID device is not a USB 3f19:0002");
    const uevent = fs.readFileSync(`/sys/bus/hid/devices/${hid}/uevent`, "utf8").split("\n");
    assert.ok(uevent.includes("HID_NAME=ORVANTO LINK-BOX"), `the HID device's name: ${uevent.join(" ")}`);
    // udevadm settle does nothing in a chroot: udev's database entry for the
    // node says that udev is done with it.
    const record = await udevTookUp(node);
    t.diagnostic(`udev: DEVNAME=${record.properties.DEVNAME} SUBSYSTEM=${record.properties.SUBSYSTEM}`);
    assert.equal(record.properties.DEVNAME, node, "udev's DEVNAME");
    assert.equal(record.properties.SUBSYSTEM, "hidraw", "udev's SUBSYSTEM");
  });

  test("300 GET_UNIT_STATUS exchanges through its hidraw node: USB 3f19:0002, reports of 60 bytes, normal mode, unit firmware 1.4", async (t) => {
    const { ok, output } = await exchange(["--count", "300", node], "exchange.log");
    for (const line of linesOf(output)) {
      t.diagnostic(line);
    }
    assert.ok(ok, "the exchanges failed");
    assert.ok(output.includes('bus 3, 3f19:0002, "ORVANTO LINK-BOX"'), "wrong identity");
    assert.ok(output.includes("reports: input ID 2, 60 bytes; output ID 1, 60 bytes"), "wrong report lengths");
    assert.ok(output.includes("mode=normal esc-state=3 unit-firmware=0x00010400"), "wrong unit status");
  });

  test("the identification queries, 20 each, answer the unit's memory, the ESC's firmware and identity; the unit counts exactly 360 exchanges", async (t) => {
    const queries = [
      ["memory", "unit-firmware=0x00010400"],
      ["esc-info", "esc-firmware=0x0205"],
      ["esc-identity", "esc-type=0x111F405A esc-boot=0x01000203"],
    ];
    for (const [query, expected] of queries) {
      const { ok, output } = await exchange(["--count", "20", "--command", query, node]);
      for (const line of linesOf(output, /reply:|exchanges:/)) {
        t.diagnostic(`${query}: ${line}`);
      }
      assert.ok(ok, `the ${query} exchanges failed`);
      assert.ok(output.includes(expected), `the ${query} reply is not ${expected}`);
    }
    const line = await status();
    t.diagnostic(line);
    assert.ok(line.startsWith(`status: plugged node=${node} `), `the unit is not plugged in at ${node}`);
    assert.equal(exchangesCounted(line), "360", "the exchanges the unit counted");
  });

  test("unplugged over the control FIFO: the node and the HID device go, the unit says so, no unit answers", async (t) => {
    command("unplug");
    await gone(node, 10000, `${node} is still there`);
    await until(() => unitHidDevices().length === 0, 10000, "the HID device is still there");
    const line = await status();
    t.diagnostic(line);
    assert.ok(line.startsWith("status: unplugged "), "the unit does not say it is unplugged");
    const { ok, output } = await exchange(["--count", "1"]);
    assert.ok(!ok, `a unit answered while pulled out: ${output}`);
    for (const line of linesOf(output, /FAILED/)) {
      t.diagnostic(`as it should: ${line}`);
    }
  });

  test("plugged in over the control FIFO: a node comes back and answers 20 exchanges", async (t) => {
    fs.rmSync(ready, { force: true });
    command("plug");
    node = await readyNode(ready, 30000, "no hidraw node within 30 s of plug");
    t.diagnostic(node);
    const { ok, output } = await exchange(["--count", "20", node]);
    assert.ok(ok, `no answers after plug: ${output}`);
    for (const line of linesOf(output, /exchanges:/)) {
      t.diagnostic(line);
    }
  });

  test("pulled out during exchanges, the host's exchange fails at once, not at its time limit of 60 s", async (t) => {
    host = startExchange(["--count", "1000000", "--timeout-ms", "60000", node], "query.log");
    await sleep(1000);
    assert.ok(running(host.child), `the exchanges ended before the unplug: ${host.output()}`);
    command("unplug");
    const pulled = Date.now();
    await until(() => !running(host.child), 10000, "the host still waits 10 s after the unplug");
    const { code } = await host.ended;
    const output = host.output();
    t.diagnostic(`ended ${Date.now() - pulled} ms after the unplug`);
    for (const line of linesOf(output, /FAILED|exchanges:/)) {
      t.diagnostic(`as it should: ${line}`);
    }
    assert.notEqual(code, 0, "the exchanges went on without the unit");
    fs.rmSync(ready, { force: true });
    command("plug");
    node = await readyNode(ready, 30000, "no hidraw node within 30 s of plug");
  });

  test("on quit the unit ends, its node goes and it writes the ESC's flash untouched: 128 KiB of 0xFF", async (t) => {
    command("quit");
    await until(() => !running(unit.child), 15000, "the unit did not end");
    const { code, signal } = await unit.quit();
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, "the unit's exit status");
    await gone(node, 10000, `${node} is still there after the end`);
    checkErasedFlash(path.join(WORK, "flash.bin"));
    t.diagnostic(`flash.bin: ${FLASH_BYTES} bytes, all 0xFF`);
    const counts = ["created", "plugged", "unplugged", "opened", "closed"].map((event) =>
      `${event} ${unit.lines.filter((line) => line.startsWith(event)).length}`);
    t.diagnostic(`the unit's log: ${counts.join(", ")}`);
  });
});

describe("an ORBICON in its bootloader without an ESC, commands on its standard input", () => {
  const ready = path.join(WORK, "ready2");
  const flashFile = path.join(WORK, "flash2.bin");
  let unit = null;
  let node = null;
  const test = unitTests(() => (unit ? unit.lines : []));

  after(async () => {
    if (unit) {
      await unit.quit();
    }
  });

  test("the unit is a kernel HID device 3f19:0001 named ORVANTO ORBICON that answers from its bootloader", async (t) => {
    fs.rmSync(ready, { force: true });
    fs.rmSync(flashFile, { force: true });
    unit = UnitProcess.start(UHID_UNIT, ["--unit", "orbicon", "--bootloader", "--no-esc", "--ready-file", ready,
      "--flash-out", flashFile, "--fault", "unplug:lock", "--replug-after", "500"], path.join(WORK, "unit2.log"));
    node = await readyNode(ready, 30000, "no hidraw node within 30 s");
    const hid = hidDeviceOf(node);
    t.diagnostic(`${node}, HID device ${hid}`);
    assert.match(hid, /^0003:3F19:0001\./, "the HID device is not a USB 3f19:0001");
    const { ok, output } = await exchange(["--count", "10", node]);
    for (const line of linesOf(output)) {
      t.diagnostic(line);
    }
    assert.ok(ok, "no answers");
    assert.ok(output.includes('"ORVANTO ORBICON"'), "wrong name");
    assert.ok(output.includes("mode=bootloader"), "not in its bootloader");
  });

  test("the fault unplug:lock pulls it out at the lock, it comes back 500 ms later, and counts exactly 16 exchanges", async (t) => {
    fs.rmSync(ready, { force: true });
    const lock = await exchange(["--count", "1", "--command", "lock", node]);
    assert.ok(!lock.ok, `the lock was answered: ${lock.output}`);
    for (const line of linesOf(lock.output, /FAILED/)) {
      t.diagnostic(`as it should: ${line}`);
    }
    node = await readyNode(ready, 15000, "not plugged in again within 15 s");
    const { ok, output } = await exchange(["--count", "5", node]);
    assert.ok(ok, `no answers after the re-plug: ${output}`);
    for (const line of linesOf(output, /exchanges:/)) {
      t.diagnostic(line);
    }
    assert.ok(unit.lines.some((line) =>
      line.includes("fault: the unit is pulled out before the report reached it (exchange 11)")),
      "the unit did not say that the fault pulled it out");
    const line = await unit.status();
    t.diagnostic(line);
    assert.ok(line.startsWith(`status: plugged node=${node} `), `the unit is not plugged in at ${node}`);
    assert.equal(exchangesCounted(line), "16", "the exchanges the unit counted");
  });

  test("on SIGTERM the unit ends, says why, its node goes and it writes the ESC's flash", async () => {
    unit.child.kill("SIGTERM");
    await until(() => !running(unit.child), 15000, "the unit did not end on SIGTERM");
    const { code, signal } = await unit.quit();
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, "the unit's exit status on SIGTERM");
    await gone(node, 10000, `${node} is still there after the end`);
    assert.equal(fs.statSync(flashFile, { throwIfNoEntry: false })?.size, FLASH_BYTES, "no flash file after SIGTERM");
    assert.ok(unit.lines.some((line) => line.includes("ending on Terminated")), "the unit did not say why it ended");
  });
});
