#!/usr/bin/env python3
"""Reads a built Windows executable's PE headers and checks that it asks for
ASLR (with high entropy) and DEP, keeps its relocations, imports no DLL
beyond Windows' own KnownDLLs, and carries no debug information (no DWARF
or stabs sections, no symbol table, no time stamp).

tools/release.sh runs it on the program it builds, and again once the
program is signed; the Windows build's tests run it as executable.PeHeaders.

usage: check_executable.py PROGRAM.exe
"""
import struct
import sys

# DLLs that Windows loads only from its own KnownDLLs section.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll",
}

HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
RELOCS_STRIPPED = 0x0001


def imports(data, sections, import_rva):
    def to_offset(rva):
        for virtual, size, raw in sections:
            if virtual <= rva < virtual + size:
                return rva - virtual + raw
        raise ValueError(f"RVA {rva:#x} is in no section")

    names = []
    offset = to_offset(import_rva)
    while True:
        name_rva = struct.unpack_from("<I", data, offset + 12)[0]
        if name_rva == 0:
            return names
        start = to_offset(name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii"))
        offset += 20


def main():
    path = sys.argv[1]
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    machine, section_count = struct.unpack_from("<HH", data, pe + 4)
    optional_size, characteristics = struct.unpack_from("<HH", data, pe + 20)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if machine != 0x8664 or magic != 0x20B:
        sys.exit(f"{path}: not an x64 PE32+ file")
    dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
    directories = optional + 112
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
    reloc_rva, reloc_size = struct.unpack_from("<II", data, directories + 5 * 8)
    sections = []
    section_names = []
    for i in range(section_count):
        header = optional + optional_size + 40 * i
        section_names.append(data[header:header + 8].rstrip(b"\0").decode("ascii", "replace"))
        virtual_size, virtual, raw_size, raw = struct.unpack_from("<IIII", data, header + 8)
        sections.append((virtual, max(virtual_size, raw_size), raw))

    failures = []
    # Long section names (/4, /19, ...) live in the symbol table's string
    # table; a stripped image has neither.
    time_stamp, symbol_table, symbol_count = struct.unpack_from("<III", data, pe + 8)
    debug = [name for name in section_names
             if name.startswith((".debug", ".stab", ".zdebug")) or name.startswith("/")]
    print("sections: " + ", ".join(section_names))
    if debug or symbol_table or symbol_count:
        failures.append(f"debug information ({', '.join(debug) or 'symbol table'})")
    if time_stamp:
        failures.append(f"a time stamp in its header ({time_stamp:#x}), so no two builds are alike")
    for flag, name in ((DYNAMIC_BASE, "ASLR (DYNAMIC_BASE)"),
                       (HIGH_ENTROPY_VA, "high-entropy ASLR (HIGH_ENTROPY_VA)"),
                       (NX_COMPAT, "DEP (NX_COMPAT)")):
        state = "on" if dll_characteristics & flag else "OFF"
        print(f"{name}: {state}")
        if not dll_characteristics & flag:
            failures.append(name)
    if characteristics & RELOCS_STRIPPED or reloc_size == 0:
        failures.append("relocations (needed to move the image)")
    print(f"relocations: {reloc_size} bytes")
    dlls = imports(data, sections, import_rva)
    print("imports: " + ", ".join(dlls))
    for dll in dlls:
        if dll.lower() not in KNOWN_DLLS:
            failures.append(f"imports {dll}, which is not a KnownDLL")
    if failures:
        sys.exit(f"{path}: " + "; ".join(failures))
    print(f"{path}: ok")


if __name__ == "__main__":
    main()
