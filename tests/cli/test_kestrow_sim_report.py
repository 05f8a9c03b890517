#!/usr/bin/env python3
"""Tests of what kestrow-sim tells: a report no registry text can tamper
with on a terminal, JSON that keeps every byte, the code page and where it
came from, messages that name the real cause, and a report that cannot be
written. Paths come from the environment as in test_kestrow_sim.py.
"""
import json
import os
import re
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # importing the other test file leaves no cache in the sources
from test_kestrow_sim import KESTROW_SIM, MACHINES, TempMachineCase, run, text, tree_state

PLAIN_DEVICE = b'"DeviceDesc"="PCI Universal Serial Bus"'
# What a terminal acts on: C0 controls but the line feed, DEL, and the C1
# controls, raw or in UTF-8.
ACTIVE_BYTES = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]")


def plant_device(folder, device):
    """Gives the controller's instance key the DeviceDesc bytes `device`."""
    registry = os.path.join(folder, "registry.reg")
    with open(registry, "rb") as f:
        contents = f.read()
    assert PLAIN_DEVICE in contents
    with open(registry, "wb") as f:
        f.write(contents.replace(PLAIN_DEVICE, b'"DeviceDesc"="' + device + b'"'))


def assert_inert(case, out):
    """The output is UTF-8 and holds nothing a terminal acts on."""
    case.assertIsNone(ACTIVE_BYTES.search(out), out)
    out.decode("utf-8")


class TerminalSafeReportTest(TempMachineCase):
    """Control bytes of names, values, paths and the tail are shown as \\xNN."""

    CASES = [
        # what, DeviceDesc planted (or None), machine folder name, arguments, expected lines
        ("escape sequence in DeviceDesc", b"PCI \x1b[2K\x1b[1ARestart requested: yes", "m", [],
         ["device: PCI \\x1B[2K\\x1B[1ARestart requested: yes", "Restart requested: no"]),
        ("CR, BS and DEL in DeviceDesc", b"ab\rX\bY\x7f", "m", [], ["device: ab\\x0DX\\x08Y\\x7F"]),
        ("C1 control of code page 950", b"USB\x80", "m", ["--codepage", "950"],
         ["device: USB\\x80"]),
        ("newline at the end of the tail", None, "m", ["--", "-s", "x\n"],
         ["Command line: C:\\DRV\\KESTROW.EXE -s x\\x0A"]),
        ("blank at the end of the tail", None, "m", ["--", "-s", ""],
         ["Command line: C:\\DRV\\KESTROW.EXE -s    (ends in 1 blank)"]),
        ("escape and non-UTF-8 byte in the machine path", None, b"m\x1b[2J\xff", [],
         ["m\\x1B[2J\\xFF/registry.reg"]),
    ]

    def test_cases(self):
        for what, device, name, args, expected in self.CASES:
            with self.subTest(what=what):
                folder = self.copy_machine("win98se")
                if device is not None:
                    plant_device(folder, device)
                target = os.path.join(os.fsencode(self.tmp), os.fsencode(name))
                os.rename(folder, target)
                result = run("--machine", target, *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                assert_inert(self, result.stdout)
                for line in expected:
                    self.assertIn(line, text(result))


class JsonBytesTest(TempMachineCase):
    """JSON: decoded text plus a "_bytes" twin that keeps every byte."""

    def test_raw_bytes_survive(self):
        folder = self.copy_machine("win98se")
        device = b"PCI \x1b[2J\x81\x9b\x7f\xff"
        plant_device(folder, device)
        target = os.path.join(os.fsencode(self.tmp), b"m\xff\x9b")
        os.rename(folder, target)
        tail = ["-s", "x\n"]
        result = run("--machine", target, "--json", "--", *tail)
        self.assertEqual(result.returncode, 0, result.stderr)
        assert_inert(self, result.stdout)
        report = json.loads(result.stdout.decode("utf-8"))
        key, = report["keys_deleted"]
        self.assertEqual(key["device_bytes"].encode("latin-1"), device)
        self.assertEqual(key["device"], "PCI \x1b[2J\\x81\u203a\x7f\u00ff")
        self.assertEqual(report["machine_bytes"].encode("latin-1"), target)
        self.assertEqual(report["registry_file_bytes"].encode("latin-1"),
                         os.path.join(target, b"registry.reg"))
        self.assertEqual(report["command_tail_bytes"].encode("latin-1"), b"-s x\n")
        self.assertEqual(report["command_tail"], "-s x\n")
        # Every text from the machine has its twin.
        for item, fields in [(report, ["command_line"]), (report["marker"], ["contents"]),
                             (report["boxes"][0], ["title", "text"]),
                             (report["files_placed"][0], ["source", "destination"]),
                             (key, ["path"])]:
            for field in fields:
                self.assertEqual(item[field + "_bytes"].encode("latin-1").decode("cp1252"),
                                 item[field])
        # --apply's lists name host paths, which need not be UTF-8 either.
        result = run("--machine", target, "--json", "--apply", "--answer", "ok")
        self.assertEqual(result.returncode, 0, result.stderr)
        applied = json.loads(result.stdout.decode("utf-8"))["applied"]
        written = [text.encode("latin-1") for text in applied["written_bytes"]]
        self.assertEqual(len(written), len(applied["written"]))
        self.assertIn(os.path.join(target, b"registry.reg"), written[-1])


class CodePageTest(TempMachineCase):
    """The code page used, and where it came from, in text and JSON."""

    CP950_REGISTRY = os.path.join(MACHINES, "win98se-cp950", "registry.reg")

    def test_sources(self):
        folder = self.copy_machine("win98se")
        no_code_page = self.copy_machine("win98se")
        settings = os.path.join(no_code_page, "machine.ini")
        with open(settings) as f:
            lines = [line for line in f if not line.startswith("codepage=")]
        with open(settings, "w") as f:
            f.writelines(lines)
        cases = [
            # arguments, code page, source, text line, a line expected
            (["--machine", folder], 1252, "machine.ini",
             "Code page:    1252 (from %s/machine.ini:4)" % folder, None),
            (["--machine", no_code_page], 1252, "default",
             "Code page:    1252 (the default: machine.ini names none)", None),
            (["--machine", folder, "--registry", self.CP950_REGISTRY, "--codepage", "950"], 950,
             "--codepage", "Code page:    950 (from --codepage)",
             "device: USB 2.0 增強型主控制器 (功能待安裝)"),
            (["--machine", "win98se-cp950", "--codepage=1252"], 1252, "--codepage",
             "Code page:    1252 (from --codepage)", "code page 1252"),
        ]
        for args, number, source, line, expected in cases:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(line + "\n", text(result))
                if expected:
                    self.assertIn(expected, text(result))
                system = json.loads(run(*args, "--json").stdout)["system"]
                self.assertEqual((system["code_page"], system["code_page_source"]),
                                 (number, source))

    def test_unknown_code_pages_are_refused(self):
        for value in ["437", "65001", "0", "99999", "cp950", ""]:
            with self.subTest(value=value):
                result = run("--codepage", value)
                self.assertEqual(result.returncode, 2)
                self.assertIn('--codepage: the simulated machine has no code page "%s"' % value,
                              result.stderr.decode())
                self.assertEqual(result.stdout, b"")


class CauseMessageTest(TempMachineCase):
    """Each message names the real cause and the file and line; exit 2 and
    nothing written, even with --apply."""

    @staticmethod
    def write(path, data):
        with open(path, "wb") as f:
            f.write(data)

    def bom(self, folder):
        with open(os.path.join(folder, "machine.ini"), "rb") as f:
            self.write(os.path.join(folder, "machine.ini"), b"\xef\xbb\xbf" + f.read())
        return [], "machine.ini:1: the file starts with a UTF-8 byte order mark (BOM)"

    def directory(self, folder):
        os.remove(os.path.join(folder, "machine.ini"))
        os.mkdir(os.path.join(folder, "machine.ini"))
        return [], "machine.ini: is a directory, not a settings file"

    def nul(self, folder):
        self.write(os.path.join(folder, "machine.ini"),
                   b"[machine]\nsystem=win98se\ncurrent_directory=C:\\D\x00RV\n"
                   b"[drives]\nC=drive_c\n")
        return [], "machine.ini:3: NUL at column 23 (a byte 0, which a text file does not hold)"

    def unreadable(self, folder):
        # A link to itself: open fails for root as well.
        os.remove(os.path.join(folder, "machine.ini"))
        os.symlink("machine.ini", os.path.join(folder, "machine.ini"))
        return [], "machine.ini: cannot be opened: Too many levels of symbolic links"

    def cr_only_registry(self, folder):
        registry = os.path.join(folder, "registry.reg")
        with open(registry, "rb") as f:
            self.write(registry, f.read().replace(b"\r\n", b"\r"))
        return [], "registry.reg:1: the lines end in CR alone"

    def call_number_too_large(self, folder):
        return (["--fail", "CopyFileA:1000001"],
                "--fail CopyFileA:1000001: the call number after ':' must be a whole number "
                "from 1 to 1000000")

    def unmapped_cwd(self, folder):
        return ["--cwd", "Q:\\DRV"], "kestrow-sim: --cwd Q:\\DRV: no folder is mapped to drive Q:"

    def empty_registry_option(self, folder):
        return ["--registry", ""], "--registry needs a file name, found an empty one"

    def test_messages(self):
        for setup in [self.bom, self.directory, self.nul, self.unreadable, self.cr_only_registry,
                      self.call_number_too_large, self.unmapped_cwd, self.empty_registry_option]:
            with self.subTest(case=setup.__name__):
                folder = self.copy_machine("win98se")
                args, message = setup(folder)
                before = tree_state(self.tmp)
                result = run("--machine", folder, "--apply", *args)
                self.assertEqual(result.returncode, 2, result.stdout)
                self.assertIn(message, result.stderr.decode())
                self.assertEqual(result.stdout, b"")
                self.assertEqual(tree_state(self.tmp), before)

    @unittest.skipIf(os.geteuid() == 0, "root reads any file")
    def test_permission_denied_names_the_reason(self):
        folder = self.copy_machine("win98se")
        os.chmod(os.path.join(folder, "machine.ini"), 0)
        result = run("--machine", folder)
        self.assertEqual(result.returncode, 2)
        self.assertIn("machine.ini: cannot be opened: Permission denied", result.stderr.decode())


@unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
class ReportWriteTest(TempMachineCase):
    """A report that cannot be written: exit 1 and a message on stderr."""

    def test_full_output(self):
        folder = self.copy_machine("win98se")
        cases = [
            (["--json"], None),
            ([], None),
            (["--help"], None),
            (["--machine", folder, "--apply", "--answer", "ok"],
             "--apply wrote every change; only the report is missing"),
        ]
        for args, note in cases:
            with self.subTest(args=args):
                with open("/dev/full", "wb") as full:
                    result = subprocess.run([KESTROW_SIM, *args], stdin=subprocess.DEVNULL,
                                            stdout=full, stderr=subprocess.PIPE, timeout=30)
                self.assertEqual(result.returncode, 1)
                self.assertIn("cannot write the report to standard output: No space left on device",
                              result.stderr.decode())
                if note:
                    self.assertIn(note, result.stderr.decode())


if __name__ == "__main__":
    unittest.main()
