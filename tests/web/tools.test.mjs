// The build scripts of the page: the folder as it is published, the
// service worker's stamp and the icons. No browser needed.
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { describe, it } from "node:test";
import zlib from "node:zlib";

import { python } from "./harness.mjs";

function tempFolder() {
  return fs.mkdtempSync(path.join(os.tmpdir(), "orvanto-web-tools-"));
}

const versionOf = (folder) => /const VERSION = "([0-9a-f]+)";/.exec(fs.readFileSync(path.join(folder, "sw.js"), "utf8"))[1];
const workerFiles = (folder) => Object.keys(JSON.parse(
  /const FILES = (\{[^}]*\});/.exec(fs.readFileSync(path.join(folder, "sw.js"), "utf8"))[1].replace(/,\s*\}$/, "}")));
const releaseOf = (folder) => JSON.parse(fs.readFileSync(path.join(folder, "release.json"), "utf8"));

// RGBA pixels of a PNG written by make_web_icons.py (8-bit RGBA, filter 0
// on every line, as that script writes them).
function decodePng(file) {
  const bytes = fs.readFileSync(file);
  const width = bytes.readUInt32BE(16);
  const height = bytes.readUInt32BE(20);
  assert.equal(bytes[24], 8);
  assert.equal(bytes[25], 6, "RGBA");
  const chunks = [];
  for (let at = 8; at < bytes.length;) {
    const length = bytes.readUInt32BE(at);
    if (bytes.subarray(at + 4, at + 8).toString("latin1") === "IDAT") {
      chunks.push(bytes.subarray(at + 8, at + 8 + length));
    }
    at += 12 + length;
  }
  const raw = zlib.inflateSync(Buffer.concat(chunks));
  const pixel = (x, y) => {
    const at = y * (width * 4 + 1) + 1 + x * 4;
    assert.equal(raw[y * (width * 4 + 1)], 0);
    return [...raw.subarray(at, at + 4)];
  };
  return { width, height, pixel };
}

describe("the published folder", () => {
  const write = (folder, files) => {
    for (const [name, text] of Object.entries(files)) {
      fs.mkdirSync(path.dirname(path.join(folder, name)), { recursive: true });
      fs.writeFileSync(path.join(folder, name), text);
    }
  };
  const publish = (files) => {
    const work = tempFolder();
    write(path.join(work, "in"), files);
    try {
      python("publish_web_folder.py", path.join(work, "in"), path.join(work, "out"));
      return Object.fromEntries(fs.readdirSync(path.join(work, "out"), { recursive: true })
        .filter((name) => fs.statSync(path.join(work, "out", name)).isFile())
        .map((name) => [name, fs.readFileSync(path.join(work, "out", name), "utf8")]));
    } finally {
      fs.rmSync(work, { recursive: true, force: true });
    }
  };
  const page = {
    "index.html": '<link rel="stylesheet" href="styles.css"><script src="app.js"></script>',
    "styles.css": "body { background: url(logo.png); }",
    "app.js": 'import { a } from "./part.js"; fetch("data.json"); // (part.js) in a comment stays',
    "part.js": "export const a = 1;",
    "data.json": "{}",
    "logo.png": "png",
    "manifest.webmanifest": '{"icons": [{"src": "logo.png"}]}',
    "emulator/bridge.js": 'import "../part.js";',
  };

  // A file named by its content can be cached for ever only if every file
  // that names it names the new name, and a change anywhere below a file
  // changes that file's name too: catches a reference left with the old
  // name (the page would not load), and a name that does not cover what
  // the file loads (a cache could mix two releases).
  it("names each file the page loads by its content, and every reference by the new name", () => {
    const first = publish(page);
    const named = (stem, suffix) => Object.keys(first).find((n) => new RegExp(`^${stem}\\.[0-9a-f]{16}\\.${suffix}$`).test(n));
    const [app, part, data, styles, logo] = [named("app", "js"), named("part", "js"), named("data", "json"),
      named("styles", "css"), named("logo", "png")];
    assert.ok(app && part && data && styles && logo, Object.keys(first).join(" "));
    assert.ok(first["index.html"].includes(`href="${styles}"`) && first["index.html"].includes(`src="${app}"`));
    assert.ok(first[app].includes(`"./${part}"`) && first[app].includes(`"${data}"`));
    assert.ok(first[app].includes("(part.js) in a comment stays"));
    assert.ok(first[styles].includes(`url(${logo})`));
    assert.ok(first["manifest.webmanifest"].includes(`"${logo}"`));
    assert.ok(first[path.join("emulator", "bridge.js")].includes(`"../${part}"`));
    assert.ok(first["sw.js"].includes(`"${app}"`), "the worker lists the new names");
    assert.ok(JSON.parse(first["release.json"]).files.includes(app), "the release names the new names");

    // A change in a file that app.js imports renames app.js too.
    const second = publish({ ...page, "part.js": "export const a = 2;" });
    assert.equal(second[app], undefined, "app.js has a new name");
    assert.ok(second[styles] !== undefined, "styles.css keeps its name");
  });

  // A name the page builds at run time could not be rewritten: catches a
  // file to be named by its content that nothing names, and names in a
  // circle, which have no content name.
  it("refuses a file that nothing names, and files that name each other", () => {
    assert.throws(() => publish({ ...page, "orphan.js": "" }), /nothing names orphan\.js/);
    assert.throws(() => publish({ ...page, "part.js": 'import "./app.js";' }), /in a circle/);
  });
});

describe("the service worker's stamp", () => {
  // The cache name must change with any file of the page and only then:
  // catches a digest that misses a file's content (a new version of the
  // page would be served from the old cache for ever) and one that changes
  // on every build (every visit would fetch everything again). The release
  // file that open pages read must name the worker's version and files,
  // and neither may list it (the worker would serve a page its own old
  // copy, and every stamp would see a new folder).
  it("gives a new version for a changed file and the same one for an unchanged folder, named in release.json", () => {
    const folder = tempFolder();
    try {
      fs.writeFileSync(path.join(folder, "index.html"), "<!doctype html>");
      fs.mkdirSync(path.join(folder, "emulator"));
      fs.writeFileSync(path.join(folder, "emulator", "unit.wasm"), Buffer.from([0, 97, 115, 109]));
      python("stamp_service_worker.py", folder);
      const first = fs.readFileSync(path.join(folder, "sw.js"), "utf8");
      const firstRelease = fs.readFileSync(path.join(folder, "release.json"), "utf8");
      python("stamp_service_worker.py", folder);
      assert.equal(fs.readFileSync(path.join(folder, "sw.js"), "utf8"), first, "the same folder, the same worker");
      assert.equal(fs.readFileSync(path.join(folder, "release.json"), "utf8"), firstRelease, "and the same release file");
      assert.ok(first.includes('"emulator/unit.wasm"'), "files in sub-folders are listed");
      assert.deepEqual(releaseOf(folder), { version: versionOf(folder), files: ["emulator/unit.wasm", "index.html"] });
      assert.deepEqual(workerFiles(folder), releaseOf(folder).files);

      fs.writeFileSync(path.join(folder, "emulator", "unit.wasm"), Buffer.from([0, 97, 115, 110]));
      const before = /const VERSION = "([0-9a-f]+)";/.exec(first)[1];
      python("stamp_service_worker.py", folder);
      assert.notEqual(versionOf(folder), before, "one changed byte makes a new version");
      assert.equal(releaseOf(folder).version, versionOf(folder), "the release file names the new version");
    } finally {
      fs.rmSync(folder, { recursive: true, force: true });
    }
  });
});

describe("the page's logo and icons", () => {
  // Catches the logo's green colour key left opaque (a green box on the
  // page), icons drawn at the wrong size, and output that differs from run
  // to run (the service worker would see a new page at every build).
  it("are drawn the same at every run, with the logo's key transparent", () => {
    const first = tempFolder();
    const second = tempFolder();
    try {
      python("make_web_icons.py", first);
      python("make_web_icons.py", second);
      const names = fs.readdirSync(first).sort();
      assert.deepEqual(names, ["favicon.png", "icon-192.png", "icon-512.png", "icon-maskable-512.png", "logo.png"]);
      for (const name of names) {
        assert.ok(fs.readFileSync(path.join(first, name)).equals(fs.readFileSync(path.join(second, name))), name);
      }
      const logo = decodePng(path.join(first, "logo.png"));
      assert.equal(logo.width, 886);
      let greenLeft = 0;
      for (let y = 0; y < logo.height; ++y) {
        for (let x = 0; x < logo.width; ++x) {
          const [r, g, b, a] = logo.pixel(x, y);
          if (a > 0 && g > 200 && r < 60 && b < 60) {
            ++greenLeft;
          }
        }
      }
      assert.equal(greenLeft, 0, "no visible green pixel");
      assert.equal(logo.pixel(0, 0)[3], 0, "the corner shows the page through");
      const maskable = decodePng(path.join(first, "icon-maskable-512.png"));
      assert.equal(maskable.pixel(0, 0)[3], 255, "a maskable icon fills its corners");
      for (const [name, size] of [["icon-192.png", 192], ["icon-512.png", 512], ["favicon.png", 32]]) {
        const icon = decodePng(path.join(first, name));
        assert.deepEqual([icon.width, icon.height], [size, size], name);
      }
    } finally {
      fs.rmSync(first, { recursive: true, force: true });
      fs.rmSync(second, { recursive: true, force: true });
    }
  });
});
