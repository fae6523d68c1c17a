// The updater page's service worker: it keeps every file of the page in a
// cache of its own, so that the updater opens without a network after the
// first visit.
//
// This is a template: tools/stamp_service_worker.py writes the served sw.js
// from it, with VERSION (a digest of every file of the folder) and FILES (the
// folder's files but this worker, relative to it). A new version of the page
// has a new digest, so the browser installs the new worker, which fills a
// new cache; the old cache is deleted only when no page of the old version
// is open any more (no skipWaiting), so a page in the middle of an update
// never gets files of another version.
"use strict";

const VERSION = "@VERSION@";
const FILES = ["@FILES@"];

// Caches are shared by every page of an origin: the name carries this
// worker's scope, so that the product page and the demo, served from one
// origin, never delete each other's cache.
const CACHE_PREFIX = "orvanto-updater " + self.registration.scope + " ";
const CACHE_NAME = CACHE_PREFIX + VERSION;

self.addEventListener("install", (event) => {
  // cache: "reload" skips the browser's HTTP cache, so that the new cache
  // holds the files of this version and not older copies.
  event.waitUntil(
    caches.open(CACHE_NAME).then((cache) =>
      cache.addAll(FILES.map((file) => new Request(file, { cache: "reload" })))));
});

self.addEventListener("activate", (event) => {
  event.waitUntil((async () => {
    for (const name of await caches.keys()) {
      if (name.startsWith(CACHE_PREFIX) && name !== CACHE_NAME) {
        await caches.delete(name);
      }
    }
    // The first visit's page is served by this worker from now on.
    await self.clients.claim();
  })());
});

// The cached copy of one of the page's own files, or undefined.
async function cachedFile(request) {
  const url = new URL(request.url);
  if (url.origin !== self.location.origin || !url.href.startsWith(self.registration.scope)) {
    return undefined;
  }
  let path = url.pathname.slice(new URL(self.registration.scope).pathname.length);
  if (path === "" || path.endsWith("/")) {
    path += "index.html";
  }
  if (!FILES.includes(path)) {
    return undefined;
  }
  const cache = await caches.open(CACHE_NAME);
  // A query does not change the file.
  return cache.match(new URL(path, self.registration.scope).href, { ignoreSearch: true });
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
  event.respondWith((async () => {
    const cached = await cachedFile(request);
    return cached || fetch(request);
  })());
});
