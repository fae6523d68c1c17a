// The updater page's dialogs: the message boxes (MessageBoxW's captions,
// texts, buttons, icons and answers in a modal <dialog>) and the progress
// panel of an update.
import {
  ANSWER_CANCEL,
  ANSWER_NO,
  ANSWER_OK,
  ANSWER_YES,
  BOX_ICON_ERROR,
  BOX_ICON_EXCLAMATION,
  BOX_ICON_INFORMATION,
  BOX_OK_CANCEL,
  BOX_YES_NO,
  IDS_PAGE_CANCEL,
  IDS_PAGE_NO,
  IDS_PAGE_OK,
  IDS_PAGE_PROGRESS,
  IDS_PAGE_YES,
} from "./names.mjs";

const byId = (id) => document.getElementById(id);

// MessageBoxW's masks of the buttons and of the icon in a style.
const BOX_BUTTONS_MASK = 0x0f;
const BOX_ICON_MASK = 0xf0;

// What the dialogs need of the page: set by the page.
export const dialogHooks = {
  // A page text by id, or the English one.
  text: (id, english) => english,
  // The top box has been answered.
  answered: () => {},
  // An answer that lets the update go on (OK in an OK/Cancel box, Yes in a
  // Yes/No box) is about to reach the program: resolves to whether it may.
  mayGoOn: async () => true,
  // The session is over: no dialog opens again.
  ended: () => false,
  // A box opens before the main view has been shown.
  firstBox: () => {},
  // The last box has closed: its text, and whether it showed the error icon.
  boxClosed: (text, isError) => {},
};

// ---- Message boxes: the page's modal dialog, with MessageBoxW's
// captions, buttons, icons and answers. A box opened while another is
// open lies over it until it is answered.

const boxes = [];
const boxDialog = byId("message-box");

const BOX_ICONS = {
  [BOX_ICON_ERROR]: "error",
  [BOX_ICON_EXCLAMATION]: "warning",
  [BOX_ICON_INFORMATION]: "information",
};

function boxAnswers(style) {
  switch (style & BOX_BUTTONS_MASK) {
    case BOX_OK_CANCEL:
      return [[ANSWER_OK, IDS_PAGE_OK, "OK"], [ANSWER_CANCEL, IDS_PAGE_CANCEL, "Cancel"]];
    case BOX_YES_NO:
      return [[ANSWER_YES, IDS_PAGE_YES, "Yes"], [ANSWER_NO, IDS_PAGE_NO, "No"]];
    default:
      return [[ANSWER_OK, IDS_PAGE_OK, "OK"]];
  }
}

function showBox(box) {
  boxDialog.setAttribute("aria-busy", box.checking ? "true" : "false");
  byId("message-box-caption").textContent = box.caption;
  byId("message-box-text").textContent = box.text.replace(/\r\n/g, "\n");
  boxDialog.dataset.icon = BOX_ICONS[box.style & BOX_ICON_MASK] || "none";
  const buttons = byId("message-box-buttons");
  buttons.replaceChildren();
  for (const [answer, textId, english] of boxAnswers(box.style)) {
    const button = document.createElement("button");
    button.type = "button";
    button.dataset.answer = String(answer);
    button.textContent = dialogHooks.text(textId, english);
    button.addEventListener("click", () => answerBox(box, answer));
    buttons.append(button);
  }
  if (!boxDialog.open) {
    boxDialog.showModal();
  }
  // The first button is the default one, as in MessageBoxW.
  buttons.firstElementChild.focus();
}

// The answer that stops what an answer would let go on: Cancel for OK in
// an OK/Cancel box, No for Yes in a Yes/No box; undefined for the others.
function refusalOf(style, answer) {
  const buttons = style & BOX_BUTTONS_MASK;
  if (buttons === BOX_OK_CANCEL && answer === ANSWER_OK) {
    return ANSWER_CANCEL;
  }
  if (buttons === BOX_YES_NO && answer === ANSWER_YES) {
    return ANSWER_NO;
  }
  return undefined;
}

// An answer that lets the update go on is held until the page has made
// sure that it may (mayGoOn); refused, it reaches the program as the
// box's refusal, which sends nothing. Meanwhile the box takes no other
// answer.
function answerBox(box, answer) {
  if (boxes[boxes.length - 1] !== box || box.answer !== null || box.checking) {
    return;
  }
  const refusal = refusalOf(box.style, answer);
  if (refusal === undefined) {
    box.answer = answer;
    dialogHooks.answered();
    return;
  }
  box.checking = true;
  boxDialog.setAttribute("aria-busy", "true");
  Promise.resolve()
    .then(() => dialogHooks.mayGoOn())
    .catch(() => false)
    .then((mayGoOn) => {
      box.checking = false;
      if (boxes[boxes.length - 1] === box) {
        boxDialog.setAttribute("aria-busy", "false");
      }
      box.answer = mayGoOn === true ? answer : refusal;
      dialogHooks.answered();
    });
}

export function openMessageBox(text, caption, style) {
  // A box at start (an ESC the updater cannot update) stands over the
  // main view, as the Windows dialog shows behind its box, not over the
  // loading text.
  if (!byId("loading").hidden) {
    dialogHooks.firstBox();
  }
  const box = { text, caption, style, answer: null, checking: false, focus: document.activeElement };
  boxes.push(box);
  showBox(box);
}

export function closeMessageBox() {
  const box = boxes.pop();
  if (boxes.length > 0) {
    showBox(boxes[boxes.length - 1]);
    return;
  }
  boxDialog.close();
  if (box) {
    dialogHooks.boxClosed(box.text, (box.style & BOX_ICON_MASK) === BOX_ICON_ERROR);
  }
  // The focus goes back where it was; where that is gone or disabled
  // (Update, after a failure), to Close, the dialog's default button.
  if (box && box.focus && box.focus.isConnected && !box.focus.disabled &&
      box.focus !== document.body) {
    box.focus.focus();
  } else if (!byId("updater").hidden) {
    byId("close").focus();
  }
}

// Ctrl+C in a message box copies the whole box, as on Windows: caption,
// text and buttons between dashed lines, ready to be pasted into a
// support request. A selection of the box's text is copied as it is.
function boxAsText(box) {
  const line = "---------------------------";
  const buttons = boxAnswers(box.style).map(([, textId, english]) => dialogHooks.text(textId, english));
  return [line, box.caption, line, box.text, line, buttons.join("   ") + "   ", line, ""]
    .join("\r\n");
}

document.addEventListener("copy", (event) => {
  const box = boxes[boxes.length - 1];
  if (!box || !boxDialog.open) {
    return;
  }
  const selection = document.getSelection();
  if (selection && !selection.isCollapsed && boxDialog.contains(selection.anchorNode)) {
    return;
  }
  event.clipboardData.setData("text/plain", boxAsText(box));
  event.preventDefault();
});

// Escape answers as in MessageBoxW: Cancel where there is a Cancel
// button, OK where OK is the only one, nothing in a Yes/No box.
boxDialog.addEventListener("cancel", (event) => {
  event.preventDefault();
  const box = boxes[boxes.length - 1];
  if (!box) {
    return;
  }
  const buttons = box.style & BOX_BUTTONS_MASK;
  if (buttons === BOX_OK_CANCEL) {
    answerBox(box, ANSWER_CANCEL);
  } else if (buttons !== BOX_YES_NO) {
    answerBox(box, ANSWER_OK);
  }
});

// The browser may close a modal dialog on a repeated Escape whatever the
// page says; a box that still waits for its answer opens again. The close
// event comes in a task of its own: by then the program may have opened
// its next box already (a failure right after the confirmation), which is
// left as it is rather than drawn again under the user's pointer.
boxDialog.addEventListener("close", () => {
  const box = boxes[boxes.length - 1];
  if (box && box.answer === null && !dialogHooks.ended() && !boxDialog.open) {
    showBox(box);
  }
});

// ---- The progress panel.

const progressPanel = byId("progress-panel");
const progressBar = byId("progress-bar");
let progressOpen = false;

// Screen readers hear how far the update has come in steps of a tenth, not
// at every block.
const PROGRESS_ANNOUNCEMENT_STEP = 10;
let progressAnnounced = -1;

function announceProgress(position) {
  const step = Math.floor(position / PROGRESS_ANNOUNCEMENT_STEP) * PROGRESS_ANNOUNCEMENT_STEP;
  if (step !== progressAnnounced) {
    progressAnnounced = step;
    byId("progress-announcement").textContent =
      dialogHooks.text(IDS_PAGE_PROGRESS, "Update: %s percent done").replace("%s", String(step));
  }
}

export function openProgress(title) {
  byId("progress-title").textContent = title;
  progressBar.setAttribute("value", "0");
  progressAnnounced = -1;
  byId("progress-announcement").textContent = "";
  progressOpen = true;
  if (!progressPanel.open) {
    progressPanel.showModal();
  }
}

export function setProgress(position) {
  progressBar.setAttribute("value", String(position));
  announceProgress(position);
}

export function closeProgress() {
  progressOpen = false;
  if (progressPanel.open) {
    progressPanel.close();
  }
}

// Nothing cancels an update from the keyboard.
progressPanel.addEventListener("cancel", (event) => event.preventDefault());
progressPanel.addEventListener("close", () => {
  if (progressOpen && !dialogHooks.ended()) {
    progressPanel.showModal();
  }
});

// The box on top, or undefined.
export function topBox() {
  return boxes[boxes.length - 1];
}

// The session is over: every box and the progress panel close at once.
export function closeAllDialogs() {
  boxes.length = 0;
  progressOpen = false;
  if (boxDialog.open) {
    boxDialog.close();
  }
  if (progressPanel.open) {
    progressPanel.close();
  }
}
