// The updater page's texts, from texts.json (made from the one source of
// every text) in the browser's language, and what screen readers hear of
// the hint when it changes.

import { IDC_HINT, IDS_PAGE_BUILD, IDS_PAGE_BUILD_NO_IMAGE } from "./names.mjs";

const byId = (id) => document.getElementById(id);

export const germanBrowser = (navigator.language || "").toLowerCase().startsWith("de");
let pageTexts = null;

export function textsLoaded() {
  return pageTexts !== null;
}

// Loads the texts; without them the page keeps its English ones.
export async function loadTexts() {
  try {
    pageTexts = await fetchTexts();
  } catch (error) {
    pageTexts = null;
  }
}

async function fetchTexts() {
  const response = await fetch("texts.json");
  if (!response.ok) {
    throw new Error("texts.json: " + response.status);
  }
  const all = await response.json();
  return all[germanBrowser ? "de" : "en"];
}

// Every element of the page with a text of its own gets it in the
// browser's language. Without the texts the page keeps its English ones.
export function putTexts() {
  if (!pageTexts) {
    return;
  }
  document.documentElement.lang = germanBrowser ? "de" : "en";
  document.title = pageTexts.caption;
  byId("title").textContent = pageTexts.caption;
  for (const element of document.querySelectorAll("[data-text]")) {
    const text = pageTexts.texts[element.dataset.text];
    if (text !== undefined) {
      element.textContent = text.replace(/\r\n/g, "\n");
    }
  }
  for (const element of document.querySelectorAll("[data-control-id]")) {
    const text = pageTexts.controls[element.dataset.controlId];
    if (text !== undefined && Number(element.dataset.controlId) !== IDC_HINT) {
      element.textContent = text;
    }
  }
}

export function pageText(id, english) {
  return (pageTexts && pageTexts.texts[String(id)]) || english;
}

// The program writes the hint in steps (a status, then the instructions
// appended) without giving the page a turn in between: what changed is
// announced once it has finished, in a microtask.
let announcedHint = "";
let announcementDue = false;

// The hint's text has changed; `current` gives it.
export function hintChanged(current) {
  if (announcementDue) {
    return;
  }
  announcementDue = true;
  queueMicrotask(() => {
    announcementDue = false;
    const text = current();
    if (text !== announcedHint) {
      announceHint(announcedHint, text);
      announcedHint = text;
    }
  });
}

// The hint holds a message, or a status followed by an empty line and the
// instructions on connecting the unit, which stay the same from one status
// to the next. Screen readers hear what changed: the paragraphs at the end
// that the new text shares with the old one are not read again.
function announceHint(before, text) {
  let shared = 0;
  while (shared < before.length && shared < text.length &&
         before[before.length - 1 - shared] === text[text.length - 1 - shared]) {
    ++shared;
  }
  // Keep whole paragraphs of the shared end only.
  const tail = text.slice(text.length - shared);
  const paragraph = tail.indexOf("\r\n\r\n");
  const changed = paragraph < 0 ? text : text.slice(0, text.length - shared + paragraph);
  byId("hint-announcement").textContent = changed.replace(/\r\n/g, "\n");
}

// Which updater and which firmware image this page carries, for support.
export function showBuild(version, imageDigest) {
  const format = imageDigest
    ? pageText(IDS_PAGE_BUILD, "Updater %s, firmware image SHA-256 %s…")
    : pageText(IDS_PAGE_BUILD_NO_IMAGE, "Updater %s, no firmware image");
  const values = [version, imageDigest];
  byId("about").textContent = format.replace(/%s/g, () => values.shift());
}
