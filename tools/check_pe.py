#!/usr/bin/env python3
"""Checks that a built Kestrow.exe will load and look right on Windows 98 SE.

Reads the PE file and checks, printing one line per finding:

  size      the file size; more than --max-size bytes (8 KiB) fails, more
            than the goal of 7 KiB is noted.
  headers   (32-bit images) machine i386, GUI subsystem, subsystem and OS
            version 4.0, image base at or above 4 MiB, no ASLR or DEP flags,
            no time stamp in the file header or the debug directory.
  layout    (32-bit images) what Windows 9x's loader needs of the file: a
            section alignment of 4096, a file alignment that is a power of
            two and at least 512, SizeOfHeaders a multiple of it, and every
            section on a 4 KiB page with its raw data at a multiple of the
            file alignment and a multiple of 512 bytes long; the sections
            are listed with their sizes. The import address tables lie in a
            writable section: the loader writes the resolved addresses
            there, and Kestrow does not count on every loader to lift a
            read-only page's protection for it.
  start-up  (32-bit images) no TLS directory and no .eh_frame section: the
            program starts from its own entry point, without the C
            runtime's start-up code, which brings both (Windows 9x does not
            run TLS callbacks, and a program built without exceptions never
            reads unwind tables).
  imports   every imported DLL is KERNEL32, USER32 or ADVAPI32: no C runtime
            DLL (msvcrt.dll is missing from the first Windows 95 releases
            and from Windows NT 3.51, whose loader would refuse the program
            before it could show anything); an image that imports nothing
            fails too. Every function is imported by name and, in 32-bit
            images, is exported by that DLL on Windows 98 SE (the lists in
            tools/win98-exports/); the number of imported functions is
            printed.
  version   the version resource is exactly Kestrow's version block, in
            Chinese (Traditional, Taiwan).
  strings   there is no string 0xE000 (it would replace the application
            title, which must be the executable's own name).
  icon      an icon group exists and every icon it names is present.

64-bit images (the twin built for the Wine tests) are refused unless
--arch-any is given; with it they get the imports DLL rule, the version,
strings and icon checks, and their size is printed but not judged.

Exit code 0 when every check passes, 1 when any fails (including a missing
or malformed file).

    python3 tools/check_pe.py [--arch-any] [--exports DIR] [--max-size BYTES] FILE
"""

import argparse
import os
import struct
import sys

DEFAULT_EXPORTS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "win98-exports")
DEFAULT_MAX_SIZE = 8 * 1024
SIZE_GOAL = 7 * 1024

ALLOWED_DLLS = ("KERNEL32.dll", "USER32.dll", "ADVAPI32.dll")
# C runtime DLLs, named as such when imported: msvcrt.dll and its numbered
# versions, the older crtdll.dll, the Universal CRT and its API sets, and the
# MinGW runtime DLLs.
C_RUNTIME_DLL_PREFIXES = ("msvcr", "msvcp", "crtdll", "ucrtbase", "api-ms-win-crt-", "libgcc",
                          "libstdc++", "libwinpthread", "vcruntime")

MACHINE_I386 = 0x014C
PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_WINDOWS_GUI = 2
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100
# Windows 95 and 98 keep the address space below 4 MiB for themselves; an
# executable based lower cannot be placed where it asks to be.
LOWEST_WIN9X_IMAGE_BASE = 0x00400000
# Windows 9x loads only images whose sections lie on 4 KiB pages, and reads
# their raw data in 512-byte blocks.
WIN9X_SECTION_ALIGNMENT = 0x1000
WIN9X_FILE_BLOCK = 0x200
SCN_MEM_WRITE = 0x80000000

DIR_IMPORT, DIR_RESOURCE, DIR_DEBUG, DIR_TLS, DIR_DELAY_IMPORT = 1, 2, 6, 9, 13
# The unwind tables' section; a stripped image keeps only the first eight
# characters of a section name.
EH_FRAME_SECTION = ".eh_frame"

RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION = 3, 6, 14, 16

EXPECTED_LANGUAGE = 0x0404             # Chinese (Traditional, Taiwan)
EXPECTED_CODE_PAGE = 1200              # UTF-16
EXPECTED_VERSION = (1, 0, 0, 1)
EXPECTED_STRING_TABLE = "040404B0"
EXPECTED_STRINGS = {
    "CompanyName": "",
    "FileDescription": "Kestrow MFC Application",
    "FileVersion": "1, 0, 0, 1",
    "InternalName": "Kestrow",
    "LegalTrademarks": "",
    "OriginalFilename": "Kestrow.EXE",
    "ProductName": "Kestrow Application",
    "ProductVersion": "1, 0, 0, 1",
}
TITLE_STRING_ID = 0xE000


class PeError(Exception):
    """The file is not a well-formed PE image; the message says where."""


# --- reading the image ---------------------------------------------------------

class PeImage:
    """The parts of a PE image that the checks look at."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header: not a Windows executable")
        pe_offset = self._u32(0x3C)
        if self._bytes(pe_offset, 4) != b"PE\0\0":
            raise PeError("no PE signature at the offset the MZ header gives")
        (self.machine, section_count, self.timestamp, symbol_table, symbol_count,
         optional_size, self.characteristics) = self._unpack("<HHIIIHH", pe_offset + 4)
        optional = pe_offset + 24
        self.magic = self._u16(optional)
        if self.magic not in (PE32_MAGIC, PE32_PLUS_MAGIC):
            raise PeError(f"unknown optional header magic 0x{self.magic:X}")
        self.is_pe32_plus = self.magic == PE32_PLUS_MAGIC
        if self.is_pe32_plus:
            self.image_base = struct.unpack_from("<Q", self._bytes(optional + 24, 8))[0]
        else:
            self.image_base = self._u32(optional + 28)
        self.section_alignment, self.file_alignment = self._unpack("<II", optional + 32)
        self.os_version = self._unpack("<HH", optional + 40)
        self.subsystem_version = self._unpack("<HH", optional + 48)
        self.size_of_headers = self._u32(optional + 60)
        self.subsystem, self.dll_characteristics = self._unpack("<HH", optional + 68)
        directory_count_at = optional + (108 if self.is_pe32_plus else 92)
        directory_count = min(self._u32(directory_count_at), 16)
        self.directories = [self._unpack("<II", directory_count_at + 4 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        self.section_flags = []
        for i in range(section_count):
            at = optional + optional_size + 40 * i
            name = self._section_name(self._bytes(at, 8).rstrip(b"\0").decode("latin-1"),
                                      symbol_table + 18 * symbol_count)
            virtual_size, virtual_address, raw_size, raw_offset = self._unpack("<IIII", at + 8)
            self.sections.append((name, virtual_address, max(virtual_size, raw_size),
                                  raw_offset, raw_size))
            self.section_flags.append(self._u32(at + 36))

    def _section_name(self, name, string_table):
        """A name longer than eight characters is written as "/" and its
        offset in the COFF string table, which follows the symbol table."""
        if not (name.startswith("/") and name[1:].isdigit()):
            return name
        at = string_table + int(name[1:])
        end = self.data.find(b"\0", at)
        if at >= len(self.data) or end < 0:
            raise PeError(f"section name {name} points past the end of the file")
        return self.data[at:end].decode("latin-1")

    # raw file access, bounds-checked
    def _bytes(self, offset, size):
        if offset < 0 or offset + size > len(self.data):
            raise PeError(f"truncated: {size} bytes at file offset 0x{offset:X} lie past the end")
        return self.data[offset:offset + size]

    def _unpack(self, layout, offset):
        return struct.unpack(layout, self._bytes(offset, struct.calcsize(layout)))

    def _u16(self, offset):
        return self._unpack("<H", offset)[0]

    def _u32(self, offset):
        return self._unpack("<I", offset)[0]

    # access by relative virtual address
    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def read(self, rva, size):
        for name, virtual_address, extent, raw_offset, raw_size in self.sections:
            if virtual_address <= rva and rva + size <= virtual_address + extent:
                start = rva - virtual_address
                stored_end = min(start + size, raw_size)
                stored = b""
                if start < raw_size:
                    if raw_offset + stored_end > len(self.data):
                        raise PeError(f"truncated: section {name} lies past the end of the file")
                    stored = self.data[raw_offset + start:raw_offset + stored_end]
                # Bytes past the raw data of a section are zero in memory.
                return stored + b"\0" * (size - len(stored))
        raise PeError(f"{size} bytes at RVA 0x{rva:X} lie outside every section")

    def section_at(self, rva):
        """The index of the section that holds the RVA, or None."""
        for index, (_, virtual_address, extent, _, _) in enumerate(self.sections):
            if virtual_address <= rva < virtual_address + extent:
                return index
        return None

    def unpack(self, layout, rva):
        return struct.unpack(layout, self.read(rva, struct.calcsize(layout)))

    def c_string(self, rva, limit=512):
        text = bytearray()
        while len(text) < limit:
            byte = self.read(rva + len(text), 1)
            if byte == b"\0":
                return text.decode("latin-1")
            text += byte
        raise PeError(f"unterminated name at RVA 0x{rva:X}")

    # tables
    def imports(self):
        """[(dll name, [function name, or None for an ordinal], [ordinals])]."""
        return [(dll, names, ordinals) for dll, names, ordinals, _ in self.import_tables()]

    def import_tables(self):
        """As imports(), each with the RVA of its import address table."""
        rva, size = self.directory(DIR_IMPORT)
        if rva == 0 or size == 0:
            return []
        thunk_size, ordinal_flag = (8, 1 << 63) if self.is_pe32_plus else (4, 1 << 31)
        dlls = []
        for index in range(4096):
            lookup, _, _, name_rva, address_table = self.unpack("<IIIII", rva + 20 * index)
            if name_rva == 0 and lookup == 0 and address_table == 0:
                return dlls
            names, ordinals = [], []
            thunk = lookup or address_table
            for position in range(65536):
                entry_layout = "<Q" if self.is_pe32_plus else "<I"
                entry = self.unpack(entry_layout, thunk + thunk_size * position)[0]
                if entry == 0:
                    break
                if entry & ordinal_flag:
                    ordinals.append(entry & 0xFFFF)
                else:
                    names.append(self.c_string((entry & 0x7FFFFFFF) + 2))
            dlls.append((self.c_string(name_rva), names, ordinals, address_table))
        raise PeError("import table is not terminated")

    def debug_timestamps(self):
        rva, size = self.directory(DIR_DEBUG)
        if rva == 0 or size == 0:
            return None
        return [self.unpack("<IIHHIIII", rva + 28 * i)[1] for i in range(size // 28)]

    def resources(self):
        """[(type, name, language, data)]; type and name are ints or strings."""
        root, size = self.directory(DIR_RESOURCE)
        if root == 0 or size == 0:
            return []
        found = []

        def entry_id(value):
            if value & 0x80000000:
                length = self.unpack("<H", root + (value & 0x7FFFFFFF))[0]
                return self.read(root + (value & 0x7FFFFFFF) + 2, 2 * length).decode("utf-16-le")
            return value

        def walk(offset, path):
            _, _, _, _, named, numbered = self.unpack("<IIHHHH", root + offset)
            for i in range(named + numbered):
                name, target = self.unpack("<II", root + offset + 16 + 8 * i)
                here = path + [entry_id(name)]
                if bool(target & 0x80000000) != (len(here) < 3):
                    raise PeError("resource directory is not three levels deep")
                if len(here) < 3:
                    walk(target & 0x7FFFFFFF, here)
                else:
                    data_rva, data_size, _, _ = self.unpack("<IIII", root + target)
                    found.append((here[0], here[1], here[2], self.read(data_rva, data_size)))

        walk(0, [])
        return found


# --- the version resource ------------------------------------------------------

class VersionNode:
    def __init__(self, key, value_type, value, children):
        self.key, self.value_type, self.value, self.children = key, value_type, value, children

    def text(self):
        return self.value.decode("utf-16-le").rstrip("\0")


def _align4(offset):
    return (offset + 3) & ~3


def parse_version_node(data, offset, limit):
    """One node of a version resource (VS_VERSIONINFO, StringFileInfo, String...)."""
    if offset + 6 > limit:
        raise PeError(f"version resource: node at offset {offset} is cut off")
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    if length < 6 or end > limit:
        raise PeError(f"version resource: node at offset {offset} has a bad length {length}")
    key_end = offset + 6
    while True:
        if key_end + 2 > end:
            raise PeError(f"version resource: unterminated key at offset {offset}")
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_start = _align4(key_end + 2)
    value_size = value_length * 2 if value_type == 1 else value_length
    if value_start + value_size > end:
        raise PeError(f"version resource: the value of \"{key}\" runs past its node")
    value = data[value_start:value_start + value_size]
    children = []
    child = _align4(value_start + value_size)
    while child + 6 <= end:
        node_length = struct.unpack_from("<H", data, child)[0]
        children.append(parse_version_node(data, child, end))
        child = _align4(child + node_length)
    return VersionNode(key, value_type, value, children)


def _version_text(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def check_version_block(data, report):
    """Checks the bytes of the version resource against Kestrow's block."""
    root = parse_version_node(data, 0, len(data))
    if root.key != "VS_VERSION_INFO" or len(root.value) != 52:
        raise PeError("version resource: no VS_VERSION_INFO with fixed file information")
    fixed = struct.unpack("<13I", root.value)
    if fixed[0] != 0xFEEF04BD:
        raise PeError("version resource: bad VS_FIXEDFILEINFO signature")
    expected = ".".join(str(part) for part in EXPECTED_VERSION)
    for label, ms, ls in (("file", fixed[2], fixed[3]), ("product", fixed[4], fixed[5])):
        actual = _version_text(ms, ls)
        report.result(actual == expected, f"fixed {label} version {actual}"
                      + ("" if actual == expected else f", expected {expected}"))

    string_infos = [c for c in root.children if c.key == "StringFileInfo"]
    var_infos = [c for c in root.children if c.key == "VarFileInfo"]
    others = [c.key for c in root.children if c.key not in ("StringFileInfo", "VarFileInfo")]
    if others:
        report.fail(f"unexpected version blocks: {', '.join(others)}")
    tables = [table for info in string_infos for table in info.children]
    keys = [table.key for table in tables]
    if len(string_infos) != 1 or len(keys) != 1 or keys[0].upper() != EXPECTED_STRING_TABLE:
        report.fail(f"string tables {keys or 'none'}: expected exactly one, "
                    f"\"{EXPECTED_STRING_TABLE}\"")
    for table in tables:
        if table.key.upper() != EXPECTED_STRING_TABLE:
            continue
        check_version_strings(table, report)

    translations = []
    for info in var_infos:
        for var in info.children:
            if var.key == "Translation" and len(var.value) % 4 == 0:
                translations += [struct.unpack_from("<HH", var.value, i)
                                 for i in range(0, len(var.value), 4)]
    shown = ", ".join(f"0x{lang:04X}/{code_page}" for lang, code_page in translations) or "none"
    wanted = [(EXPECTED_LANGUAGE, EXPECTED_CODE_PAGE)]
    report.result(len(var_infos) == 1 and translations == wanted,
                  f"translation {shown}" + ("" if translations == wanted else
                                            f", expected 0x{EXPECTED_LANGUAGE:04X}/"
                                            f"{EXPECTED_CODE_PAGE}"))


def check_version_strings(table, report):
    seen = {}
    for string in table.children:
        if string.key in seen:
            report.fail(f"version string \"{string.key}\" appears twice")
        seen[string.key] = string.text()
    wrong = False
    for key, expected in EXPECTED_STRINGS.items():
        if key not in seen:
            report.fail(f"version string \"{key}\" is missing (expected \"{expected}\")")
            wrong = True
        elif seen[key] != expected:
            report.fail(f"version string \"{key}\" is \"{seen[key]}\", expected \"{expected}\"")
            wrong = True
    for key in seen:
        if key not in EXPECTED_STRINGS:
            report.fail(f"unexpected version string \"{key}\" = \"{seen[key]}\"")
            wrong = True
    if not wrong:
        report.ok(f"string table \"{table.key}\" holds exactly the {len(EXPECTED_STRINGS)} "
                  "expected strings")


# --- checks ----------------------------------------------------------------------

class Report:
    """Prints findings as they come and counts the failures."""

    def __init__(self, stream=sys.stdout):
        self.stream = stream
        self.failures = 0
        self.section = ""

    def start(self, section):
        self.section = section

    def _line(self, tag, message):
        print(f"{tag:<5} {self.section:<8} {message}", file=self.stream)

    def ok(self, message):
        self._line("ok", message)

    def fail(self, message):
        self.failures += 1
        self._line("FAIL", message)

    def note(self, message):
        self._line("note", message)

    def result(self, passed, message):
        (self.ok if passed else self.fail)(message)


def check_size(size, max_size, judged, report):
    report.start("size")
    message = f"{size} bytes ({size / 1024:.1f} KiB)"
    if not judged:
        report.note(message + "; not judged for a 64-bit image")
    elif size > max_size:
        report.fail(message + f", more than the limit of {max_size} bytes")
    else:
        report.ok(message + f", within {max_size} bytes")
        if size > SIZE_GOAL:
            report.note(f"more than the goal of {SIZE_GOAL // 1024} KiB: look at what made "
                        "it grow")


def check_headers(image, report):
    report.start("headers")
    report.result(image.machine == MACHINE_I386, f"machine 0x{image.machine:04X}"
                  + (" (i386)" if image.machine == MACHINE_I386 else ", expected 0x014C (i386)"))
    report.result(image.subsystem == SUBSYSTEM_WINDOWS_GUI, f"subsystem {image.subsystem}"
                  + (" (Windows GUI)" if image.subsystem == SUBSYSTEM_WINDOWS_GUI
                     else ", expected 2 (Windows GUI)"))
    for label, version in (("subsystem version", image.subsystem_version),
                           ("OS version", image.os_version)):
        text = "%d.%d" % version
        if version == (4, 0):
            report.ok(f"{label} {text}")
        elif label == "subsystem version" and version >= (5, 0):
            report.fail(f"{label} {text}, expected 4.0: Windows 98 refuses to start it")
        else:
            report.fail(f"{label} {text}, expected 4.0")
    report.result(image.image_base >= LOWEST_WIN9X_IMAGE_BASE,
                  f"image base 0x{image.image_base:08X}" + (
                      "" if image.image_base >= LOWEST_WIN9X_IMAGE_BASE
                      else ", below 0x00400000, which Windows 9x keeps for itself"))
    flags = image.dll_characteristics
    bad = [name for bit, name in ((DLLCHAR_DYNAMIC_BASE, "DYNAMIC_BASE"),
                                  (DLLCHAR_NX_COMPAT, "NX_COMPAT")) if flags & bit]
    report.result(not bad, f"DllCharacteristics 0x{flags:04X}"
                  + (f" sets {' and '.join(bad)}" if bad else " without DYNAMIC_BASE or NX_COMPAT"))
    report.result(image.timestamp == 0, f"file header time stamp 0x{image.timestamp:08X}"
                  + ("" if image.timestamp == 0 else ", expected 0 for a reproducible build"))
    stamps = image.debug_timestamps()
    if stamps is None:
        report.ok("no debug directory")
    else:
        stamped = [stamp for stamp in stamps if stamp]
        entries = _count(len(stamps), "entry", "entries")
        report.result(not stamped, f"debug directory with {entries}, "
                      + (f"{len(stamped)} of them time-stamped" if stamped
                         else "none time-stamped"))


def check_layout(image, report):
    report.start("layout")
    section_alignment, file_alignment = image.section_alignment, image.file_alignment
    report.result(section_alignment == WIN9X_SECTION_ALIGNMENT,
                  f"section alignment {section_alignment}" + (
                      "" if section_alignment == WIN9X_SECTION_ALIGNMENT
                      else f", expected {WIN9X_SECTION_ALIGNMENT}: Windows 9x loads nothing else"))
    power_of_two = file_alignment > 0 and file_alignment & (file_alignment - 1) == 0
    file_alignment_ok = power_of_two and WIN9X_FILE_BLOCK <= file_alignment <= section_alignment
    report.result(file_alignment_ok, f"file alignment {file_alignment}" + (
        "" if file_alignment_ok else f", expected a power of two from {WIN9X_FILE_BLOCK} to "
                                     "the section alignment"))
    unit = file_alignment if file_alignment_ok else WIN9X_FILE_BLOCK
    headers = image.size_of_headers
    report.result(headers % unit == 0, f"SizeOfHeaders {headers}" + (
        f", a multiple of {unit}" if headers % unit == 0 else f", not a multiple of {unit}"))
    shown = []
    for (name, virtual_address, _, raw_offset, raw_size), flags in zip(image.sections,
                                                                       image.section_flags):
        problems = []
        if virtual_address % WIN9X_SECTION_ALIGNMENT:
            problems.append(f"at RVA 0x{virtual_address:X}, not on a 4 KiB page")
        if raw_size % unit or raw_size % WIN9X_FILE_BLOCK:
            problems.append(f"raw size {raw_size}, not a multiple of {max(unit, WIN9X_FILE_BLOCK)}")
        if raw_size and raw_offset % unit:
            problems.append(f"raw data at 0x{raw_offset:X}, not a multiple of {unit}")
        for problem in problems:
            report.fail(f"section {name}: {problem}")
        shown.append(f"{name} {raw_size}" + (" writable" if flags & SCN_MEM_WRITE else ""))
    report.note(f"{_count(len(image.sections), 'section')}, raw bytes: {', '.join(shown)}")
    tables = image.import_tables()
    read_only = []
    for dll, _, _, address_table in tables:
        index = image.section_at(address_table)
        if index is None or not image.section_flags[index] & SCN_MEM_WRITE:
            where = "outside every section" if index is None else \
                f"in the read-only section {image.sections[index][0]}"
            read_only.append(f"{dll} (RVA 0x{address_table:X}, {where})")
    if read_only:
        report.fail(f"import address tables of {', '.join(read_only)}: the loader writes them")
    elif tables:
        report.ok("import address tables in a writable section")


def check_start_up(image, report):
    report.start("start-up")
    tls_rva, tls_size = image.directory(DIR_TLS)
    report.result(not (tls_rva and tls_size), "no TLS directory" if not (tls_rva and tls_size)
                  else "TLS directory present: the C runtime's start-up code or thread-local "
                  "data came in (Windows 9x runs no TLS callbacks)")
    unwind = [name for name, *_ in image.sections
              if name == EH_FRAME_SECTION or name == EH_FRAME_SECTION[:8]]
    report.result(not unwind, "no .eh_frame section" if not unwind
                  else f"section {unwind[0]} present: unwind tables that a program without "
                  "exceptions never reads (built without -fno-asynchronous-unwind-tables, or "
                  "start-up code linked in)")


def read_export_list(path):
    names = set()
    with open(path, encoding="utf-8") as stream:
        for line in stream:
            line = line.strip()
            if line and not line.startswith("#"):
                names.add(line.split()[0])
    return names


def read_stub_notes(path):
    notes = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as stream:
            for line in stream:
                if line.strip() and not line.startswith("#"):
                    name, _, note = line.partition("#")
                    notes[name.strip()] = note.strip()
    return notes


def check_imports(image, exports_dir, check_names, report):
    report.start("imports")
    delay_rva, delay_size = image.directory(DIR_DELAY_IMPORT)
    if delay_rva and delay_size:
        report.fail("delay-load import table present: its DLLs and functions are not vetted")
    dlls = image.imports()
    if not dlls:
        report.fail("no imported DLLs: no import directory, or an empty one (a program that "
                    "cannot call Windows; was the import table left out of the link?)")
    else:
        functions = sum(len(names) + len(ordinals) for _, names, ordinals in dlls)
        report.note(f"{_count(functions, 'function')} imported from {_count(len(dlls), 'DLL')}")
    allowed = {name.lower(): name for name in ALLOWED_DLLS}
    for dll, names, ordinals in dlls:
        if dll.lower() not in allowed:
            functions = _count(len(names) + len(ordinals), "function")
            kind = ""
            if dll.lower().startswith(C_RUNTIME_DLL_PREFIXES):
                kind = (", a C runtime DLL: the first Windows 95 releases and Windows NT 3.51 "
                        "have no msvcrt.dll, and their loader refuses the program before it "
                        "can show anything")
            report.fail(f"{dll} is imported ({functions}){kind}; only "
                        f"{', '.join(ALLOWED_DLLS)} may be")
            continue
        for ordinal in ordinals:
            report.fail(f"{dll} is imported by ordinal {ordinal}: ordinals differ between "
                        "Windows versions, import by name")
        if not check_names:
            report.ok(f"{dll}: {_count(len(names), 'function')} by name (not checked against "
                      "Windows 98 for a 64-bit image)")
            continue
        stem = dll.lower().rsplit(".", 1)[0]
        list_path = os.path.join(exports_dir, f"{stem}_win98se.txt")
        try:
            exported = read_export_list(list_path)
        except OSError as error:
            report.fail(f"{dll}: cannot read the Windows 98 SE export list {list_path}: "
                        f"{error.strerror}")
            continue
        missing = [name for name in names if name not in exported]
        for name in missing:
            report.fail(f"{dll}!{name} is not exported by Windows 98 SE "
                        f"(not in {os.path.basename(list_path)})")
        if not missing:
            report.ok(f"{dll}: {_count(len(names), 'function')}, all exported by Windows 98 SE")
        stubs = read_stub_notes(os.path.join(exports_dir, f"{stem}_win98_stubs_notes.txt"))
        for name in names:
            if name in stubs:
                report.note(f"{dll}!{name} is exported by Windows 98 but is a stub or behaves "
                            f"differently there: {stubs[name]}")


def _count(number, singular, plural=None):
    return f"{number} {singular if number == 1 else plural or singular + 's'}"


def _describe(value):
    return f"0x{value:X}" if isinstance(value, int) else f"\"{value}\""


def check_resources(image, report):
    resources = image.resources()

    report.start("version")
    versions = [r for r in resources if r[0] == RT_VERSION]
    if len(versions) != 1:
        report.fail(f"{len(versions)} version resources, expected exactly one")
    for _, name, language, data in versions:
        report.result(language == EXPECTED_LANGUAGE, f"version resource {_describe(name)}, "
                      f"language 0x{language:04X}" + (
                          "" if language == EXPECTED_LANGUAGE
                          else f", expected 0x{EXPECTED_LANGUAGE:04X}"))
        try:
            check_version_block(data, report)
        except PeError as error:
            report.fail(str(error))

    report.start("strings")
    blocks = [r for r in resources if r[0] == RT_STRING]
    title_block = (TITLE_STRING_ID >> 4) + 1
    title = ""
    for _, name, language, data in blocks:
        if name == title_block and len(data) >= 2:
            length = struct.unpack_from("<H", data, 0)[0]
            title = data[2:2 + 2 * length].decode("utf-16-le", "replace")
            if title:
                report.fail(f"string 0x{TITLE_STRING_ID:X} exists (\"{title}\", language "
                            f"0x{language:04X}); it would replace the executable's name as "
                            "the application title")
    if not title:
        report.ok(f"no string 0x{TITLE_STRING_ID:X}")
    if blocks:
        report.note(f"string table blocks present: "
                    f"{', '.join(_describe(name) for _, name, _, _ in blocks)}")

    report.start("icon")
    groups = [r for r in resources if r[0] == RT_GROUP_ICON]
    icons = {name for kind, name, _, _ in resources if kind == RT_ICON}
    if not groups:
        report.fail("no icon group: Explorer would show a generic program icon")
    for _, name, language, data in groups:
        if len(data) < 6:
            report.fail(f"icon group {_describe(name)} is cut off")
            continue
        count = struct.unpack_from("<H", data, 4)[0]
        members = []
        for i in range(count):
            if 6 + 14 * i + 14 > len(data):
                report.fail(f"icon group {_describe(name)} is cut off")
                break
            width, height, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", data,
                                                                           6 + 14 * i)
            members.append((width or 256, height or 256, bits, icon_id))
        absent = [icon_id for _, _, _, icon_id in members if icon_id not in icons]
        shown = ", ".join(f"{w}x{h} {b}-bit" for w, h, b, _ in members) or "no images"
        report.result(members and not absent, f"icon group {_describe(name)} "
                      f"(language 0x{language:04X}): {shown}"
                      + (f"; icons {absent} are missing" if absent else ""))


def check_file(path, arch_any=False, exports_dir=DEFAULT_EXPORTS_DIR,
               max_size=DEFAULT_MAX_SIZE, report=None):
    """Runs every check on the file at path; returns the number of failures."""
    report = report or Report()
    report.start("file")
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except FileNotFoundError:
        report.fail(f"{path} does not exist: build it first "
                    "(cmake --preset win32 && cmake --build --preset win32)")
        return report.failures
    except OSError as error:
        report.fail(f"cannot read {path}: {error.strerror}")
        return report.failures
    try:
        image = PeImage(data)
        kind = "PE32+ (64-bit)" if image.is_pe32_plus else "PE32 (32-bit)"
        if image.is_pe32_plus and not arch_any:
            report.fail(f"{path} is a {kind} image; the Windows 98 rules are for the 32-bit "
                        "build (use --arch-any to check a 64-bit twin)")
            return report.failures
        report.ok(f"{path}: {kind}")
    except PeError as error:
        report.fail(f"{path}: {error}")
        return report.failures
    strict = not image.is_pe32_plus
    check_size(len(data), max_size, strict, report)
    checks = [lambda: check_imports(image, exports_dir, strict, report),
              lambda: check_resources(image, report)]
    if strict:
        checks[0:0] = [lambda: check_headers(image, report),
                       lambda: check_layout(image, report),
                       lambda: check_start_up(image, report)]
    for check in checks:
        # A damaged table stops only the check that reads it.
        try:
            check()
        except PeError as error:
            report.fail(str(error))
    return report.failures


def main(argv):
    parser = argparse.ArgumentParser(
        description="Checks that a built Kestrow.exe suits Windows 98 SE.")
    parser.add_argument("file", help="the executable to check")
    parser.add_argument("--arch-any", action="store_true",
                        help="also accept a 64-bit image (the Wine twin), with the checks "
                             "that do not depend on the architecture")
    parser.add_argument("--exports", default=DEFAULT_EXPORTS_DIR, metavar="DIR",
                        help="folder of the Windows 98 SE export lists (default: %(default)s)")
    parser.add_argument("--max-size", type=int, default=DEFAULT_MAX_SIZE, metavar="BYTES",
                        help="largest acceptable file size (default: %(default)s)")
    args = parser.parse_args(argv)
    failures = check_file(args.file, args.arch_any, args.exports, args.max_size)
    name = os.path.basename(args.file)
    if failures:
        print(f"check_pe: {name}: {_count(failures, 'check')} FAILED")
        return 1
    print(f"check_pe: {name}: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
