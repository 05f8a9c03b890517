#!/usr/bin/env python3
"""kestrow-sim on a Windows 98/Me installation read offline: a registry file
(SYSTEM.DAT) given with --registry, or found on a --drive C: folder through
MSDOS.SYS. The SYSTEM.DAT fixtures are made from the sample machine's
REGEDIT4 registry by the test-only writer.

Paths come from the environment (ctest sets them), as for
test_kestrow_sim.py, plus:
  REGEDIT4_TO_CREG   the test helper that writes REGEDIT4 files as SYSTEM.DAT
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_kestrow_sim import CONTROLLER_KEY, MACHINES, run, text, tree_state  # noqa: E402

TO_CREG = os.environ.get("REGEDIT4_TO_CREG", "build/host/tests/creg/regedit4_to_creg")
SAMPLE_REGISTRY = os.path.join(MACHINES, "win98se", "registry.reg")
SAMPLE_DRIVE = os.path.join(MACHINES, "win98se", "drive_c")

VERSION_98SE = ("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
                '"Version"="Windows 98"\r\n"VersionNumber"="4.10.2222"\r\n'
                '"SubVersionNumber"=" A "\r\n\r\n')
VERSION_ME = ("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
              '"Version"="Windows Millennium"\r\n"VersionNumber"="4.90.3000"\r\n'
              '"SubVersionNumber"=""\r\n\r\n')
NO_CONTROLLER = "[-" + CONTROLLER_KEY + "]\r\n\r\n"


class OfflineCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kestrow-offline-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def reg_file(self, name, *layers):
        """The sample registry with REGEDIT4 layers after it, as one file."""
        with open(SAMPLE_REGISTRY, "rb") as f:
            body = f.read()
        if not body.endswith(b"\r\n"):
            body += b"\r\n"
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(body + b"\r\n" + "".join(layers).encode("cp1252"))
        return path

    def system_dat(self, path, *layers, block_bytes=2048):
        """A SYSTEM.DAT holding the sample registry with the layers."""
        reg = self.reg_file(os.path.basename(path) + ".reg", *layers)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run([TO_CREG, "--block-bytes", str(block_bytes), "--deleted-key", path, reg],
                       check=True, timeout=30)
        return path

    def drive(self, msdos_sys=None, windows="WINDOWS", layers=(VERSION_98SE,)):
        """A copy of the sample C: drive with its own MSDOS.SYS and SYSTEM.DAT."""
        drive = os.path.join(self.tmp, "drive_c")
        shutil.copytree(SAMPLE_DRIVE, drive)
        if windows != "WINDOWS":
            os.rename(os.path.join(drive, "WINDOWS"), os.path.join(drive, windows))
        if msdos_sys is not None:
            with open(os.path.join(drive, "MSDOS.SYS"), "wb") as f:
                f.write(msdos_sys)
        if layers is not None:
            self.system_dat(os.path.join(drive, windows, "SYSTEM.DAT"), *layers)
        return drive

    def refused(self, args, message):
        before = tree_state(self.tmp)
        result = run(*args)
        self.assertEqual(result.returncode, 2, text(result))
        self.assertIn(message, result.stderr.decode())
        self.assertEqual(result.stdout, b"")
        self.assertEqual(tree_state(self.tmp), before)


class SystemDatTest(OfflineCase):
    CASES = [
        # layers on the sample registry, extra options, lines expected
        ("98 SE with the controller", [VERSION_98SE], [],
         ["Kestrow on a simulated Windows 98 SE 4.10.2222",
          "Windows registry file (CREG)",
          "System from:      the registry's VersionNumber 4.10.2222",
          'Recorded version: Version "Windows 98", VersionNumber "4.10.2222", '
          'SubVersionNumber " A "',
          "Registry key deleted: " + CONTROLLER_KEY]),
        ("98 SE without the controller", [VERSION_98SE, NO_CONTROLLER], [],
         ["Get del key fail !!", "Registry key deleted: none"]),
        ("Me", [VERSION_ME], [],
         ["Kestrow on a simulated Windows Me 4.90.3000", "Registry key deleted: " + CONTROLLER_KEY]),
        ("--system wins", [VERSION_ME], ["--system", "win98"],
         ["Windows 98 4.10.1998", "System from:      --system", "Files placed: none"]),
        ("no version recorded", [], [],
         ["Windows 98 SE 4.10.2222", "machine.ini (the registry records no VersionNumber)"]),
    ]

    def test_cases(self):
        for name, layers, args, expected in self.CASES:
            with self.subTest(name):
                dat = self.system_dat(os.path.join(self.tmp, name.replace(" ", "_") + ".DAT"),
                                      *layers)
                result = run("--registry", dat, *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                for line in expected:
                    self.assertIn(line, text(result))

    def test_one_machine_two_forms_one_report(self):
        # The same tree as SYSTEM.DAT and as REGEDIT4: the reports differ only
        # in where the registry came from and what chose the system.
        reports = []
        for path in [self.system_dat(os.path.join(self.tmp, "SYSTEM.DAT"), VERSION_98SE),
                     self.reg_file("same.reg", VERSION_98SE)]:
            result = run("--registry", path, "--json", "--trace", "--answer", "ok")
            self.assertEqual(result.returncode, 0, result.stderr)
            report = json.loads(result.stdout)
            for key in ["registry_file", "registry_file_bytes"]:
                del report[key]
            del report["machine"]["registry"]
            del report["machine"]["system_from"]
            reports.append(report)
        self.assertEqual(reports[0], reports[1])
        self.assertEqual(reports[0]["keys_deleted"][0]["path"], CONTROLLER_KEY)

    def test_damaged_files(self):
        good = self.system_dat(os.path.join(self.tmp, "GOOD.DAT"), VERSION_98SE)
        with open(good, "rb") as f:
            data = f.read()
        for name, damaged, message in [
            ("corrupt header", b"CREG" + data[4:0x20] + b"XXXX" + data[0x24:],
             "no key navigation block"),
            ("truncated", data[:len(data) // 2], "truncated"),
        ]:
            with self.subTest(name):
                path = os.path.join(self.tmp, name.replace(" ", "_") + ".DAT")
                with open(path, "wb") as f:
                    f.write(damaged)
                self.refused(["--registry", path], path + ": ")
                self.refused(["--registry", path], message)

    def test_apply_refused(self):
        dat = self.system_dat(os.path.join(self.tmp, "SYSTEM.DAT"), VERSION_98SE)
        self.refused(["--registry", dat, "--apply", "--answer", "ok"],
                     "cannot be changed safely from here")
        self.refused(["--registry", dat, "--apply"], "Run Kestrow.exe on that machine instead")


class DriveTest(OfflineCase):
    def test_windows_folder_from_msdos_sys(self):
        for name, msdos_sys, windows, expected in [
            ("no MSDOS.SYS", None, "WINDOWS",
             ["Windows folder:   C:\\WINDOWS (from the default; there is no C:\\MSDOS.SYS)"]),
            ("WinDir", b"[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\n", "WIN98",
             ["Windows folder:   C:\\WIN98 (from C:\\MSDOS.SYS [Paths] WinDir (line 2))",
              "-> C:\\WIN98\\inf\\iusb2.inf (682 bytes, new)",
              "Registry:     C:\\WIN98\\SYSTEM.DAT"]),
            ("no [Paths]", b"[Options]\r\nBootMulti=1\r\n;" + b"x" * 70 + b"\r\n", "WINDOWS",
             ["C:\\WINDOWS (from the default; C:\\MSDOS.SYS names no [Paths] WinDir)"]),
        ]:
            with self.subTest(name):
                drive = self.drive(msdos_sys, windows)
                result = run("--drive", "C=" + drive)
                self.assertEqual(result.returncode, 0, result.stderr)
                for line in expected:
                    self.assertIn(line, text(result))
                shutil.rmtree(drive)

    def test_driver_files_already_in_place(self):
        drive = self.drive()
        owc = os.path.join(drive, "DRV", "owc")
        windows = os.path.join(drive, "WINDOWS")
        shutil.copy(os.path.join(owc, "iusb2.inf"), os.path.join(windows, "inf", "iusb2.inf"))
        with open(os.path.join(windows, "system32", "drivers", "iusbehci.sys"), "wb") as f:
            f.write(b"an older driver")
        result = run("--drive", "C=" + drive, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        states = [(f["destination"], f["state"], f["installed_size"])
                  for f in json.loads(result.stdout)["machine"]["driver_files"]]
        self.assertEqual(states, [
            ("C:\\WINDOWS\\inf\\iusb2.inf", "in place", 682),
            ("C:\\WINDOWS\\system32\\drivers\\iusbehci.sys", "different", 15),
            ("C:\\WINDOWS\\system32\\drivers\\iusb2hub.sys", "absent", 0),
        ])

    def test_bad_installations(self):
        for name, msdos_sys, windows, layers, message in [
            ("missing SYSTEM.DAT", None, "WINDOWS", None,
             "no registry: C:\\WINDOWS\\SYSTEM.DAT is missing"),
            ("WinDir not a path", b"[Paths]\r\nWinDir=WINDOWS\r\n", "WINDOWS", [VERSION_98SE],
             "C:\\MSDOS.SYS: line 2: WinDir=WINDOWS is not a full Windows path"),
            ("WinDir names no folder", b"[Paths]\r\nWinDir=C:\\WIN98\r\n", "WINDOWS",
             [VERSION_98SE], "there is no Windows folder C:\\WIN98"),
        ]:
            with self.subTest(name):
                drive = self.drive(msdos_sys, windows, layers)
                self.refused(["--drive", "C=" + drive], message)
                shutil.rmtree(drive)

    def test_corrupt_system_dat_on_drive(self):
        drive = self.drive()
        path = os.path.join(drive, "WINDOWS", "SYSTEM.DAT")
        with open(path, "r+b") as f:
            f.truncate(100)
        self.refused(["--drive", "C=" + drive], "C:\\WINDOWS\\SYSTEM.DAT on drive C: (" + drive)

    def test_apply_refused(self):
        drive = self.drive()
        self.refused(["--drive", "C=" + drive, "--apply", "--answer", "ok"],
                     "C:\\WINDOWS\\SYSTEM.DAT is the registry file of a real Windows 98/Me")


if __name__ == "__main__":
    unittest.main()
