// The texts that the tests expect the updater to show, read from res/ (the
// one source of every text: res/texts.txt and the dialog's res/lang_*.rc),
// as the page shows them (a line break "\r\n" as "\n"). Shared by the
// page's tests, the real-stack browser run and the measuring scripts; it
// needs neither a build nor a browser.
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");

function readStringTable() {
  const table = new Map();
  const lines = fs.readFileSync(path.join(ROOT, "res", "texts.txt"), "utf8").split("\n");
  for (const line of lines) {
    if (line === "" || line.startsWith("#")) {
      continue;
    }
    const [id, language, text] = line.split("\t");
    table.set(`${Number(id)} ${language}`, text.replaceAll("\\r\\n", "\r\n"));
  }
  return table;
}

// The texts of the dialog's controls, by control name (IDCANCEL, IDC_UPDATE,
// IDC_STATIC for the hint's caption, ...), and the dialog's caption.
function readDialogTexts(language) {
  const rc = fs.readFileSync(path.join(ROOT, "res", `lang_${language}.rc`), "utf8");
  const main = rc.slice(rc.indexOf("IDD_MAIN"), rc.indexOf("END", rc.indexOf("IDD_MAIN")));
  const texts = { caption: /CAPTION "([^"]*)"/.exec(main)[1] };
  for (const match of main.matchAll(/CONTROL "([^"]*)", (\w+),/g)) {
    texts[match[2]] = match[1];
  }
  return texts;
}

const STRING_TABLE = readStringTable();

// The page shows a line break "\r\n" as "\n".
// The main window's title as the owner reads it, in both languages, with
// the blank at its end.
export const WINDOW_TITLE = "VESTORA ORVANTO FW Updater 3.0 ";

export function pageText(text) {
  return text.replaceAll("\r\n", "\n");
}

// A value as the code line shows it: 0x and eight lower-case hex digits.
export function hex(value) {
  return `0x${(value >>> 0).toString(16).padStart(8, "0")}`;
}

// The texts in `language` ("en" or "de"); N are the names the program shares
// with the page (names.mjs).
export function textsFor(language, N) {
  const dialog = readDialogTexts(language);
  const text = (id) => {
    const found = STRING_TABLE.get(`${Number(id)} ${language}`);
    if (found === undefined) {
      throw new Error(`res/texts.txt has no text ${id} (${language})`);
    }
    return pageText(found);
  };
  const codeLineParts = () => text(N.IDS_ERROR_CODE_LINE).split("0x%08x");
  return {
    language,
    text,
    dialog,
    hex,
    // A status text, an empty line and the connection instructions.
    waiting: (statusId) => `${text(statusId)}\n\n${text(N.IDS_INSTRUCTIONS)}`,
    // The failure box's code line, from its format text.
    codeLine: (status, lastError) => {
      const parts = codeLineParts();
      return `${parts[0]}${hex(status)}${parts[1]}${hex(lastError)}${parts[2]}`;
    },
    codeLinePrefix: () => codeLineParts()[0],
    // The two numbers of a code line, signed as the program's status and
    // unsigned as its last error; null when `line` is none.
    parseCodeLine: (line) => {
      const parts = codeLineParts();
      if (!line.startsWith(parts[0])) {
        return null;
      }
      const match = /^0x([0-9a-f]{8})(.*)0x([0-9a-f]{8})/.exec(line.slice(parts[0].length));
      return match ? { status: parseInt(match[1], 16) | 0, lastError: parseInt(match[3], 16) } : null;
    },
  };
}
