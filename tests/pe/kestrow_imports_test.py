"""The built Kestrow.exe imports exactly the functions below, each for the
reason given: the program's calls to Windows (the operations of
platform/win32) and the C runtime's file calls and exit path. A name more or
less fails, so that every import a Windows 98 loader must find is one that
someone chose.

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

EXPECTED_IMPORTS = {
    "KERNEL32.dll": {
        "GetCommandLineA": "the framework finds the command-line tail in it",
        "SetErrorMode": "the framework switches off critical-error boxes at start-up",
        "GetModuleFileNameA": "the application title is the executable's name",
        "IsDBCSLeadByte": "names are searched a whole double-byte character at a time",
        "GetVersionExA": "the OS gate: only Windows 98 SE and Me are served",
        "GetCurrentDirectoryA": "the owc folder is found below the current directory",
        "GetWindowsDirectoryA": "the driver files are placed below the Windows directory",
        "CopyFileA": "places the INF and the two driver files",
        "DeleteFileA": "removes an old or half-written marker file",
    },
    "USER32.dll": {
        "LoadStringA": "the framework looks for a title string before using the file name",
        "GetActiveWindow": "the owner of each message box",
        "MessageBoxA": "the program's only way to talk to the user",
        "ExitWindowsEx": "restarts Windows when the user answers OK",
    },
    "ADVAPI32.dll": {
        "RegOpenKeyA": "opens HKLM\\Enum\\PCI to count its device keys",
        "RegOpenKeyExA": "opens HKLM\\Enum\\PCI to search and delete in it",
        "RegQueryInfoKeyA": "the number of device keys below Enum\\PCI",
        "RegEnumKeyA": "reads each device key's name",
        "RegDeleteKeyA": "deletes the controller's key",
        "RegCloseKey": "closes every key opened",
    },
    "msvcrt.dll": {
        "fopen": "writes the marker file of an unattended run",
        "fwrite": "writes the marker file of an unattended run",
        "fclose": "writes the marker file of an unattended run",
        "strlen": "lengths of the marker text and of the paths joined",
        "strcmp": "the unattended command-line tail is compared exactly",
        "malloc": "CString's text",
        "free": "CString's text (and operator delete)",
        "exit": "the exit path: exit handlers, static destructors, streams closed",
        "_onexit": "registers the static destructors for exit() (atexit)",
    },
}


class KestrowImports(unittest.TestCase):
    def test_imports_are_exactly_the_expected_set(self):
        if not os.path.isfile(EXE):
            self.fail("%s not found: build it first (cmake --preset win32 && "
                      "cmake --build --preset win32)" % EXE)
        with open(EXE, "rb") as stream:
            image = check_pe.PeImage(stream.read())
        imported = {}
        for dll, names, ordinals in image.imports():
            self.assertEqual(ordinals, [], "%s is imported by ordinal" % dll)
            imported.setdefault(dll.upper(), set()).update(names)
        expected = {dll.upper(): set(names) for dll, names in EXPECTED_IMPORTS.items()}
        for dll in sorted(set(imported) | set(expected)):
            with self.subTest(dll):
                got, wanted = imported.get(dll, set()), expected.get(dll, set())
                self.assertEqual(got, wanted, "%s: unexpected %s, missing %s"
                                 % (dll, sorted(got - wanted), sorted(wanted - got)))
        print("Kestrow.exe imports %d functions from %d DLLs"
              % (sum(map(len, imported.values())), len(imported)))


if __name__ == "__main__":
    unittest.main()
