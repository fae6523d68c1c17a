#!/usr/bin/env python3
"""Makes the string tables from res/texts.txt, the one source of every text.

Writes, into the output folder:
  strings_en.rc, strings_de.rc  the STRINGTABLE of each language, included by
                                the language's .rc file
  texts_table.inc               the same texts as C++ wide literals, for the
                                native build's text loader

usage: gen_texts.py res/texts.txt OUTPUT_DIR
"""
import pathlib
import sys


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


def main():
    source = pathlib.Path(sys.argv[1])
    out_dir = pathlib.Path(sys.argv[2])
    out_dir.mkdir(parents=True, exist_ok=True)
    ids, texts = read_texts(source)
    banner = f"// Made by tools/gen_texts.py from {source.name}; do not edit.\n"

    for language in ("en", "de"):
        lines = [banner, "STRINGTABLE\n", "BEGIN\n"]
        for text_id in ids:
            # Resource compilers read \x with up to four hex digits in a wide string.
            lines.append(f'  {text_id}, L"{escape(texts[(text_id, language)], chr(92) + "x%04x")}"\n')
        lines.append("END\n")
        write_if_changed(out_dir / f"strings_{language}.rc", "".join(lines))

    lines = [banner]
    for text_id in ids:
        english = escape(texts[(text_id, "en")], chr(92) + "u%04x")
        german = escape(texts[(text_id, "de")], chr(92) + "u%04x")
        lines.append(f'{{{text_id}, L"{english}",\n L"{german}"}},\n')
    write_if_changed(out_dir / "texts_table.inc", "".join(lines))


def write_if_changed(path, content):
    if not path.exists() or path.read_text(encoding="ascii") != content:
        path.write_text(content, encoding="ascii")


if __name__ == "__main__":
    main()
