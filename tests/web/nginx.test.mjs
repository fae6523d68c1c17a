// The server configuration that the README gives owners who host the page:
// Debian's nginx runs with the README's own lines (read from the README, so
// that the two cannot drift apart), on 127.0.0.1 without TLS, and serves
// the build. Every file goes out with its type and the headers the README
// promises, no error is kept by a cache, the page runs through a whole
// update with the emulated unit, runs when another site opens it, and
// survives a release uploaded over the previous one by tools/upload-site.sh,
// which tools/check-site then passes (and fails on each fault of a host).
// nginx is started and stopped by the test, and so is a server of node's
// own for an https: host.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import https from "node:https";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import {
  BUILD,
  LIMIT_MS,
  N,
  OK,
  ROOT,
  answer,
  flash,
  instrumentPage,
  launchBrowser,
  listFiles,
  openPage,
  plugAndWaitForReady,
  python,
  screenshot,
  seen,
  standinImage,
  textsFor,
  waitFor,
  waitForBox,
  waitForHint,
  waitForState,
} from "./harness.mjs";
import { onLines, sleep, until } from "../wait.mjs";

const NGINX = process.env.ORVANTO_NGINX || "/usr/sbin/nginx";

// The README's lines for nginx: the indented block after "For nginx".
function readmeNginxBlock() {
  const lines = fs.readFileSync(path.join(ROOT, "README.md"), "utf8").split("\n");
  let at = lines.findIndex((line) => line.startsWith("For nginx"));
  assert.ok(at >= 0, "the README has its lines for nginx");
  while (!lines[at].startsWith("    ")) {
    ++at;
  }
  const block = [];
  for (; at < lines.length && (lines[at].startsWith("    ") || lines[at] === ""); ++at) {
    block.push(lines[at].slice(4));
  }
  return block.join("\n");
}

// The README's server on `port`, serving `root`, as the test runs it: no
// TLS (the browser takes 127.0.0.1 as a secure origin), nothing else
// changed. Around it, the default type of Debian's nginx.conf.
export function nginxConfiguration(block, { port, root, work }) {
  const server = block
    .replace(/^(\s*)listen 443 ssl;$/m, `$1listen 127.0.0.1:${port};`)
    .replace(/^(\s*)root \S+;$/m, `$1root ${root};`);
  assert.ok(server.includes(`listen 127.0.0.1:${port};`) && server.includes(`root ${root};`),
    "the README's block has its listen and root lines");
  const temp = (name) => path.join(work, name);
  return `daemon off;
master_process off;
pid ${temp("nginx.pid")};
error_log ${temp("error.log")} warn;
events {}
http {
  access_log off;
  default_type application/octet-stream;
  client_body_temp_path ${temp("body")};
  proxy_temp_path ${temp("proxy")};
  fastcgi_temp_path ${temp("fastcgi")};
  scgi_temp_path ${temp("scgi")};
  uwsgi_temp_path ${temp("uwsgi")};
${server}
}
`;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once("error", reject);
    probe.listen(0, "127.0.0.1", () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Starts nginx on the README's lines (changed by `edit`, if given: the
// README's block in, the block to run out); stop() ends it and removes its
// files.
async function startNginx(root, edit = null) {
  assert.ok(fs.existsSync(NGINX), `${NGINX} is missing: tools/install-deps.sh installs nginx-light`);
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "orvanto-nginx-"));
  const port = await freePort();
  const conf = path.join(work, "nginx.conf");
  let block = readmeNginxBlock();
  if (edit) {
    const edited = edit(block);
    assert.notEqual(edited, block, "the change to the README's lines applies");
    block = edited;
  }
  fs.writeFileSync(conf, nginxConfiguration(block, { port, root, work }));
  const child = spawn(NGINX, ["-p", work, "-c", conf], { stdio: ["ignore", "ignore", "pipe"] });
  let stderr = "";
  child.stderr.on("data", (data) => {
    stderr += data;
  });
  const exited = new Promise((resolve) => child.once("exit", resolve));
  const stop = async () => {
    child.kill("SIGTERM");
    const timer = setTimeout(() => child.kill("SIGKILL"), 5000);
    await exited;
    clearTimeout(timer);
    fs.rmSync(work, { recursive: true, force: true });
  };
  const url = `http://127.0.0.1:${port}/`;
  for (let tries = 0; ; ++tries) {
    try {
      await fetch(url);
      break;
    } catch (error) {
      if (child.exitCode !== null || tries >= 100) {
        const log = fs.existsSync(path.join(work, "error.log")) ? fs.readFileSync(path.join(work, "error.log"), "utf8") : "";
        await stop();
        throw new Error(`nginx did not start on the README's lines: ${stderr}${log}`);
      }
      await sleep(100);
    }
  }
  return { url, stop };
}

const TYPES = {
  ".html": "text/html",
  ".css": "text/css",
  ".js": "text/javascript",
  ".mjs": "text/javascript",
  ".json": "application/json",
  ".wasm": "application/wasm",
  ".webmanifest": "application/manifest+json",
  ".png": "image/png",
  ".rules": "text/plain",
};
const CONTENT_NAMED = /\.[0-9a-f]{16}\.[a-z]+$/;

describe("the README's nginx lines (Debian's nginx)", () => {
  let nginx;
  let session;
  before(async () => {
    nginx = await startNginx(BUILD);
    session = await launchBrowser();
  });
  after(async () => {
    await session?.close();
    await nginx?.stop();
  });

  // Catches a type table without a type the page needs (names.mjs went
  // out as application/octet-stream, and the page never started), headers
  // missing from a file, and a cache rule that lets a browser keep a file
  // that changes under its name, revalidate one that never does, or keep
  // an error (a file of a release not uploaded yet would stay missing).
  it("serves every file of site/ and test/ with its type, the security headers and its cache rule, and no error to keep", async () => {
    const addresses = ["site/", ...["site", "test"].flatMap((folder) =>
      listFiles(path.join(BUILD, folder)).map((file) => `${folder}/${file}`))];
    const csp = /<meta http-equiv="Content-Security-Policy" content="([^"]*)">/
      .exec(fs.readFileSync(path.join(BUILD, "site", "index.html"), "utf8"))[1];
    for (const address of addresses) {
      const response = await fetch(nginx.url + address);
      await response.arrayBuffer();
      const where = `${address}: `;
      assert.equal(response.status, 200, where + "status");
      const type = (response.headers.get("content-type") || "").split(";")[0];
      const extension = address.endsWith("/") ? ".html" : path.extname(address);
      assert.equal(type, TYPES[extension], where + "type");
      assert.equal(response.headers.get("cache-control"),
        CONTENT_NAMED.test(address) ? "public, max-age=31536000, immutable" : "no-cache", where + "cache");
      assert.equal(response.headers.get("content-security-policy"), `${csp}; frame-ancestors 'none'`, where + "policy");
      assert.equal(response.headers.get("x-frame-options"), "DENY", where + "framing");
      assert.equal(response.headers.get("permissions-policy"), "hid=(self)", where + "WebHID");
      assert.equal(response.headers.get("cross-origin-opener-policy"), "same-origin", where + "opener");
      assert.equal(response.headers.get("x-content-type-options"), "nosniff", where + "sniffing");
      assert.equal(response.headers.get("referrer-policy"), "no-referrer", where + "referrer");
    }
    for (const address of ["site/page.0123456789abcdef.js", "site/missing.html"]) {
      const response = await fetch(nginx.url + address);
      await response.arrayBuffer();
      assert.equal(response.status, 404, address);
      assert.equal(response.headers.get("cache-control"), "no-store", `${address}: an error is kept by no cache`);
    }
    // A 304 confirms the file the browser holds: the file's own rule.
    const contentNamed = addresses.find((address) => address.startsWith("site/") && CONTENT_NAMED.test(address));
    for (const address of [contentNamed, "site/index.html"]) {
      const first = await fetch(nginx.url + address);
      await first.arrayBuffer();
      const again = await fetch(nginx.url + address, { headers: { "If-None-Match": first.headers.get("etag") } });
      assert.equal(again.status, 304, address);
      assert.equal(again.headers.get("cache-control"), first.headers.get("cache-control"), `${address}: 304`);
    }
  });

  // Catches a configuration under which the page does not run to its end:
  // a script, module, style or the wasm refused by its type or its policy.
  it("runs the page through a whole update with the emulated unit", async () => {
    const t = textsFor("en");
    const page = await openPage(session, nginx.url + "test/test.html");
    await plugAndWaitForReady(page);
    await page.click("#update");
    await waitForBox(page, 1);
    await answer(page, OK);
    await waitForHint(page, t.text(N.IDS_UPDATE_SUCCEEDED));
    await waitForState(page, "idle");
    const image = standinImage();
    const written = await flash(page);
    assert.ok(written.subarray(0, image.length).equals(image), "the flash holds the image");
    assert.deepEqual((await seen(page)).errors, [], "no script error and nothing the policy refused");
    await page.closeContext();
  });

  // Under the README's Cross-Origin-Opener-Policy Chromium gives a window
  // that another site opens a page of its own (no opener), and the updater
  // runs there. Catches a check for openers that refuses this window too.
  it("runs in a window that another site opened (Chromium cuts the opener under the README's headers)", async () => {
    const context = await session.browser.createBrowserContext();
    try {
      const opener = await context.newPage();
      // Another site: the same server under another name.
      await opener.goto(nginx.url.replace("127.0.0.1", "localhost") + "site/manifest.webmanifest");
      const url = nginx.url + "site/index.html";
      await opener.evaluate((address) => {
        window.open(address);
      }, url);
      const updater = await (await context.waitForTarget((target) => target.url() === url)).page();
      await waitFor(updater, () => ["idle", "foreign-opener"].includes(document.documentElement?.dataset.state));
      assert.deepEqual(await updater.evaluate(() => ({
        state: document.documentElement.dataset.state,
        opener: window.opener,
      })), { state: "idle", opener: null });
    } finally {
      await context.close();
    }
  });
});

// ---------------------------------------------------------------- uploads

// Releases A, B and C of site/ as the build publishes them: B and C each
// with one module of the page changed, so that that module, page.js (which
// names it), index.html, sw.js and the release file change. Returns their
// folders.
function releases(work) {
  const assembled = path.join(work, "assembled");
  fs.cpSync(path.join(BUILD, "assembled", "site"), assembled, { recursive: true });
  const out = {};
  for (const name of ["a", "b", "c"]) {
    if (name !== "a") {
      fs.appendFileSync(path.join(assembled, "page-texts.js"), `\n// release ${name}\n`);
    }
    out[name] = path.join(work, name);
    python("publish_web_folder.py", assembled, out[name]);
  }
  return out;
}

// The files of release B that an upload over release A copies: the new
// and the changed ones.
function filesToUpload(a, b) {
  return listFiles(b).filter((file) => {
    const old = path.join(a, file);
    return !fs.existsSync(old) || !fs.readFileSync(old).equals(fs.readFileSync(path.join(b, file)));
  });
}

// The place of `file` in the order the README gives for an upload
// ("first ..., then ..., then ..., and ... last"): the first part of it
// that names the file, by name or as a file named by its content or the
// udev rule; a file that no part names fails.
function readmeRank(file) {
  const readme = fs.readFileSync(path.join(ROOT, "README.md"), "utf8").replace(/\s+/g, " ");
  const at = readme.indexOf("Uploading a release:");
  assert.ok(at >= 0, "the README gives the order in which a release is uploaded");
  const parts = readme.slice(at, readme.indexOf(" last", at)).split(/, then |, and /);
  const rank = parts.findIndex((part) =>
    (part.includes("named by their content") && CONTENT_NAMED.test(file)) ||
    (part.includes("udev rule") && file.endsWith(".rules")) ||
    part.includes("`" + file + "`"));
  assert.ok(rank >= 0, `the README's order of an upload names ${file}`);
  return rank;
}

// Runs tools/upload-site.sh SITE DEST with `args`, in the folder `cwd`.
// With `step`, the upload waits after each of its steps (its "uploaded:
// FILE ..." line) until step(the step's files) has returned; a step that
// throws stops the upload and the error is thrown here. Returns the exit
// status and the output.
async function uploadSite(site, dest, { args = [], step = null, cwd = ROOT } = {}) {
  const child = spawn(path.join(ROOT, "tools", "upload-site.sh"),
    [site, dest, ...args, ...(step ? ["--each", "read -r _"] : [])], { cwd, stdio: ["pipe", "pipe", "pipe"] });
  const stdout = [];
  let stderr = "";
  let failure = null;
  let steps = Promise.resolve();
  child.stderr.on("data", (data) => {
    stderr += data;
  });
  onLines(child.stdout, (line) => {
    stdout.push(line);
    if (step && line.startsWith("uploaded: ")) {
      const files = line.slice("uploaded: ".length).split(" ");
      steps = steps.then(async () => {
        try {
          await step(files);
          child.stdin.write("\n");
        } catch (error) {
          failure ??= error;
          child.stdin.end();
        }
      });
    }
  });
  const code = await new Promise((resolve) => child.once("close", resolve));
  await steps;
  if (failure) {
    throw failure;
  }
  return { code, stdout, stderr };
}

// Runs tools/check-site URL, with `env` added to its environment: its exit
// status and its lines. This process goes on meanwhile (it may be the
// server that check-site asks).
async function checkSite(url, env = {}) {
  const child = spawn(path.join(ROOT, "tools", "check-site"), [url],
    { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
  let stdout = "";
  let stderr = "";
  child.stdout.setEncoding("utf8").on("data", (data) => {
    stdout += data;
  });
  child.stderr.setEncoding("utf8").on("data", (data) => {
    stderr += data;
  });
  const code = await new Promise((resolve) => child.once("close", resolve));
  return { code, lines: stdout.split("\n").filter(Boolean), stderr };
}

// A certificate for 127.0.0.1 made by openssl for this test: its key, its
// certificate and the certificate's file (a trusted root for check-site,
// through SSL_CERT_FILE).
function localCertificate(folder) {
  const [key, cert] = [path.join(folder, "key.pem"), path.join(folder, "cert.pem")];
  const run = spawnSync("openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout", key, "-out", cert],
  { encoding: "utf8" });
  assert.equal(run.status, 0, run.stderr);
  return { key: fs.readFileSync(key), cert: fs.readFileSync(cert), certFile: cert };
}

// The README's server block with `lines` added at its end.
const withLocation = (block, lines) => block.replace(/\n}\s*$/, `\n    ${lines}\n}\n`);

// The page's state once it has come to rest: its main view ("idle"), or
// still "starting" with the loading view saying that the page could not be
// loaded (a few seconds after the load, less with fastAnimations).
async function settled(page) {
  await waitFor(page, () => document.documentElement.dataset.state !== "starting" ||
    document.getElementById("loading-stalled")?.checkVisibility({ visibilityProperty: true }));
  return page.evaluate(() => document.documentElement.dataset.state);
}

// The page's CSS animations (the loading view's delay) run 50 times
// faster: the browser's own control of animation time, which its
// developer tools use; it holds across reloads.
async function fastAnimations(page) {
  const cdp = await page.createCDPSession();
  await cdp.send("Animation.enable");
  await cdp.send("Animation.setPlaybackRate", { playbackRate: 50 });
}

function pageScript(page) {
  return page.evaluate(() => document.querySelector('script[type="module"]').getAttribute("src"));
}

describe("a release uploaded over the previous one (the README's nginx lines)", () => {
  let work;
  let served;
  let release;
  let nginx;
  let session;
  before(async () => {
    work = fs.mkdtempSync(path.join(os.tmpdir(), "orvanto-upload-"));
    release = releases(work);
    served = path.join(work, "served");
    nginx = await startNginx(served);
    session = await launchBrowser();
  });
  after(async () => {
    await session?.close();
    await nginx?.stop();
    fs.rmSync(work, { recursive: true, force: true });
  });

  // The host serves release A, uploaded by the tool into an empty folder.
  const startWithA = async () => {
    fs.rmSync(served, { recursive: true, force: true });
    const { code, stderr } = await uploadSite(release.a, served);
    assert.equal(code, 0, stderr);
  };
  const upload = (file) => fs.copyFileSync(path.join(release.b, file), path.join(served, file));
  const pageOf = (folder) => listFiles(folder).find((file) => /^page\.[0-9a-f]{16}\.js$/.test(file));

  // Catches an upload whose order lets a page name a file not there yet,
  // one that leaves out a file of the release, a tool that takes away the
  // files of the release before while a tab still loads them, and a README
  // whose order is not the tool's.
  it("upload-site.sh: a new visitor after each step of the upload gets a whole page, a tab that loads release A meanwhile gets all of it, and the last step gives release B", async () => {
    await startWithA();
    // A visitor on a slow line: index.html of release A comes before the
    // upload, every file it names only after the upload.
    const held = [];
    let hold = true;
    const failed = [];
    const context = await session.browser.createBrowserContext();
    const slow = await context.newPage();
    await slow.setViewport({ width: 900, height: 860 });
    await instrumentPage(slow);
    await slow.setRequestInterception(true);
    slow.on("request", (request) => {
      if (hold && !request.isNavigationRequest()) {
        held.push(request);
      } else {
        request.continue();
      }
    });
    slow.on("response", (response) => {
      if (response.status() >= 400) {
        failed.push(`${response.status()} ${response.url()}`);
      }
    });
    await fastAnimations(slow);
    // Its load ends only once the files come.
    const loaded = slow.goto(nginx.url + "index.html", { waitUntil: "load", timeout: 0 });
    try {
      await until(() => held.length > 0, LIMIT_MS, "the tab on release A waits for the files its index.html names");
      const steps = [];
      let script = null;
      const { code, stderr } = await uploadSite(release.b, served, {
        step: async (files) => {
          steps.push(files);
          // A new visitor: a fresh browser context, with no cache and no
          // service worker of the site.
          const page = await openPage(session, nginx.url + "index.html", { settle: false, prepare: fastAnimations });
          try {
            assert.equal(await settled(page), "idle", `after ${files.join(" ")}: the page reaches its main view`);
            script = await pageScript(page);
          } finally {
            await page.closeContext();
          }
        },
      });
      assert.equal(code, 0, stderr);
      assert.deepEqual(steps.flat().sort(), listFiles(release.b).sort(), "the upload takes every file of the release");
      for (let i = 1; i < steps.length; ++i) {
        assert.ok(Math.max(...steps[i - 1].map(readmeRank)) <= Math.min(...steps[i].map(readmeRank)),
          `the README's order: ${steps[i - 1].join(" ")} before ${steps[i].join(" ")}`);
      }
      assert.equal(script, pageOf(release.b), "the upload's last step gives release B");

      hold = false;
      for (const request of held.splice(0)) {
        request.continue();
      }
      await loaded;
      assert.equal(await settled(slow), "idle", "the tab on release A reaches its main view");
      assert.equal(await pageScript(slow), pageOf(release.a), "of release A");
      assert.deepEqual(failed, [], "every file the tab on release A asked for was there");
      await screenshot(slow, "en-release-a-after-upload-of-b");
    } finally {
      await context.close();
    }
  });

  // Catches a tool that deletes the files of the release before the last
  // (or keeps every release for ever), forgets a release that came by
  // other means, or overwrites a file named by its content.
  it("upload-site.sh keeps the files of the release before, deletes older ones, and refuses a file named by its content with other content", async () => {
    fs.rmSync(served, { recursive: true, force: true });
    // Release A as copied by hand, then B and C with the tool.
    fs.cpSync(release.a, served, { recursive: true });
    for (const next of [release.b, release.c]) {
      const { code, stderr } = await uploadSite(next, served);
      assert.equal(code, 0, stderr);
    }
    const own = (folder) => new Set(listFiles(folder).filter((file) => CONTENT_NAMED.test(file)));
    const [a, b, c] = [own(release.a), own(release.b), own(release.c)];
    const onlyA = [...a].filter((file) => !b.has(file) && !c.has(file));
    assert.ok(onlyA.length > 0 && [...b].some((file) => !c.has(file)), "each release has files of its own");
    const left = new Set(listFiles(served));
    assert.deepEqual(onlyA.filter((file) => left.has(file)), [], "release A's own files are gone");
    assert.deepEqual([...b, ...c].filter((file) => !left.has(file)), [], "B's and C's files stay");

    // A file of that name with other content: nothing is uploaded.
    const spoilt = pageOf(release.a);
    fs.writeFileSync(path.join(served, spoilt), "// not what the name says\n");
    const index = fs.readFileSync(path.join(served, "index.html"));
    const { code, stderr } = await uploadSite(release.a, served);
    assert.equal(code, 1, "the upload is refused");
    assert.match(stderr, new RegExp(`holds ${spoilt.replaceAll(".", "\\.")} with other content`));
    assert.ok(fs.readFileSync(path.join(served, "index.html")).equals(index), "index.html stays");
  });

  // Catches an unfinished file of a run killed inside it (rsync's temporary
  // name) that the README's lines serve, or that stays after the next run.
  it("upload-site.sh killed inside a file and run again leaves nothing served that is not the release's", async () => {
    fs.rmSync(served, { recursive: true, force: true });
    // rsync slowed down, so that the run is killed inside a file.
    const slow = path.join(work, "slow");
    fs.mkdirSync(slow, { recursive: true });
    const rsync = spawnSync("sh", ["-c", "command -v rsync"], { encoding: "utf8" }).stdout.trim();
    fs.writeFileSync(path.join(slow, "rsync"), `#!/bin/sh\nexec ${rsync} --bwlimit=64 "$@"\n`, { mode: 0o755 });
    const child = spawn(path.join(ROOT, "tools", "upload-site.sh"), [release.a, served],
      { detached: true, stdio: "ignore", env: { ...process.env, PATH: `${slow}:${process.env.PATH}` } });
    const exited = new Promise((resolve) => child.once("exit", resolve));
    const own = new Set([...listFiles(release.a), ".releases"]);
    const strays = () => (fs.existsSync(served) ? listFiles(served).filter((file) => !own.has(file)) : []);
    try {
      // Stopped where a file is being written (and still is, once stopped).
      do {
        process.kill(-child.pid, "SIGCONT");
        await until(() => strays().length > 0, LIMIT_MS, "the upload writes a file", 20);
        process.kill(-child.pid, "SIGSTOP");
      } while (strays().length === 0);
    } finally {
      process.kill(-child.pid, "SIGKILL");
      await exited;
    }
    const left = strays();
    assert.ok(left.length > 0, "the run killed inside a file left it");
    for (const file of left) {
      const response = await fetch(nginx.url + file);
      await response.arrayBuffer();
      assert.equal(response.status, 404, `${file} is not served`);
    }
    const { code, stderr } = await uploadSite(release.a, served);
    assert.equal(code, 0, stderr);
    assert.deepEqual(strays(), [], "nothing of the run killed is left");
  });

  // Catches names read back from .releases that reach the delete unchecked
  // or expanded: a wildcard (here in the served folder, where it would
  // name every file), a path out of the folder, a file of the maker's own.
  it("upload-site.sh refuses a damaged .releases line before it uploads or deletes anything", async () => {
    fs.rmSync(served, { recursive: true, force: true });
    for (const next of [release.a, release.b]) {
      assert.equal((await uploadSite(next, served)).code, 0);
    }
    fs.writeFileSync(path.join(served, "notes.txt"), "the maker's own\n");
    const record = fs.readFileSync(path.join(served, ".releases"), "utf8");
    const state = () => listFiles(served).filter((file) => file !== ".releases").map((file) => {
      const stat = fs.statSync(path.join(served, file));
      return `${file} ${stat.size} ${stat.mtimeMs}`;
    });
    const before = state();
    for (const name of ["*", "../x.0123456789abcdef.js", "notes.txt"]) {
      fs.writeFileSync(path.join(served, ".releases"), `0.1 ${name}\n${record}`);
      const { code, stderr } = await uploadSite(release.c, served, { cwd: served });
      assert.equal(code, 1, `${name}: the upload is refused`);
      assert.ok(stderr.includes(`.releases, line 1: "${name}" is not a file named by its content`), stderr);
      assert.deepEqual(state(), before, `${name}: nothing is uploaded or deleted`);
    }
  });

  // Catches a checker that misses a fault of a host: every fault the
  // README's lines avoid, made in the served folder or by the README's
  // lines with one line changed; redirects it follows without a word, and
  // plain http: from a host that is not this computer.
  it("check-site passes on the README's lines after an upload, and names each fault of a host", async () => {
    await startWithA();
    assert.equal((await uploadSite(release.b, served)).code, 0);
    const good = await checkSite(nginx.url);
    assert.deepEqual(good.lines.filter((line) => !line.startsWith("ok ")), [], good.stderr);
    assert.equal(good.code, 0);
    for (const file of listFiles(release.b)) {
      assert.ok(good.lines.some((line) => line.startsWith(`ok ${file} (`)), `a line for ${file}`);
    }
    for (const header of ["Content-Security-Policy", "Cross-Origin-Opener-Policy", "X-Content-Type-Options"]) {
      assert.ok(good.lines.some((line) => line.startsWith(`ok header ${header} `)), `a line for ${header}`);
    }
    const faultOf = async (url, env) => {
      const run = await checkSite(url, env);
      assert.equal(run.code, 1, `check-site finds no fault:\n${run.lines.join("\n")}${run.stderr}`);
      return run.lines.filter((line) => line.startsWith("FAULT ")).join("\n");
    };
    const named = (file) => file.replaceAll(".", "\\.");

    // In the folder: a file whose content is not what its name says, a
    // file missing, and a release.json that lists the files of two
    // releases.
    const page = pageOf(release.b);
    fs.appendFileSync(path.join(served, page), "\n");
    assert.match(await faultOf(nginx.url), new RegExp(`^FAULT ${named(page)}: .*does not match its name`, "m"));
    fs.copyFileSync(path.join(release.b, page), path.join(served, page));
    const logo = listFiles(release.b).find((file) => file.startsWith("logo."));
    fs.renameSync(path.join(served, logo), path.join(work, logo));
    assert.match(await faultOf(nginx.url), new RegExp(`^FAULT ${named(logo)}: the server answers 404`, "m"));
    fs.renameSync(path.join(work, logo), path.join(served, logo));
    const releaseFile = path.join(served, "release.json");
    const both = JSON.parse(fs.readFileSync(releaseFile, "utf8"));
    both.files.push(pageOf(release.a));
    fs.writeFileSync(releaseFile, JSON.stringify(both));
    assert.match(await faultOf(nginx.url), new RegExp(`^FAULT release\\.json: lists ${named(pageOf(release.a))}, which sw\\.js does not list`, "m"));
    fs.copyFileSync(path.join(release.b, "release.json"), releaseFile);
    assert.equal((await checkSite(nginx.url)).code, 0, "the folder is whole again");

    // Plain http: from a host that is not this computer (nginx as its
    // proxy, so that the site would be there).
    assert.match(await faultOf("http://updater.example.com/", { http_proxy: nginx.url, no_proxy: "" }),
      /^FAULT http:\/\/updater\.example\.com\/: plain http: from a host that is not this computer/m);

    // An https: host that answers every path with a redirect to the same
    // path on the site over http:.
    const tls = localCertificate(work);
    const downgrade = https.createServer({ key: tls.key, cert: tls.cert }, (request, response) => {
      response.writeHead(301, { Location: nginx.url.slice(0, -1) + request.url }).end();
    });
    await new Promise((resolve) => downgrade.listen(0, "127.0.0.1", resolve));
    try {
      assert.match(await faultOf(`https://127.0.0.1:${downgrade.address().port}/`, { SSL_CERT_FILE: tls.certFile }),
        new RegExp(`^FAULT \\./: redirected \\(301\\) to ${named(nginx.url)}: to plain http`, "m"));
    } finally {
      downgrade.close();
    }

    // The README's lines with one line changed.
    const names = listFiles(release.b).find((file) => file.endsWith(".mjs"));
    const conditional = (file) => new RegExp(`^FAULT ${named(file)}: .*answers a conditional request with 304 and ` +
      "Cache-Control: public, max-age=31536000, immutable", "m");
    const hosts = [
      ["no type for .mjs", (block) => block.replace("text/javascript js mjs;", "text/javascript js;"),
        new RegExp(`^FAULT ${named(names)}: type application/octet-stream, not text/javascript`, "m")],
      ["a cache rule that ignores the status", (block) => block.replace(/^map "\$status:\$uri"[^]*?^}$/m, () =>
        'map $uri $orvanto_cache_control {\n    "~\\.[0-9a-f]{16}\\.[a-z]+$"  "public, max-age=31536000, immutable";\n    default "no-cache";\n}'),
      /^FAULT page\.0123456789abcdef\.js \(a file not there\): the error 404 goes out with Cache-Control: public, max-age=31536000, immutable/m],
      ["no policy", (block) => block.replace(/^ *add_header Content-Security-Policy .*\n/m, ""),
        /^FAULT header Content-Security-Policy: missing on every file/m],
      ["sw.js kept for a day", (block) => withLocation(block,
        'location = /sw.js {\n        add_header Cache-Control "public, max-age=86400" always;\n    }'),
      /^FAULT sw\.js: .*Cache-Control: public, max-age=86400, not revalidated/m],
      ["every 304 kept for a year, release.json without a cache rule", (block) => block.replace(/^map "\$status:\$uri".*\n/m,
        (line) => `${line}    "~^304:"  "public, max-age=31536000, immutable";\n    "~^200:/release\\.json$"  "";\n`),
      [...["index.html", "sw.js", "release.json", "manifest.webmanifest"].map(conditional),
        /^FAULT release\.json: Cache-Control: \(none\), not revalidated/m]],
      ["release.json redirected to another origin", (block) => withLocation(block,
        "location = /release.json { return 301 http://localhost:$server_port/release.json; }"),
      /^FAULT release\.json: redirected \(301\) to http:\/\/localhost:\d+\/release\.json: to another origin/m],
      ["a module redirected to another origin", (block) => withLocation(block,
        "location ~ \\.mjs$ { return 302 http://localhost:$server_port$uri; }"),
      new RegExp(`^FAULT ${named(names)}: redirected \\(302\\) to http://localhost:\\d+/${named(names)}: to another origin`, "m")],
    ];
    for (const [what, edit, faults] of hosts) {
      const host = await startNginx(served, edit);
      try {
        const found = await faultOf(host.url);
        for (const fault of [faults].flat()) {
          assert.match(found, fault, what);
        }
      } finally {
        await host.stop();
      }
    }
  });

  // Sorted by name (cp -r, rsync), index.html comes before the modules it
  // names. Catches a loading view that says nothing when the page's
  // scripts never come, and lines that let the browser keep the 404 of a
  // file named by its content, so that the page stays broken after the
  // upload (it would for a year).
  it("in sorted order, a visitor between index.html and its files is told the page could not be loaded, and a reload afterwards loads it", async () => {
    await startWithA();
    const files = filesToUpload(release.a, release.b).sort();
    const index = files.indexOf("index.html");
    assert.ok(files.slice(index + 1).some((file) => CONTENT_NAMED.test(file)), "index.html comes before files it names");
    files.slice(0, index + 1).forEach(upload);
    // One visitor, in a fresh browser context, who reloads the same tab.
    const errors = [];
    const page = await openPage(session, nginx.url + "index.html", {
      settle: false,
      prepare: (visitor) => {
        visitor.on("response", (response) => {
          if (response.status() >= 400) {
            errors.push(`${response.status()} ${response.url()}: ${response.headers()["cache-control"]}`);
          }
        });
        return fastAnimations(visitor);
      },
    });
    try {
      assert.equal(await settled(page), "starting", "the page does not start");
      const loading = await page.evaluate(() => ({
        shown: document.getElementById("loading").checkVisibility(),
        texts: [...document.querySelectorAll("#loading-stalled p")].map((p) => p.textContent),
      }));
      assert.deepEqual(loading, {
        shown: true,
        texts: [textsFor("en").text(N.IDS_PAGE_LOAD_STALLED), textsFor("de").text(N.IDS_PAGE_LOAD_STALLED)],
      }, "the loading view says, in English and German, that the page could not be loaded");
      await screenshot(page, "en-de-loading-not-loaded");
      // The visitor reloads, as the text says, while the upload goes on.
      // Each load is a chance for the browser to keep the 404 where the
      // lines let it (Chromium kept it about every other time).
      for (let reloads = 0; reloads < 2; ++reloads) {
        await page.reload({ waitUntil: "load" });
      }
      assert.ok(errors.length > 0, "the visitor got the 404 of a file not uploaded yet");
      assert.deepEqual(errors.filter((error) => !error.endsWith(": no-store")), [], "every error goes out for no cache to keep");

      files.slice(index + 1).forEach(upload);
      await page.reload({ waitUntil: "load" });
      assert.equal(await settled(page), "idle", "a reload after the upload reaches the main view");
      assert.equal(await pageScript(page), pageOf(release.b), "of release B");
    } finally {
      await page.closeContext();
    }
  });
});
