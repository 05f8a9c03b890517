"""Tests of tools/check_pe.py.

Most cases build a small PE image in memory: a good one that passes every
check, and variants that each break one rule. A few cases link real programs
with the MinGW-w64 compilers, so the checker is also tried on what the linker
and the resource compiler actually write, including resources/kestrow.rc.

    python3 -m unittest discover -s tests/pe -p 'check_pe_test.py'
"""

import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree

import check_pe  # noqa: E402  (found through the path set above)

RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION = 3, 6, 14, 16

KESTROW_STRINGS = [
    ("CompanyName", ""),
    ("FileDescription", "Kestrow MFC Application"),
    ("FileVersion", "1, 0, 0, 1"),
    ("InternalName", "Kestrow"),
    ("LegalTrademarks", ""),
    ("OriginalFilename", "Kestrow.EXE"),
    ("ProductName", "Kestrow Application"),
    ("ProductVersion", "1, 0, 0, 1"),
]


# --- fixtures: a version block, resources and a whole PE image -----------------

def _pad4(blob):
    blob += b"\0" * (-len(blob) % 4)


def version_node(key, value=b"", value_type=0, children=()):
    node = bytearray(6) + key.encode("utf-16-le") + b"\0\0"
    _pad4(node)
    node += value
    for child in children:
        _pad4(node)
        node += child
    value_length = len(value) // 2 if value_type == 1 else len(value)
    struct.pack_into("<HHH", node, 0, len(node), value_length, value_type)
    return bytes(node)


def version_block(file_version=(1, 0, 0, 1), product_version=(1, 0, 0, 1),
                  table_key="040404b0", strings=KESTROW_STRINGS, translation=((0x0404, 1200),)):
    def split(version):
        return (version[0] << 16 | version[1], version[2] << 16 | version[3])

    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, *split(file_version),
                        *split(product_version), 0x3F, 0, 4, 1, 0, 0, 0)
    texts = [version_node(key, text.encode("utf-16-le") + b"\0\0", 1) for key, text in strings]
    table = version_node(table_key, children=texts, value_type=1)
    translations = b"".join(struct.pack("<HH", *pair) for pair in translation)
    var = version_node("VarFileInfo", value_type=1,
                       children=[version_node("Translation", translations)])
    return version_node("VS_VERSION_INFO", fixed,
                        children=[version_node("StringFileInfo", value_type=1,
                                               children=[table]), var])


def string_block(strings):
    """An RT_STRING block: 16 counted UTF-16 strings, missing ones empty."""
    strings = list(strings) + [""] * (16 - len(strings))
    return b"".join(struct.pack("<H", len(s)) + s.encode("utf-16-le") for s in strings)


def icon_group(icon_ids):
    entries = b"".join(struct.pack("<BBBBHHIH", 32, 32, 16, 0, 1, 4, 744, icon_id)
                       for icon_id in icon_ids)
    return struct.pack("<HHH", 0, 1, len(icon_ids)) + entries


def kestrow_resources(version=None, language=0x0404):
    return [
        (RT_ICON, 1, language, b"\0" * 744),
        (RT_ICON, 2, language, b"\0" * 296),
        (RT_GROUP_ICON, 128, language, icon_group([1, 2])),
        (RT_VERSION, 1, language, version or version_block()),
    ]


def resource_section(base_rva, resources):
    """A .rsrc section: the three-level directory (type, name, language)."""
    tree = {}
    for kind, name, language, data in resources:
        tree.setdefault(kind, {}).setdefault(name, {})[language] = data
    tables = []  # [(offset, [(id, child)])], child a table index or a data index
    datas = []

    def add_table(items):
        tables.append([None, []])
        index = len(tables) - 1
        for key in sorted(items):
            if isinstance(items[key], dict):
                tables[index][1].append((key, ("table", add_table(items[key]))))
            else:
                datas.append(items[key])
                tables[index][1].append((key, ("data", len(datas) - 1)))
        return index

    add_table(tree)
    offset = 0
    for table in tables:
        table[0] = offset
        offset += 16 + 8 * len(table[1])
    entries_at = offset
    data_at = entries_at + 16 * len(datas)
    section = bytearray(data_at)
    for table_offset, children in tables:
        struct.pack_into("<IIHHHH", section, table_offset, 0, 0, 0, 0, 0, len(children))
        for i, (key, (kind, index)) in enumerate(children):
            target = (tables[index][0] | 0x80000000) if kind == "table" \
                else entries_at + 16 * index
            struct.pack_into("<II", section, table_offset + 16 + 8 * i, key, target)
    for index, data in enumerate(datas):
        _pad4(section)
        struct.pack_into("<IIII", section, entries_at + 16 * index,
                         base_rva + len(section), len(data), 0, 0)
        section += data
    return bytes(section)


def import_section(base_rva, imports, pe32_plus, debug_stamps):
    """An .idata section: import descriptors, lookup and address tables, names,
    and a debug directory when debug_stamps is given. Returns the section and
    the (RVA, size) of the import and debug directories."""
    section = bytearray()

    def place(data):
        _pad4(section)
        rva = base_rva + len(section)
        section.extend(data)
        return rva

    thunk_layout, ordinal_flag = ("<Q", 1 << 63) if pe32_plus else ("<I", 1 << 31)
    descriptors = b""
    for dll, functions in imports.items():
        thunks = []
        for function in functions:
            if isinstance(function, int):
                thunks.append(ordinal_flag | function)
            else:
                thunks.append(place(struct.pack("<H", 0) + function.encode() + b"\0"))
        table = b"".join(struct.pack(thunk_layout, thunk) for thunk in thunks + [0])
        lookup, address = place(table), place(table)
        descriptors += struct.pack("<IIIII", lookup, 0, 0, place(dll.encode() + b"\0"), address)
    import_directory = (place(descriptors + b"\0" * 20), 20 * (len(imports) + 1))
    debug_directory = (0, 0)
    if debug_stamps is not None:
        entries = b"".join(struct.pack("<IIHHIIII", 0, stamp, 0, 0, 2, 0, 0, 0)
                           for stamp in debug_stamps)
        debug_directory = (place(entries), len(entries))
    return bytes(section), import_directory, debug_directory


def build_pe(pe32_plus=False, machine=None, timestamp=0, subsystem=2, subsystem_version=(4, 0),
             os_version=(4, 0), dll_characteristics=0, image_base=0x400000,
             imports=None, resources=None, debug_stamps=None, delay_imports=False,
             tls_directory=False, extra_sections=(), overlay=0, section_alignment=0x1000,
             file_alignment=0x200, headers_size=0x200, idata_flags=0xC0000040,
             last_raw_size_extra=0):
    """A PE image holding only headers, an import section, a resource
    section and any extra_sections (empty, by name; a name longer than eight
    characters goes to a COFF string table, as an unstripped linker output
    has it): enough for every check, never meant to run. The file is laid
    out in 512-byte blocks and 4 KiB pages whatever the alignments the
    headers state; last_raw_size_extra makes the last section's raw size that
    many bytes more than a whole number of blocks."""
    if imports is None:
        imports = {"KERNEL32.dll": ["GetVersion", "ExitProcess"], "USER32.dll": ["MessageBoxA"],
                   "ADVAPI32.dll": ["RegOpenKeyExA"]}
    if resources is None:
        resources = kestrow_resources()
    if machine is None:
        machine = 0x8664 if pe32_plus else 0x014C

    idata_rva = 0x1000
    idata, import_directory, debug_directory = import_section(idata_rva, imports, pe32_plus,
                                                              debug_stamps)
    rsrc_rva = idata_rva + (len(idata) + 0xFFF) // 0x1000 * 0x1000
    rsrc = resource_section(rsrc_rva, resources)
    image_size = rsrc_rva + (len(rsrc) + 0xFFF) // 0x1000 * 0x1000

    optional_size = 240 if pe32_plus else 224
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x20B if pe32_plus else 0x10B)
    if pe32_plus:
        struct.pack_into("<Q", optional, 24, image_base)
    else:
        struct.pack_into("<I", optional, 28, image_base)
    struct.pack_into("<II", optional, 32, section_alignment, file_alignment)
    struct.pack_into("<HH", optional, 40, *os_version)
    struct.pack_into("<HH", optional, 48, *subsystem_version)
    struct.pack_into("<II", optional, 56, image_size, headers_size)
    struct.pack_into("<HH", optional, 68, subsystem, dll_characteristics)
    directories_at = 108 if pe32_plus else 92
    struct.pack_into("<I", optional, directories_at, 16)
    directories = {1: import_directory, 2: (rsrc_rva, len(rsrc)), 6: debug_directory}
    if delay_imports:  # only the directory entry: the checker refuses any such table
        directories[13] = (idata_rva, 32)
    if tls_directory:  # likewise
        directories[9] = (idata_rva, 24)
    for index, (rva, size) in directories.items():
        struct.pack_into("<II", optional, directories_at + 4 + 8 * index, rva, size)

    sections = [(b".idata", idata_rva, idata, idata_flags), (b".rsrc", rsrc_rva, rsrc, 0xC0000040)]
    string_table = b""
    for name in extra_sections:
        if len(name) > 8:
            string_table += name.encode() + b"\0"
            name = "/%d" % (4 + len(string_table) - len(name) - 1)
        sections.append((name.encode(), image_size, b"\0" * 16, 0xC0000040))
        image_size += 0x1000
    struct.pack_into("<I", optional, 56, image_size)

    raw_offset = 0x200
    bodies = b""
    section_headers = b""
    for index, (name, rva, body, flags) in enumerate(sections):
        raw_size = (len(body) + 0x1FF) // 0x200 * 0x200
        if index == len(sections) - 1:
            raw_size += last_raw_size_extra
        section_headers += struct.pack("<8sIIIIIIHHI", name, len(body), rva, raw_size,
                                       raw_offset, 0, 0, 0, 0, flags)
        bodies += body + b"\0" * (raw_size - len(body))
        raw_offset += raw_size
    # No symbols, only the string table that follows them.
    symbol_table = raw_offset if string_table else 0
    coff_strings = struct.pack("<I", 4 + len(string_table)) + string_table if string_table else b""

    headers = bytearray(0x40)
    headers[:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x40)
    headers += b"PE\0\0" + struct.pack("<HHIIIHH", machine, len(sections), timestamp,
                                       symbol_table, 0, optional_size, 0x0102)
    headers += optional + section_headers
    headers += b"\0" * (0x200 - len(headers))
    return bytes(headers) + bodies + coff_strings + b"\0" * overlay


def run_checker(image, **options):
    """Writes the image to a temporary file and checks it; returns
    (number of failures, the FAIL lines, the whole output)."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "Kestrow.exe")
        with open(path, "wb") as stream:
            stream.write(image)
        output = io.StringIO()
        failures = check_pe.check_file(path, report=check_pe.Report(output), **options)
    text = output.getvalue()
    return failures, [line for line in text.splitlines() if line.startswith("FAIL")], text


# --- cases --------------------------------------------------------------------

def with_version(**changes):
    return kestrow_resources(version_block(**changes))


def without(kind):
    return [r for r in kestrow_resources() if r[0] != kind]


def with_strings(changes):
    strings = [(key, changes.get(key, text)) for key, text in KESTROW_STRINGS
               if changes.get(key, text) is not None]
    return with_version(strings=strings)


# (what, build_pe arguments, check_file arguments, text every FAIL line must
# together contain, or None when the image must pass)
CASES = [
    ("the good image", {}, {}, None),
    ("DLL names in other case", {"imports": {"kernel32.DLL": ["GetVersion"]}}, {}, None),
    ("string table key in upper case", {"resources": with_version(table_key="040404B0")},
     {}, None),
    ("debug directory without time stamp", {"debug_stamps": [0]}, {}, None),
    ("size between the 7 KiB goal and the 8 KiB limit", {"overlay": 5 * 1024}, {}, None),
    ("other sections, one with a long name", {"extra_sections": (".text", ".rdata", ".gnu_debuglink")},
     {}, None),

    # imports
    ("a DLL other than the three", {"imports": {"SHELL32.dll": ["ShellExecuteA"]}}, {},
     "SHELL32.dll is imported"),
    ("the C runtime DLL", {"imports": {"KERNEL32.dll": ["ExitProcess"], "msvcrt.dll": ["exit"]}},
     {}, "msvcrt.dll is imported (1 function), a C runtime DLL"),
    ("the older C runtime DLL", {"imports": {"CRTDLL.DLL": ["exit"]}}, {},
     "CRTDLL.DLL is imported (1 function), a C runtime DLL"),
    ("the Universal CRT", {"imports": {"api-ms-win-crt-runtime-l1-1-0.dll": ["exit"]}}, {},
     "a C runtime DLL"),
    ("no imports at all", {"imports": {}}, {}, "no imported DLLs"),
    ("a Windows 2000 function", {"imports": {"KERNEL32.dll": ["GetVersion", "GetFileSizeEx"]}},
     {}, "KERNEL32.dll!GetFileSizeEx is not exported by Windows 98 SE"),
    ("a Windows 2000 function of USER32", {"imports": {"USER32.dll": ["AllowSetForegroundWindow"]}},
     {}, "USER32.dll!AllowSetForegroundWindow"),
    ("names are case-sensitive", {"imports": {"KERNEL32.dll": ["getversion"]}}, {},
     "KERNEL32.dll!getversion"),
    ("an import by ordinal", {"imports": {"KERNEL32.dll": [17]}}, {}, "by ordinal 17"),
    ("a delay-load import table", {"delay_imports": True}, {}, "delay-load import table"),

    # headers of the 32-bit image
    ("subsystem version 5.1", {"subsystem_version": (5, 1)}, {}, "subsystem version 5.1"),
    ("subsystem version 4.10", {"subsystem_version": (4, 10)}, {}, "subsystem version 4.10"),
    ("OS version 5.0", {"os_version": (5, 0)}, {}, "OS version 5.0"),
    ("console subsystem", {"subsystem": 3}, {}, "subsystem 3, expected 2"),
    ("a 64-bit machine in a 32-bit image", {"machine": 0x8664}, {}, "machine 0x8664"),
    ("ASLR", {"dll_characteristics": 0x40}, {}, "sets DYNAMIC_BASE"),
    ("DEP", {"dll_characteristics": 0x100}, {}, "sets NX_COMPAT"),
    ("a time stamp", {"timestamp": 0x5F000000}, {}, "file header time stamp 0x5F000000"),
    ("a time-stamped debug directory", {"debug_stamps": [0, 0x5F000000]}, {},
     "1 of them time-stamped"),
    ("an image base below 4 MiB", {"image_base": 0x10000}, {}, "image base 0x00010000"),

    # the file layout Windows 9x loads
    ("section alignment 512", {"section_alignment": 0x200}, {},
     "section alignment 512, expected 4096"),
    ("file alignment 256", {"file_alignment": 0x100}, {}, "file alignment 256, expected"),
    ("file alignment not a power of two", {"file_alignment": 0x300}, {},
     "file alignment 768, expected"),
    ("SizeOfHeaders not a multiple of the file alignment", {"headers_size": 0x180}, {},
     "SizeOfHeaders 384, not a multiple of 512"),
    ("a raw size not a multiple of 512", {"last_raw_size_extra": 0x10}, {},
     "section .rsrc: raw size 2064, not a multiple of 512"),
    ("import address tables in a read-only section", {"idata_flags": 0x40000040}, {},
     "in the read-only section .idata"),

    # start-up code of the C runtime
    ("a TLS directory", {"tls_directory": True}, {}, "TLS directory present"),
    ("unwind tables, stripped name", {"extra_sections": (".text", ".eh_fram")}, {},
     "section .eh_fram present"),
    ("unwind tables, full name", {"extra_sections": (".text", ".eh_frame")}, {},
     "section .eh_frame present"),

    # version block
    ("version in US English", {"resources": kestrow_resources(language=0x0409)}, {},
     "language 0x0409"),
    ("file version 1.0.0.2", {"resources": with_version(file_version=(1, 0, 0, 2))}, {},
     "fixed file version 1.0.0.2"),
    ("product version 2.0.0.1", {"resources": with_version(product_version=(2, 0, 0, 1))}, {},
     "fixed product version 2.0.0.1"),
    ("string table of another language", {"resources": with_version(table_key="040904b0")},
     {}, "string tables ['040904b0']"),
    ("a wrong value", {"resources": with_strings({"ProductName": "Kestrow"})}, {},
     "\"ProductName\" is \"Kestrow\", expected \"Kestrow Application\""),
    ("an empty string that is not empty", {"resources": with_strings({"CompanyName": "Acme"})},
     {}, "\"CompanyName\" is \"Acme\""),
    ("a missing string", {"resources": with_strings({"InternalName": None})}, {},
     "\"InternalName\" is missing"),
    ("an extra string", {"resources": with_version(
        strings=KESTROW_STRINGS + [("LegalCopyright", "(C) 2001")])}, {},
     "unexpected version string \"LegalCopyright\""),
    ("a string twice", {"resources": with_version(
        strings=KESTROW_STRINGS + [("InternalName", "Kestrow")])}, {},
     "\"InternalName\" appears twice"),
    ("another translation", {"resources": with_version(translation=[(0x0409, 1252)])}, {},
     "translation 0x0409/1252"),
    ("a second translation", {"resources": with_version(
        translation=[(0x0404, 1200), (0x0409, 1200)])}, {}, "0x0404/1200, 0x0409/1200"),
    ("no version resource", {"resources": without(RT_VERSION)}, {}, "0 version resources"),
    ("a cut-off version resource", {"resources": kestrow_resources(version_block()[:40])}, {},
     "version resource"),

    # string 0xE000 and the icon
    ("string 0xE000", {"resources": kestrow_resources() + [
        (RT_STRING, 0xE01, 0x0404, string_block(["Other title"]))]}, {},
     "string 0xE000 exists (\"Other title\""),
    ("only string 0xE001 in the block", {"resources": kestrow_resources() + [
        (RT_STRING, 0xE01, 0x0404, string_block(["", "Prompt"]))]}, {}, None),
    ("no icon group", {"resources": without(RT_GROUP_ICON)}, {}, "no icon group"),
    ("an icon group naming a missing icon", {"resources": without(RT_GROUP_ICON) + [
        (RT_GROUP_ICON, 128, 0x0404, icon_group([1, 7]))]}, {}, "icons [7] are missing"),

    # size
    ("larger than 8 KiB", {"overlay": 6 * 1024}, {}, "more than the limit of 8192 bytes"),
    ("larger than --max-size", {}, {"max_size": 1024}, "more than the limit of 1024 bytes"),

    # the 64-bit twin: only the architecture-independent rules
    ("a 64-bit image without --arch-any", {"pe32_plus": True}, {}, "PE32+ (64-bit) image"),
    ("a 64-bit image with --arch-any", {
        "pe32_plus": True, "subsystem_version": (5, 2), "dll_characteristics": 0x160,
        "timestamp": 1, "overlay": 40 * 1024, "imports": {"KERNEL32.dll": ["GetFileSizeEx"]}},
     {"arch_any": True}, None),
    ("a 64-bit image importing SHELL32", {
        "pe32_plus": True, "imports": {"SHELL32.dll": ["ShellExecuteA"]}}, {"arch_any": True},
     "SHELL32.dll is imported"),
    ("a 64-bit image with a wrong version block", {
        "pe32_plus": True, "resources": with_strings({"ProductVersion": "1.0"})},
     {"arch_any": True}, "\"ProductVersion\" is \"1.0\""),
    ("a 64-bit image with string 0xE000", {"pe32_plus": True, "resources": kestrow_resources()
                                           + [(RT_STRING, 0xE01, 0x0404, string_block(["X"]))]},
     {"arch_any": True}, "string 0xE000 exists"),
]


class CheckerCases(unittest.TestCase):
    def test_cases(self):
        for what, image_arguments, check_arguments, expected in CASES:
            with self.subTest(what):
                failures, fail_lines, output = run_checker(build_pe(**image_arguments),
                                                           **check_arguments)
                if expected is None:
                    self.assertEqual(failures, 0, output)
                else:
                    # Exactly the fault put in is reported, nothing else.
                    self.assertGreater(failures, 0, output)
                    self.assertIn(expected, "\n".join(fail_lines), output)
                    self.assertEqual(len(fail_lines), failures, output)
                    self.assertEqual(len(fail_lines), 1, output)


class MalformedFiles(unittest.TestCase):
    """A file that is not a complete PE image fails with a message, not a traceback."""

    def test_malformed(self):
        good = build_pe()
        cases = [
            ("empty", b"", "no MZ header"),
            ("text", b"not a program at all" * 10, "no MZ header"),
            ("cut after the headers", good[:0x300], "truncated"),
            ("cut in the MZ header", good[:0x30], "no MZ header"),
            ("no PE signature", good[:0x40] + b"NE\0\0" + good[0x44:], "no PE signature"),
        ]
        for what, image, expected in cases:
            with self.subTest(what):
                failures, fail_lines, output = run_checker(image)
                self.assertGreater(failures, 0, output)
                self.assertIn(expected, "\n".join(fail_lines), output)

    def test_missing_file_fails_with_a_hint(self):
        output = io.StringIO()
        failures = check_pe.check_file("/nonexistent/Kestrow.exe", report=check_pe.Report(output))
        self.assertEqual(failures, 1)
        self.assertIn("does not exist: build it first", output.getvalue())

    def test_missing_export_list_fails(self):
        with tempfile.TemporaryDirectory() as empty:
            failures, fail_lines, output = run_checker(build_pe(), exports_dir=empty)
        self.assertEqual(failures, 3, output)  # one for each of the three DLLs
        self.assertIn("cannot read the Windows 98 SE export list", fail_lines[0])


class CommandLine(unittest.TestCase):
    def run_main(self, image, *options):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "Kestrow.exe")
            with open(path, "wb") as stream:
                stream.write(image)
            return subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "check_pe.py"),
                                   *options, path], capture_output=True, text=True)

    def test_exit_codes_and_options(self):
        cases = [
            ("good image", build_pe(), [], 0, "all checks passed"),
            ("bad image", build_pe(timestamp=1), [], 1, "1 check FAILED"),
            ("--max-size", build_pe(), ["--max-size", "1000"], 1, "more than the limit"),
            ("--arch-any", build_pe(pe32_plus=True), ["--arch-any"], 0, "all checks passed"),
            ("--exports", build_pe(), ["--exports", "/nonexistent"], 1, "export list"),
        ]
        for what, image, options, code, expected in cases:
            with self.subTest(what):
                result = self.run_main(image, *options)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertIn(expected, result.stdout)


def _have(tool):
    return shutil.which(tool) is not None


MINGW_32 = ("i686-w64-mingw32-gcc-win32", "i686-w64-mingw32-windres")
MINGW_64 = ("x86_64-w64-mingw32-gcc-win32", "x86_64-w64-mingw32-windres")
WIN98_LINK = ["-Os", "-s", "-mwindows", "-static", "-Wl,--subsystem,windows:4.0",
              "-Wl,--major-os-version,4", "-Wl,--minor-os-version,0",
              "-Wl,--disable-dynamicbase", "-Wl,--disable-nxcompat", "-Wl,--no-insert-timestamp",
              "-Wl,--build-id=none"]

WINMAIN_PROGRAM = r"""
#include <windows.h>
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR tail, int show)
{
    (void)instance; (void)previous; (void)show;
    return MessageBoxA(NULL, tail, "t", MB_OK) == 0;
}
"""

# Linked as Kestrow.exe is: its own entry point, no C runtime start-up code.
MESSAGE_PROGRAM = r"""
#include <windows.h>
void Start(void)
{
    ExitProcess(MessageBoxA(NULL, GetCommandLineA(), "t", MB_OK) == 0);
}
"""
OWN_ENTRY_LINK = ["-fno-asynchronous-unwind-tables", "-nostdlib", "-Wl,--entry,_Start"]
# x86-64 symbols carry no leading underscore.
OWN_ENTRY_LINK_64 = ["-nostdlib", "-Wl,--entry,Start"]
OWN_ENTRY_LIBRARIES = ["-lkernel32", "-luser32"]

WIN2000_PROGRAM = r"""
#include <windows.h>
#include <shellapi.h>
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR tail, int show)
{
    LARGE_INTEGER size;
    (void)instance; (void)previous;
    GetFileSizeEx(GetStdHandle(STD_INPUT_HANDLE), &size);
    ShellExecuteA(NULL, "open", tail, NULL, NULL, show);
    return 0;
}
"""


class RealToolchain(unittest.TestCase):
    """Programs linked by MinGW-w64 with the project's resource script."""

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def link(self, tools, source, flags, with_resources, libraries=()):
        compiler, windres = tools
        source_path = os.path.join(self.folder, "program.c")
        with open(source_path, "w") as stream:
            stream.write(source)
        objects = []
        if with_resources:
            objects.append(os.path.join(self.folder, "kestrow.res.o"))
            subprocess.run([windres, os.path.join(SOURCE_DIR, "resources", "kestrow.rc"),
                            "-O", "coff", "-o", objects[0]], check=True)
        exe = os.path.join(self.folder, "program.exe")
        subprocess.run([compiler, *flags, source_path, *objects, *libraries, "-o", exe],
                       check=True)
        return exe

    def check(self, exe, **options):
        output = io.StringIO()
        failures = check_pe.check_file(exe, report=check_pe.Report(output), **options)
        return failures, output.getvalue()

    @unittest.skipUnless(all(map(_have, MINGW_32)), "the i686 MinGW-w64 toolchain is missing")
    def test_win98_build_with_the_project_resources_passes(self):
        failures, output = self.check(self.link(MINGW_32, MESSAGE_PROGRAM,
                                                WIN98_LINK + OWN_ENTRY_LINK, True,
                                                OWN_ENTRY_LIBRARIES))
        self.assertEqual(failures, 0, output)

    @unittest.skipUnless(all(map(_have, MINGW_32)), "the i686 MinGW-w64 toolchain is missing")
    def test_default_build_of_a_windows_2000_program_fails(self):
        exe = self.link(MINGW_32, WIN2000_PROGRAM, ["-Os", "-s", "-mwindows"], False)
        failures, output = self.check(exe)
        for expected in ["KERNEL32.dll!GetFileSizeEx is not exported", "SHELL32.dll is imported",
                         "msvcrt.dll is imported", "more than the limit of 8192 bytes",
                         "sets DYNAMIC_BASE and NX_COMPAT", "file header time stamp",
                         "TLS directory present", "section .eh_fram present",
                         "0 version resources", "no icon group"]:
            self.assertIn(expected, output)
        self.assertEqual(failures, 10, output)

    @unittest.skipUnless(all(map(_have, MINGW_64)), "the x86_64 MinGW-w64 toolchain is missing")
    def test_64_bit_twin_passes_with_arch_any(self):
        failures, output = self.check(self.link(MINGW_64, MESSAGE_PROGRAM,
                                                WIN98_LINK + OWN_ENTRY_LINK_64, True,
                                                OWN_ENTRY_LIBRARIES), arch_any=True)
        self.assertEqual(failures, 0, output)

    @unittest.skipUnless(all(map(_have, MINGW_64)), "the x86_64 MinGW-w64 toolchain is missing")
    def test_64_bit_program_with_the_c_runtime_fails_with_arch_any(self):
        failures, output = self.check(self.link(MINGW_64, WINMAIN_PROGRAM, WIN98_LINK, True),
                                      arch_any=True)
        self.assertIn("msvcrt.dll is imported", output)
        self.assertIn("a C runtime DLL", output)
        self.assertEqual(failures, 1, output)


if __name__ == "__main__":
    unittest.main()
