// The main panel's controls, by the Windows control ids, as the program
// sets and reads them through the host object: their texts, Update and the
// version rows on or off, the title, where the panel is and whether the
// page has the focus; and the code line of the last failure below the hint.

import { IDC_HINT, IDC_UPDATE } from "./names.mjs";
import { hintChanged } from "./page-texts.js";
import { versions } from "./page-versions.js";

const byId = (id) => document.getElementById(id);

const controlTexts = new Map();

function control(id) {
  return document.querySelector('[data-control-id="' + Number(id) + '"]');
}

export function setItemText(id, text) {
  controlTexts.set(id, text);
  const element = control(id);
  if (element) {
    element.textContent = text.replace(/\r\n/g, "\n");
  }
  if (id === IDC_HINT) {
    hintChanged(() => getItemText(IDC_HINT));
  }
}

export function getItemText(id) {
  if (controlTexts.has(id)) {
    return controlTexts.get(id);
  }
  const element = control(id);
  return element ? element.textContent.replace(/\r?\n/g, "\r\n") : "";
}

// Update as the program has set it; while a newer version is known, the
// button stays off whatever the program says.
let updateEnabled = false;

export function enableItem(id, enable) {
  const element = control(id);
  if (!element) {
    return;
  }
  if (Number(id) === IDC_UPDATE) {
    updateEnabled = enable;
    enable = enable && !versions.newer;
  }
  const hadFocus = document.activeElement === element;
  if ("disabled" in element) {
    element.disabled = !enable;
  } else {
    // A static text of the dialog (a version row): greyed and marked for
    // screen readers, as Windows draws a disabled static control.
    element.classList.toggle("disabled", !enable);
    element.setAttribute("aria-disabled", enable ? "false" : "true");
  }
  // A disabled button loses the focus; it goes to Close, as in a dialog.
  if (hadFocus && !enable) {
    byId("close").focus();
  }
}

// Update set again as the program last set it, now that what is known of
// a newer version has changed.
export function enableUpdateAsSet() {
  enableItem(IDC_UPDATE, updateEnabled);
}

export function setTitle(title) {
  byId("title").textContent = title;
  document.title = title;
}

export function mainRectangle() {
  const rect = byId("updater").getBoundingClientRect();
  return {
    left: Math.round(rect.left), top: Math.round(rect.top),
    right: Math.round(rect.right), bottom: Math.round(rect.bottom),
  };
}

export function isForeground() {
  return document.visibilityState === "visible" && document.hasFocus();
}

// The code line of the last failure box stays below the hint once the box
// is closed, for the owner to pass on to support, until the next update
// starts.
const CODE_LINE = /0x[0-9a-f]{8}-0x[0-9a-f]{8}/;

export function showLastCodeLine(line) {
  const element = byId("last-code-line");
  const shown = CODE_LINE.test(line);
  element.textContent = shown ? line : "";
  element.hidden = !shown;
}
