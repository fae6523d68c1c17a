#!/usr/bin/env python3
"""Makes the string tables from res/texts.txt, the one source of every text.

Writes, into the output folder:
  strings_en.rc, strings_de.rc  the STRINGTABLE of each language, included by
                                the language's .rc file
  texts_table.inc               the same texts as C++ wide literals, for the
                                native build's text loader

The browser page's own texts (ids 61001 to 61099) are left out of these.
With --page, it also writes the texts that the browser page shows by itself,
as JSON: for each language the main dialog's caption and control texts from
the dialog templates (by control id) and the page's own texts (ids 61001 to
61099 of the string table).

usage: gen_texts.py res/texts.txt OUTPUT_DIR
       [--page PAGE_TEXTS.json lang_en.rc lang_de.rc resource.h]
"""
import json
import pathlib
import re
import sys

# The page's own texts in the string table.
PAGE_TEXT_IDS = range(61001, 61100)

# In a dialog template: its caption and its controls' texts and ids.
CAPTION_LINE = re.compile(r'^\s*CAPTION\s+"([^"]*)"\s*$')
CONTROL_LINE = re.compile(r'^\s*CONTROL\s+"([^"]*)"\s*,\s*([A-Za-z_0-9-]+)\s*,')
DEFINE_LINE = re.compile(r'^\s*#\s*define\s+([A-Za-z_0-9]+)\s+\(?(-?\d+)\)?\s*$')


def read_texts(path):
    texts = {}
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 3 or fields[1] not in ("en", "de") or not fields[0].isdigit():
            sys.exit(f"{path}:{number}: expected 'id<TAB>en|de<TAB>text'")
        text = fields[2]
        if '"' in text or "\\" in text.replace("\\r\\n", ""):
            sys.exit(f"{path}:{number}: a text may hold no quotation mark and no backslash but in \\r\\n")
        key = (int(fields[0]), fields[1])
        if key in texts:
            sys.exit(f"{path}:{number}: text {key[0]} ({key[1]}) given twice")
        texts[key] = text.replace("\\r\\n", "\r\n")
    ids = sorted({key[0] for key in texts})
    for text_id in ids:
        for language in ("en", "de"):
            if (text_id, language) not in texts:
                sys.exit(f"{path}: text {text_id} has no {language} version")
    return ids, texts


def escape(text, wide_escape):
    out = []
    for char in text:
        code = ord(char)
        if char == "\r":
            out.append("\\r")
        elif char == "\n":
            out.append("\\n")
        elif 0x20 <= code < 0x7F:
            out.append(char)
        elif code <= 0xFFFF:
            out.append(wide_escape % code)
        else:
            sys.exit(f"character U+{code:X} does not fit one UTF-16 unit")
    return "".join(out)


def read_defines(path):
    defines = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        match = DEFINE_LINE.match(line)
        if match:
            defines[match.group(1)] = int(match.group(2))
    return defines


def read_main_dialog(path, defines):
    """The caption and the control texts (by id) of IDD_MAIN in one .rc file."""
    caption = None
    controls = {}
    inside = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if re.match(r"^\s*IDD_MAIN\s+DIALOGEX\b", line):
            inside = True
            continue
        if not inside:
            continue
        if re.match(r"^\s*END\s*$", line):
            break
        match = CAPTION_LINE.match(line)
        if match:
            caption = match.group(1)
            continue
        match = CONTROL_LINE.match(line)
        if match:
            name = match.group(2)
            control_id = defines.get(name)
            if control_id is None:
                if not re.fullmatch(r"-?\d+", name):
                    sys.exit(f"{path}:{number}: control id {name} is not defined")
                control_id = int(name)
            controls[str(control_id)] = match.group(1)
    if caption is None or not controls:
        sys.exit(f"{path}: no IDD_MAIN template with a caption and controls")
    return caption, controls


def write_page_texts(out_path, texts, rc_paths, resource_header):
    defines = read_defines(resource_header)
    defines.setdefault("IDCANCEL", 2)
    defines.setdefault("IDC_STATIC", -1)
    page = {}
    for language, rc_path in zip(("en", "de"), rc_paths):
        caption, controls = read_main_dialog(rc_path, defines)
        page[language] = {
            "caption": caption,
            "controls": controls,
            "texts": {str(text_id): texts[(text_id, language)]
                      for text_id in PAGE_TEXT_IDS if (text_id, language) in texts},
        }
    content = json.dumps(page, ensure_ascii=True, indent=1, sort_keys=True) + "\n"
    out_path.parent.mkdir(parents=True, exist_ok=True)
    write_if_changed(out_path, content)


def main():
    arguments = sys.argv[1:]
    page_arguments = None
    if "--page" in arguments:
        at = arguments.index("--page")
        page_arguments = arguments[at + 1:at + 5]
        arguments = arguments[:at] + arguments[at + 5:]
        if len(page_arguments) != 4:
            sys.exit("--page needs PAGE_TEXTS.json lang_en.rc lang_de.rc resource.h")
    if len(arguments) != 2:
        sys.exit(__doc__)
    source = pathlib.Path(arguments[0])
    out_dir = pathlib.Path(arguments[1])
    out_dir.mkdir(parents=True, exist_ok=True)
    ids, texts = read_texts(source)
    # The page's own texts are not the program's: the string tables keep to
    # the program's texts.
    program_ids = [text_id for text_id in ids if text_id not in PAGE_TEXT_IDS]
    banner = f"// Made by tools/gen_texts.py from {source.name}; do not edit.\n"

    for language in ("en", "de"):
        lines = [banner, "STRINGTABLE\n", "BEGIN\n"]
        for text_id in program_ids:
            # Resource compilers read \x with up to four hex digits in a wide string.
            lines.append(f'  {text_id}, L"{escape(texts[(text_id, language)], chr(92) + "x%04x")}"\n')
        lines.append("END\n")
        write_if_changed(out_dir / f"strings_{language}.rc", "".join(lines))

    lines = [banner]
    for text_id in program_ids:
        english = escape(texts[(text_id, "en")], chr(92) + "u%04x")
        german = escape(texts[(text_id, "de")], chr(92) + "u%04x")
        lines.append(f'{{{text_id}, L"{english}",\n L"{german}"}},\n')
    write_if_changed(out_dir / "texts_table.inc", "".join(lines))

    if page_arguments is not None:
        write_page_texts(pathlib.Path(page_arguments[0]), texts,
                         [pathlib.Path(page_arguments[1]), pathlib.Path(page_arguments[2])],
                         pathlib.Path(page_arguments[3]))


def write_if_changed(path, content):
    if not path.exists() or path.read_text(encoding="ascii") != content:
        path.write_text(content, encoding="ascii")


if __name__ == "__main__":
    main()
