#!/usr/bin/env python3
"""Tests of the kestrow-sim command line: what a person running it sees,
what --apply writes, and how bad input is refused.

Paths come from the environment (ctest sets them):
  KESTROW_SIM          the kestrow-sim executable
  REGEDIT4_CANONICAL   the test helper that prints registry files sorted
  KESTROW_MACHINES     the folder of sample machines
"""
import hashlib
import json
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

KESTROW_SIM = os.environ.get("KESTROW_SIM", "build/host/kestrow-sim")
CANONICAL = os.environ.get("REGEDIT4_CANONICAL", "build/host/tests/cli/regedit4_canonical")
MACHINES = os.environ.get("KESTROW_MACHINES", "sim/machines")

CONTROLLER_KEY = r"HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_24CD&SUBSYS_24CD8086&REV_02"
UNATTENDED_TAIL = ["-s", '-f2"c:\\csb.log"']
DRIVER_FILES = [
    ("DRV/owc/iusb2.inf", "WINDOWS/inf/iusb2.inf"),
    ("DRV/owc/iusbehci.sys", "WINDOWS/system32/drivers/iusbehci.sys"),
    ("DRV/owc/iusb2hub.sys", "WINDOWS/system32/drivers/iusb2hub.sys"),
]


def run(*args, stdin=subprocess.DEVNULL):
    return subprocess.run([KESTROW_SIM, *args], stdin=stdin, capture_output=True, timeout=30)


def text(result):
    return result.stdout.decode("utf-8")


def read_until_prompt(terminal, seconds=20):
    """What kestrow-sim shows on the terminal up to its answer prompt."""
    shown = b""
    deadline = time.monotonic() + seconds
    while b"Answer (" not in shown and time.monotonic() < deadline:
        ready, _, _ = select.select([terminal], [], [], 0.5)
        if ready:
            shown += os.read(terminal, 4096)
    return shown


def tree_state(folder):
    """Every entry below `folder`, links not followed, with its mode, size,
    mtime and the digest of a file's contents."""
    state = {}
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            digest = None
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            state[os.path.relpath(path, folder)] = (info.st_mode, info.st_size,
                                                    info.st_mtime_ns, digest)
    return state


def canonical(code_page, *files):
    result = subprocess.run([CANONICAL, str(code_page), *files], capture_output=True, timeout=30)
    if result.returncode != 0:
        raise AssertionError(result.stderr.decode())
    return result.stdout


class TempMachineCase(unittest.TestCase):
    """A fresh copy of a sample machine in a temporary folder."""

    def copy_machine(self, name):
        self.tmp = tempfile.mkdtemp(prefix="kestrow-cli-")
        self.addCleanup(shutil.rmtree, self.tmp)
        folder = os.path.join(self.tmp, name)
        shutil.copytree(os.path.join(MACHINES, name), folder)
        return folder


class DefaultRunTest(unittest.TestCase):
    """What `make demo` prints: kestrow-sim with no options."""

    def test_key_lines(self):
        before = tree_state(os.path.join(MACHINES, "win98se"))
        result = run()
        self.assertEqual(result.returncode, 0, result.stderr)
        out = text(result)
        for line in [
            "Kestrow on a simulated Windows 98 SE 4.10.2222, platform 1, code page 1252",
            "Command line: C:\\DRV\\KESTROW.EXE",
            "Install finished,You need to reboot !!",
            "icon: Exclamation, buttons: OK, Cancel, answer: none (not shown)",
            "C:\\DRV\\owc\\iusb2.inf -> C:\\WINDOWS\\inf\\iusb2.inf (682 bytes, new)",
            "C:\\DRV\\owc\\iusbehci.sys -> C:\\WINDOWS\\system32\\drivers\\iusbehci.sys"
            " (512 bytes, new)",
            "C:\\DRV\\owc\\iusb2hub.sys -> C:\\WINDOWS\\system32\\drivers\\iusb2hub.sys"
            " (512 bytes, new)",
            "Registry key deleted: " + CONTROLLER_KEY,
            "with 1 subkey and 8 values below it",
            "Restart requested: no",
            "Marker c:\\csb.log: not written",
            "Program exit code: 0",
            "Dry run: nothing on the host was changed",
        ]:
            self.assertIn(line, out)
        # A dry run leaves the sample machine exactly as it was.
        self.assertEqual(tree_state(os.path.join(MACHINES, "win98se")), before)

    def test_help_lists_every_option(self):
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        for option in ["--machine", "--system", "--registry", "--drive", "--cwd", "--answer",
                       "--fail", "--json", "--trace", "--apply", "--"]:
            self.assertIn(option, text(result))
        self.assertIn("REPLACES", text(result))


class SampleMachinesTest(unittest.TestCase):
    """Each sample machine runs; the answers and the tail pick the ending."""

    CASES = [
        # machine, extra arguments, lines expected, lines not expected
        ("win98se", ["--answer", "ok"],
         ["Restart requested: yes", "answer: OK", "Registry key deleted: " + CONTROLLER_KEY], []),
        ("win98se", ["--answer", "cancel"],
         ["Restart requested: no", "answer: Cancel"], []),
        ("winme", ["--"] + UNATTENDED_TAIL,
         ["Windows Me 4.90.3000, platform 1", "Message boxes: none",
          'Marker c:\\csb.log: written ("c:\\csb.log", 10 bytes)',
          "iusb2hub.sys (512 bytes, replaced)", "Restart requested: no"], ["Install finished"]),
        # A blank after the unattended tail makes it interactive.
        ("winme", ["--", "-s", '-f2"c:\\csb.log"', ""],
         ["Install finished,You need to reboot !!", "Marker c:\\csb.log: not written"], []),
        ("win98se-cp950", ["--answer", "ok"],
         ["code page 950", "device: USB 2.0 增強型主控制器 (功能待安裝)",
          "Restart requested: yes"], []),
        ("xp", [],
         ["Windows XP 5.1.2600, platform 2", "This program only for 9x-me !!",
          "Files placed: none", "Registry key deleted: none"], ["Install finished"]),
        ("win98se", ["--system", "win98"],
         ["Windows 98 4.10.1998", "Files placed: none"], ["Install finished"]),
    ]

    def test_samples(self):
        for machine, args, expected, unexpected in self.CASES:
            with self.subTest(machine=machine, args=args):
                result = run("--machine", machine, *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                out = text(result)
                for line in expected:
                    self.assertIn(line, out)
                for line in unexpected:
                    self.assertNotIn(line, out)

    def test_command_line_seen_by_program(self):
        out = text(run("--", *UNATTENDED_TAIL))
        self.assertIn('Command line: C:\\DRV\\KESTROW.EXE -s -f2"c:\\csb.log"', out)


class FaultTest(unittest.TestCase):
    CASES = [
        (["--fail", "RegDeleteKeyA"],
         ["Delete Key Fail!!", "Registry key NOT deleted: " + CONTROLLER_KEY]),
        (["--fail", "regopenkeyexa:2"], ["Open Key Fail!!", "Registry key deleted: none"]),
        (["--fail", "RegOpenKeyA"], ["Get keyCount fail !!", "Get del key fail !!"]),
        (["--fail", "CopyFileA:2"],
         ["iusbehci.sys: not copied, injected fault", "iusb2hub.sys (512 bytes, new)"]),
        # The marker's write fails and so does its removal: the empty file
        # left behind is no marker.
        (["--fail", "FileWrite", "--fail", "DeleteFileA:2", "--", *UNATTENDED_TAIL],
         ["Marker c:\\csb.log: not written",
          "Other file changes:\n  C:\\csb.log (new, 0 bytes)"]),
    ]

    def test_faults(self):
        for args, expected in self.CASES:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                for line in expected:
                    self.assertIn(line, text(result))


class JsonTest(unittest.TestCase):
    def test_json_tool_accepts_it(self):
        for machine in ["win98se", "win98se-cp950", "xp"]:
            with self.subTest(machine=machine):
                result = run("--machine", machine, "--json", "--trace")
                self.assertEqual(result.returncode, 0, result.stderr)
                tool = subprocess.run([sys.executable, "-m", "json.tool"], input=result.stdout,
                                      capture_output=True, timeout=30)
                self.assertEqual(tool.returncode, 0, tool.stderr)

    def test_contents(self):
        report = json.loads(run("--machine", "win98se-cp950", "--json", "--trace",
                                "--answer", "ok").stdout.decode("utf-8"))
        self.assertEqual(report["system"], {"name": "win98se", "description": "Windows 98 SE",
                                            "version": "4.10.2222", "platform_id": 1,
                                            "code_page": 950, "code_page_source": "machine.ini",
                                            "code_page_origin": os.path.join(
                                                MACHINES, "win98se-cp950", "machine.ini") + ":4"})
        self.assertEqual([box["answer"] for box in report["boxes"]], ["OK"])
        self.assertEqual([f["change"] for f in report["files_placed"]], ["new"] * 3)
        key, = report["keys_deleted"]
        self.assertEqual((key["path"], key["deleted"], key["subkeys"], key["values"]),
                         (CONTROLLER_KEY, True, 1, 8))
        self.assertIn("增強型", key["device"])
        self.assertTrue(report["restart_requested"])
        self.assertFalse(report["marker"]["written"])
        self.assertTrue(report["dry_run"])
        self.assertTrue(any(call.startswith('RegDeleteKeyA(') for call in report["trace"]))

    def test_trace_goes_to_stderr_in_text_mode(self):
        result = run("--trace")
        lines = result.stderr.decode().splitlines()
        self.assertTrue(lines[0].strip().startswith("1 GetCommandLineA()"))
        self.assertTrue(any("RegDeleteKeyA(" in line for line in lines))


class ApplyTest(TempMachineCase):
    def apply(self, folder, *args):
        return run("--machine", folder, "--apply", "--answer", "ok", *args)

    def check_round_trip(self, name, code_page):
        folder = self.copy_machine(name)
        original = os.path.join(self.tmp, "original.reg")
        shutil.copy(os.path.join(folder, "registry.reg"), original)
        result = self.apply(folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Applied:", text(result))

        drive = os.path.join(folder, "drive_c")
        for source, destination in DRIVER_FILES:
            with open(os.path.join(drive, source), "rb") as a:
                with open(os.path.join(drive, destination), "rb") as b:
                    self.assertEqual(a.read(), b.read(), destination)

        registry = os.path.join(folder, "registry.reg")
        undo = os.path.join(folder, "registry.undo.reg")
        with open(registry, "rb") as f:
            rewritten = f.read()
        self.assertNotIn(b"DEV_24CD", rewritten)
        self.assertIn(b"DEV_24C4", rewritten)
        self.assertTrue(rewritten.startswith(b"REGEDIT4\r\n"))
        with open(undo, "rb") as f:
            undo_text = f.read()
        # REGEDIT4, comment lines saying what the file is, then the key.
        header, _, body = undo_text.partition(b"\r\n\r\n")
        self.assertTrue(header.startswith(b"REGEDIT4\r\n;"), header)
        self.assertTrue(body.startswith(b"[" + CONTROLLER_KEY.encode() + b"]\r\n"))
        # The rewritten registry with the undo file imported over it holds
        # the original tree again.
        self.assertEqual(canonical(code_page, registry, undo), canonical(code_page, original))
        # Nothing but the two registry files and the three placed files changed.
        leftovers = [n for n in os.listdir(folder) if n not in ("registry.reg", "registry.undo.reg",
                                                                  "machine.ini", "drive_c")]
        self.assertEqual(leftovers, [])
        return folder, original

    def test_apply_and_undo_round_trip(self):
        for name, code_page in [("win98se", 1252), ("win98se-cp950", 950)]:
            with self.subTest(machine=name):
                self.check_round_trip(name, code_page)

    def test_rewrite_keeps_the_export_shape(self):
        # Apart from the deleted key, the rewritten file is byte for byte the
        # regedit export it was.
        folder, original = self.check_round_trip("win98se", 1252)
        with open(original, "rb") as f:
            before = f.read()
        with open(os.path.join(folder, "registry.reg"), "rb") as f:
            after = f.read()
        start = before.index(b"[" + CONTROLLER_KEY.encode() + b"]")
        end = before.index(b"[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1274")
        self.assertEqual(after, before[:start] + before[end:])

    def test_second_undo_file_gets_a_free_name(self):
        folder, original = self.check_round_trip("win98se", 1252)
        # Put the key back (as importing the undo file on the machine would),
        # then install again: the first undo file is kept.
        registry = os.path.join(folder, "registry.reg")
        shutil.copy(original, registry)
        result = self.apply(folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.exists(os.path.join(folder, "registry.undo.reg")))
        self.assertTrue(os.path.exists(os.path.join(folder, "registry.undo-2.reg")))

    def test_nothing_to_delete_writes_no_registry(self):
        folder = self.copy_machine("xp")
        before = tree_state(folder)
        result = self.apply(folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("nothing to write", text(result))
        self.assertEqual(tree_state(folder), before)

    def test_unattended_marker_is_written_to_drive(self):
        folder = self.copy_machine("winme")
        result = self.apply(folder, "--", *UNATTENDED_TAIL)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(folder, "drive_c", "csb.log"), "rb") as f:
            self.assertEqual(f.read(), b"c:\\csb.log")


class BadInputTest(TempMachineCase):
    """Bad input: exit code 2, a message naming the place, nothing written."""

    SETTINGS_CASES = [
        # what machine.ini says, what the message must hold
        ("[machine]\nsystem=win98se\ncurrent_directory=C:\\DRV\n[drives]\nC=no_such_folder\n",
         "machine.ini:5:"),
        ("[machine]\nsystem=win98se\nversion=4.90.3000\nplatform=windows\n"
         "current_directory=C:\\DRV\n[drives]\nC=drive_c\n",
         "machine.ini:3: version=4.90.3000 contradicts"),
        ("[machine]\nsystem=win98se\nplatform=nt\ncurrent_directory=C:\\DRV\n[drives]\nC=drive_c\n",
         "machine.ini:3: platform=nt contradicts"),
        ("[machine]\nsystem=win99\ncurrent_directory=C:\\DRV\n[drives]\nC=drive_c\n",
         "machine.ini:2: unknown system"),
        ("[machine]\nsystem=win98se\ncodepage=437\ncurrent_directory=C:\\DRV\n"
         "[drives]\nC=drive_c\n",
         "machine.ini:3: unknown code page"),
        ("[machine]\nsystem=win98se\ncurrent_directory=C:\\DRV\nCURRENT_DIRECTORY=C:\\OTHER\n"
         "[drives]\nC=drive_c\n", "machine.ini:4:"),
        ("[machine]\nsystem=win98se\ncurrent_directory=C:\\DRV\nwindows_directory=D:\\WINDOWS\n"
         "[drives]\nC=drive_c\n", "drive D:"),
        ("[machine]\ncurrent_directory=C:\\DRV\n[drives]\nC=drive_c\n", "no system is named"),
        ("[machine]\nsystem=win98se\ncurrent_directory=C:\\DRV\nsecret=1\n[drives]\nC=drive_c\n",
         "machine.ini:4: unknown setting"),
    ]

    def check_refused(self, folder, args, message):
        before = tree_state(self.tmp)
        result = run("--machine", folder, "--apply", *args)
        self.assertEqual(result.returncode, 2, text(result))
        self.assertIn(message, result.stderr.decode())
        self.assertEqual(result.stdout, b"")
        self.assertEqual(tree_state(self.tmp), before)

    def test_bad_settings(self):
        folder = self.copy_machine("win98se")
        for settings, message in self.SETTINGS_CASES:
            with self.subTest(message=message):
                with open(os.path.join(folder, "machine.ini"), "w") as f:
                    f.write(settings)
                self.check_refused(folder, [], message)

    def test_malformed_registry(self):
        folder = self.copy_machine("win98se")
        registry = os.path.join(folder, "registry.reg")
        with open(registry, "rb") as f:
            lines = f.read().split(b"\r\n")
        lines[8] = b'"ConfigFlags"=hex:00,0g,00,00'
        with open(registry, "wb") as f:
            f.write(b"\r\n".join(lines))
        self.check_refused(folder, [], registry + ":9:")

    def test_malformed_registry_given_with_option(self):
        folder = self.copy_machine("win98se")
        other = os.path.join(self.tmp, "pci.reg")
        with open(other, "wb") as f:
            f.write(b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\r\n")
        self.check_refused(folder, ["--registry", other], other + ":3:")

    def test_missing_drive_folder_given_with_option(self):
        folder = self.copy_machine("win98se")
        self.check_refused(folder, ["--drive", "C=" + os.path.join(self.tmp, "gone")], "--drive C=")

    def test_bad_options_show_usage(self):
        for args in [["--bogus"], ["--answer", "maybe"], ["--fail", "NoSuchCall"],
                     ["--fail", "CopyFileA:0"], ["--system", "win99"], ["--drive", "C:/x"],
                     ["--cwd", "DRV"], ["--machine"], ["--json=yes"], ["stray"]]:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("Usage: kestrow-sim", result.stderr.decode())

    def test_unknown_machine(self):
        result = run("--machine", "no-such-sample")
        self.assertEqual(result.returncode, 2)
        self.assertIn("win98se", result.stderr.decode())


class TerminalBoxTest(unittest.TestCase):
    """With no --answer and a terminal on standard input, the box is drawn
    there and the person's answer is the box's answer."""

    def test_answer_on_terminal(self):
        master, slave = pty.openpty()
        try:
            process = subprocess.Popen([KESTROW_SIM], stdin=slave, stdout=subprocess.PIPE,
                                       stderr=slave)
            shown = read_until_prompt(master)
            self.assertIn(b"Install finished,You need to reboot !!", shown)
            self.assertIn(b"[ OK ]   [ Cancel ]", shown)
            self.assertIn(b"(Exclamation)", shown)
            os.write(master, b"cancel\n")
            out, _ = process.communicate(timeout=20)
        finally:
            os.close(master)
            os.close(slave)
        self.assertEqual(process.returncode, 0)
        self.assertIn("answer: Cancel", out.decode())


if __name__ == "__main__":
    unittest.main()
