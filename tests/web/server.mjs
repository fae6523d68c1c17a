// A static file server for the browser tests and the measuring script: one
// folder, on 127.0.0.1 (a secure context, so the page gets navigator.hid),
// on a port the system chooses. A missing file is a 404, a bad path a 400,
// a failing read a 500: a request never brings the server down.
import { createReadStream } from "node:fs";
import { stat } from "node:fs/promises";
import http from "node:http";
import path from "node:path";

export const MIME_TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".json": "application/json",
  ".webmanifest": "application/manifest+json",
  ".wasm": "application/wasm",
  ".png": "image/png",
  ".svg": "image/svg+xml",
  ".ico": "image/x-icon",
  ".txt": "text/plain; charset=utf-8",
  ".bin": "application/octet-stream",
};

function reply(response, status, text) {
  response.writeHead(status, { "Content-Type": "text/plain; charset=utf-8" });
  response.end(text + "\n");
}

// The file a URL path names inside root, or null for a path that leaves it
// or cannot be decoded.
export function fileFor(root, urlPath) {
  let decoded;
  try {
    decoded = decodeURIComponent(urlPath);
  } catch {
    return null;
  }
  if (decoded.includes("\0")) {
    return null;
  }
  const file = path.resolve(root, "." + path.posix.normalize("/" + decoded));
  if (file !== root && !file.startsWith(root + path.sep)) {
    return null;
  }
  return decoded.endsWith("/") ? path.join(file, "index.html") : file;
}

// index.html and sw.js: asked anew each time.
const ALWAYS_ASKED = /(^|\/)(index\.html|sw\.js|)$/;

async function handle(root, request, response, log, { redirectIndex, cacheAs }) {
  const url = new URL(request.url, "http://127.0.0.1");
  log.push(url.pathname);
  // As many static hosts do: a folder's index.html is sent to the folder.
  if (redirectIndex && url.pathname.endsWith("/index.html")) {
    response.writeHead(301, { Location: url.pathname.slice(0, -"index.html".length) + url.search });
    response.end();
    return;
  }
  if (request.method !== "GET" && request.method !== "HEAD") {
    response.writeHead(405, { Allow: "GET, HEAD" });
    response.end();
    return;
  }
  const file = fileFor(root, url.pathname);
  if (file === null) {
    reply(response, 400, "bad path");
    return;
  }
  let info;
  try {
    info = await stat(file);
  } catch {
    reply(response, 404, "not found");
    return;
  }
  if (!info.isFile()) {
    reply(response, 404, "not found");
    return;
  }
  const headers = {
    "Content-Type": MIME_TYPES[path.extname(file).toLowerCase()] || "application/octet-stream",
    "Content-Length": info.size,
  };
  if (cacheAs === "last-modified" && !ALWAYS_ASKED.test(url.pathname)) {
    // As a host that sends no caching rule: the browser keeps the file for
    // a while by itself, reckoned from its age.
    headers["Last-Modified"] = info.mtime.toUTCString();
  } else {
    // The tests change the folder between runs: the browser asks every time.
    headers["Cache-Control"] = "no-cache";
  }
  response.writeHead(200, headers);
  if (request.method === "HEAD") {
    response.end();
    return;
  }
  const stream = createReadStream(file);
  stream.on("error", () => response.destroy());
  stream.pipe(response);
}

// Serves folder until close(); resolves to {url, port, requests, close}.
// requests lists every path asked for, in order. With redirectIndex, a
// request for a folder's index.html is redirected to the folder. With
// cacheAs "last-modified", only index.html and sw.js go out with no-cache,
// every other file with its Last-Modified date and no caching rule.
export async function startServer(folder, { redirectIndex = false, cacheAs = "no-cache" } = {}) {
  const root = path.resolve(folder);
  const requests = [];
  const server = http.createServer((request, response) => {
    handle(root, request, response, requests, { redirectIndex, cacheAs }).catch(() => {
      if (!response.headersSent) {
        reply(response, 500, "read failed");
      } else {
        response.destroy();
      }
    });
  });
  await new Promise((resolve, reject) => {
    server.once("error", reject);
    server.listen(0, "127.0.0.1", resolve);
  });
  const { port } = server.address();
  return {
    url: `http://127.0.0.1:${port}/`,
    port,
    requests,
    // Stops listening and cuts every open connection: for the page it is
    // as if the network were gone.
    close() {
      return new Promise((resolve) => {
        server.close(() => resolve());
        server.closeAllConnections();
      });
    },
  };
}
