// The updater page's service worker: it keeps every file of the page in a
// cache of its own, so that the updater opens without a network after the
// first visit.
//
// This is a template: tools/stamp_service_worker.py writes the served sw.js
// from it, with VERSION (a digest of every file of the folder) and FILES (the
// folder's files but this worker and release.json, relative to it, each
// with the SHA-256 digest of its content). release.json, written beside it,
// names the release for pages left open (page-versions.js); being in no
// FILES, it is never kept nor served from a cache. A new version of the
// page has a new digest, so the browser installs the new worker, which
// fills a new cache with exactly the files of its version: a file that the
// server returns with other content (a deploy half done, a stale copy on a
// proxy) fails the install, and the old version goes on working.
//
// The new worker then waits. It takes control when no page of the old
// version is open any more, or earlier when a page asks it to ("take-over",
// page.js): then only once no update runs in any page of the updater, so
// that a running update is never interrupted.
"use strict";

const VERSION = "@VERSION@";
const FILES = {"@FILES@": ""};
const NAMES = Object.keys(FILES);

// Held by a page while an update runs (page.js).
const UPDATE_LOCK = "orvanto-updater update";

// Caches are shared by every page of an origin: the name carries this
// worker's scope, so that the product page and the demo, served from one
// origin, never delete each other's cache.
const CACHE_PREFIX = "orvanto-updater " + self.registration.scope + " ";
const CACHE_NAME = CACHE_PREFIX + VERSION;

function hex(buffer) {
  return Array.from(new Uint8Array(buffer), (byte) => byte.toString(16).padStart(2, "0")).join("");
}

// A response to keep and to serve for a navigation: a host that redirects
// (index.html to /, a folder to its index) gives the browser a redirected
// response, which the browser refuses to show for a navigation; the
// content is taken into a response of its own.
async function plainResponse(response) {
  if (!response.redirected) {
    return response;
  }
  return new Response(await response.blob(), {
    status: response.status,
    statusText: response.statusText,
    headers: response.headers,
  });
}

// Whether `response` holds the file `name` of this version.
async function holdsFile(name, response) {
  const digest = hex(await crypto.subtle.digest("SHA-256", await response.clone().arrayBuffer()));
  return digest === FILES[name];
}

// Fetches one file of this version and checks it against its digest.
async function fetchChecked(name) {
  // cache: "reload" skips the browser's HTTP cache, so that the new cache
  // holds the files of this version and not older copies.
  const response = await fetch(new Request(name, { cache: "reload" }));
  if (!response.ok) {
    throw new Error(`${name}: the server answered ${response.status}`);
  }
  if (!(await holdsFile(name, response))) {
    throw new Error(`${name}: the server sent a file that is not the one of version ${VERSION}`);
  }
  return plainResponse(response);
}

const fileUrl = (name) => new URL(name, self.registration.scope).href;

self.addEventListener("install", (event) => {
  event.waitUntil((async () => {
    let responses;
    try {
      responses = await Promise.all(NAMES.map(fetchChecked));
    } catch (error) {
      // Nothing of this version is kept; the old worker stays in control.
      await caches.delete(CACHE_NAME);
      throw error;
    }
    const cache = await caches.open(CACHE_NAME);
    await Promise.all(NAMES.map((name, index) => cache.put(fileUrl(name), responses[index])));
  })());
});

self.addEventListener("activate", (event) => {
  event.waitUntil((async () => {
    for (const name of await caches.keys()) {
      if (name.startsWith(CACHE_PREFIX) && name !== CACHE_NAME) {
        await caches.delete(name);
      }
    }
    // The first visit's page, and the pages of the old version, are served
    // by this worker from now on.
    await self.clients.claim();
  })());
});

// A page asks the waiting worker to take over. The page has taken the
// update lock first, which every running update holds, and keeps it until
// this worker is in control, so that no update is interrupted and none
// starts with the old version in between; the waiting is the page's, not
// this worker's (the browser stops a worker whose event runs for minutes).
self.addEventListener("message", (event) => {
  if (event.data === "take-over") {
    event.waitUntil(self.skipWaiting());
  }
});

// The name in FILES of the page's own file that `request` asks for, or
// undefined.
function listedName(request) {
  const url = new URL(request.url);
  if (url.origin !== self.location.origin || !url.href.startsWith(self.registration.scope)) {
    return undefined;
  }
  let path = url.pathname.slice(new URL(self.registration.scope).pathname.length);
  if (path === "" || path.endsWith("/")) {
    path += "index.html";
  }
  return Object.prototype.hasOwnProperty.call(FILES, path) ? path : undefined;
}

// One of the page's own files, checked against its digest every time it is
// served: from the cache, or, where the cache lost it or holds something
// else, fetched again, checked and kept. A file that cannot be had as it
// was published is not served at all.
async function servedFile(name) {
  const cache = await caches.open(CACHE_NAME);
  const cached = await cache.match(fileUrl(name), { ignoreSearch: true });
  if (cached && await holdsFile(name, cached)) {
    return plainResponse(cached);
  }
  try {
    const response = await fetchChecked(name);
    await cache.put(fileUrl(name), response.clone());
    return response;
  } catch (error) {
    if (cached) {
      await cache.delete(fileUrl(name));
    }
    return Response.error();
  }
}

self.addEventListener("fetch", (event) => {
  const request = event.request;
  if (request.method !== "GET") {
    return;
  }
  const url = new URL(request.url);
  if (url.origin !== self.location.origin) {
    return;  // another origin: the browser fetches it; nothing is cached
  }
  const name = listedName(request);
  if (name !== undefined) {
    event.respondWith(servedFile(name));
  }
});
