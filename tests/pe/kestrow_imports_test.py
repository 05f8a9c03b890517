"""The built Kestrow.exe imports exactly the functions below, each for the
reason given: the program's calls to Windows (the operations of
platform/win32, and the kernel calls behind the C library functions the
program provides itself). A name more or less fails, so that every import a
Windows loader must find is one that someone chose.

Kestrow.exe links no C runtime DLL: the first Windows 95 releases and
Windows NT 3.51 have no msvcrt.dll, and there the loader would refuse the
program with its own message, so the OS gate's refusal would never be
shown. Wine cannot show that case (its own ADVAPI32 needs msvcrt.dll), so
this test is the proof: only KERNEL32, USER32 and ADVAPI32, and for each
function the first Windows releases that exported it, Windows 95 and
Windows NT 3.51 or earlier (from the Win32 SDK's requirements of each
function).

    KESTROW_WIN32_EXE=build/win32/Kestrow.exe \\
        python3 -m unittest discover -s tests/pe -p kestrow_imports_test.py
"""

import os
import sys
import unittest

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree

import check_pe  # noqa: E402  (found through the path set above)

EXE = os.environ.get("KESTROW_WIN32_EXE", os.path.join(SOURCE_DIR, "build", "win32", "Kestrow.exe"))

WINDOWS_95 = "Windows 95"
NT_31, NT_35 = "Windows NT 3.1", "Windows NT 3.5"
# Every function must be in the first release of the Windows 95 family and
# in Windows NT 3.51, the systems on which the gate must still be able to
# show its refusal.
NT_RELEASES_UP_TO_351 = ("Windows NT 3.1", "Windows NT 3.5", "Windows NT 3.51")
SINCE_WIN32 = (WINDOWS_95, NT_31)  # in Win32 from its first release

# DLL -> function -> (reason, (first Windows 95 family release, first NT release)).
EXPECTED_IMPORTS = {
    "KERNEL32.dll": {
        "GetCommandLineA": ("the framework finds the command-line tail in it", SINCE_WIN32),
        "SetErrorMode": ("the framework switches off critical-error boxes at start-up",
                         SINCE_WIN32),
        "GetModuleFileNameA": ("the application title is the executable's name", SINCE_WIN32),
        "IsDBCSLeadByte": ("names are searched a whole double-byte character at a time",
                           SINCE_WIN32),
        "GetVersionExA": ("the OS gate: only Windows 98 SE and Me are served",
                          (WINDOWS_95, NT_35)),
        "GetCurrentDirectoryA": ("the owc folder is found below the current directory",
                                 SINCE_WIN32),
        "GetWindowsDirectoryA": ("the driver files are placed below the Windows directory",
                                 SINCE_WIN32),
        "CopyFileA": ("places the INF and the two driver files", SINCE_WIN32),
        "DeleteFileA": ("removes an old or half-written marker file", SINCE_WIN32),
        "CreateFileA": ("creates or truncates the marker file of an unattended run "
                        "(FileOpen, CREATE_ALWAYS)", SINCE_WIN32),
        "WriteFile": ("writes the marker's ten bytes in one call (FileWrite)", SINCE_WIN32),
        "CloseHandle": ("closes the marker file (FileClose)", SINCE_WIN32),
        "ExitProcess": ("ends the process once the exit handlers have destroyed the static "
                        "objects (exit, ExitProcessWithCode)", SINCE_WIN32),
        "GetProcessHeap": ("the heap behind malloc and free (CString's text)", SINCE_WIN32),
        "HeapAlloc": ("malloc: CString's text", SINCE_WIN32),
        "HeapFree": ("free: CString's text (and operator delete)", SINCE_WIN32),
    },
    "USER32.dll": {
        "LoadStringA": ("the framework looks for a title string before using the file name",
                        SINCE_WIN32),
        "GetActiveWindow": ("the owner of each message box", SINCE_WIN32),
        "MessageBoxA": ("the program's only way to talk to the user", SINCE_WIN32),
        "ExitWindowsEx": ("restarts Windows when the user answers OK", SINCE_WIN32),
    },
    "ADVAPI32.dll": {
        "RegOpenKeyA": ("opens HKLM\\Enum\\PCI to count its device keys", SINCE_WIN32),
        "RegOpenKeyExA": ("opens HKLM\\Enum\\PCI to search and delete in it", SINCE_WIN32),
        "RegQueryInfoKeyA": ("the number of device keys below Enum\\PCI", SINCE_WIN32),
        "RegEnumKeyA": ("reads each device key's name", SINCE_WIN32),
        "RegDeleteKeyA": ("deletes the controller's key", SINCE_WIN32),
        "RegCloseKey": ("closes every key opened", SINCE_WIN32),
    },
}


def read_imports():
    with open(EXE, "rb") as stream:
        image = check_pe.PeImage(stream.read())
    return image.imports()


class KestrowImports(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(EXE):
            self.fail("%s not found: build it first (cmake --preset win32 && "
                      "cmake --build --preset win32)" % EXE)

    def test_no_c_runtime_dll(self):
        runtime = [dll for dll, _, _ in read_imports()
                   if dll.lower().startswith(check_pe.C_RUNTIME_DLL_PREFIXES)]
        self.assertEqual(runtime, [], "Kestrow.exe imports a C runtime DLL: the loaders of the "
                         "first Windows 95 releases and of Windows NT 3.51 would refuse it")

    def test_imports_are_exactly_the_expected_set(self):
        imported = {}
        for dll, names, ordinals in read_imports():
            self.assertEqual(ordinals, [], "%s is imported by ordinal" % dll)
            imported.setdefault(dll.upper(), set()).update(names)
        expected = {dll.upper(): set(names) for dll, names in EXPECTED_IMPORTS.items()}
        for dll in sorted(set(imported) | set(expected)):
            with self.subTest(dll):
                got, wanted = imported.get(dll, set()), expected.get(dll, set())
                self.assertEqual(got, wanted, "%s: unexpected %s, missing %s"
                                 % (dll, sorted(got - wanted), sorted(wanted - got)))
        print("Kestrow.exe imports %d functions from %d DLLs: %s"
              % (sum(map(len, imported.values())), len(imported), ", ".join(sorted(imported))))

    def test_each_import_has_a_reason_and_was_in_windows_95_and_nt_351(self):
        for dll, functions in EXPECTED_IMPORTS.items():
            for name, (reason, (first_9x, first_nt)) in functions.items():
                with self.subTest("%s!%s" % (dll, name)):
                    self.assertTrue(reason.strip())
                    self.assertEqual(first_9x, WINDOWS_95)
                    self.assertIn(first_nt, NT_RELEASES_UP_TO_351)

    def test_expected_dlls_are_the_three_check_pe_allows(self):
        self.assertEqual(sorted(EXPECTED_IMPORTS), sorted(check_pe.ALLOWED_DLLS))


STRING_ROUTINES = "framework/string_routines.cpp"
STRING_ROUTINE_OPTIONS = ("-ffreestanding", "-fno-tree-loop-distribute-patterns", "-fno-lto")
OBJDUMP = "i686-w64-mingw32-objdump"


class OwnStringRoutines(unittest.TestCase):
    """strlen and strcmp are the program's own (framework/string_routines.cpp).
    Compiled as C library functions usually are, their loops could be taken
    for the very routines they implement and become calls of themselves, or
    of memset and memcpy, which no import would show. They are compiled
    freestanding, without loop-to-library-call patterns and outside
    link-time optimisation, and their code calls nothing."""

    def setUp(self):
        self.build_dir = os.path.dirname(os.path.abspath(EXE))
        commands = os.path.join(self.build_dir, "compile_commands.json")
        if not os.path.isfile(commands):
            self.skipTest("%s not found: Kestrow.exe was not built by the win32 preset" % commands)
        import json
        with open(commands, encoding="utf-8") as stream:
            entries = [entry for entry in json.load(stream)
                       if entry["file"].replace("\\", "/").endswith(STRING_ROUTINES)]
        self.assertEqual(len(entries), 1, "%s is not compiled once into Kestrow.exe"
                         % STRING_ROUTINES)
        self.entry = entries[0]

    def test_compiled_freestanding(self):
        words = self.entry["command"].split()
        for option in STRING_ROUTINE_OPTIONS:
            with self.subTest(option):
                self.assertIn(option, words)
        # The last -flto/-fno-lto given wins.
        lto = [word for word in words if word in ("-flto", "-fno-lto")]
        self.assertEqual(lto[-1], "-fno-lto")

    def test_their_code_calls_nothing(self):
        import shutil
        import subprocess
        if shutil.which(OBJDUMP) is None:
            self.skipTest("%s is missing" % OBJDUMP)
        words = self.entry["command"].split()
        obj = os.path.join(self.entry["directory"], words[words.index("-o") + 1])
        listing = subprocess.run([OBJDUMP, "-d", "-r", obj], check=True, capture_output=True,
                                 text=True).stdout
        self.assertIn("<_strlen>:", listing)
        self.assertIn("<_strcmp>:", listing)
        # A call or jump to any other function, or a reference to any symbol,
        # is a relocation in the object; code that refers to nothing has none.
        relocated = [line.strip() for line in listing.splitlines()
                     if "DISP32" in line or "dir32" in line or "\tcall" in line]
        self.assertEqual(relocated, [], "the string routines call or refer to something")


if __name__ == "__main__":
    unittest.main()
