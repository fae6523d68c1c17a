// The server configuration that the README gives owners who host the page:
// Debian's nginx runs with the README's own lines (read from the README, so
// that the two cannot drift apart), on 127.0.0.1 without TLS, and serves
// the build. Every file goes out with its type and the headers the README
// promises, and the page runs through a whole update with the emulated
// unit. nginx is started and stopped by the test.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import {
  BUILD,
  N,
  OK,
  ROOT,
  answer,
  flash,
  launchBrowser,
  listFiles,
  openPage,
  plugAndWaitForReady,
  seen,
  standinImage,
  textsFor,
  waitForBox,
  waitForHint,
  waitForState,
} from "./harness.mjs";

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
// changed.
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

// Starts nginx on the README's lines; stop() ends it and removes its files.
async function startNginx(root) {
  assert.ok(fs.existsSync(NGINX), `${NGINX} is missing: tools/install-deps.sh installs nginx-light`);
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "orvanto-nginx-"));
  const port = await freePort();
  const conf = path.join(work, "nginx.conf");
  fs.writeFileSync(conf, nginxConfiguration(readmeNginxBlock(), { port, root, work }));
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
      await new Promise((resolve) => setTimeout(resolve, 100));
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
  });
  after(async () => {
    await session?.close();
    await nginx?.stop();
  });

  // Catches a type table without a type the page needs (names.mjs went
  // out as application/octet-stream, and the page never started), headers
  // missing from a file, and a cache rule that lets a browser keep a file
  // that changes under its name, or revalidate one that never does.
  it("serves every file of site/ and test/ with its type, the security headers and its cache rule", async () => {
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
  });

  // Catches a configuration under which the page does not run to its end:
  // a script, module, style or the wasm refused by its type or its policy.
  it("runs the page through a whole update with the emulated unit", async () => {
    session = await launchBrowser();
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
});
