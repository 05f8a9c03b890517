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
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_kestrow_sim import CONTROLLER_KEY, KESTROW_SIM, MACHINES, run, text  # noqa: E402

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


def light_state(folder):
    """tree_state, but files over 100 MB (sparse ones made by the tests) by
    their metadata alone."""
    state = {}
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            digest = None
            if stat.S_ISREG(info.st_mode) and info.st_size < 100 << 20:
                with open(path, "rb") as f:
                    digest = hash(f.read())
            state[os.path.relpath(path, folder)] = (info.st_mode, info.st_size,
                                                    info.st_mtime_ns, digest)
    return state


def sparse_creg(path, size):
    """A file with a CREG header and then zeros up to `size` bytes, sparse."""
    with open(path, "wb") as f:
        f.write(b"CREG" + bytes(28))
        f.truncate(size)
    return path


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
        before = light_state(self.tmp)
        result = run(*args)
        self.assertEqual(result.returncode, 2, text(result))
        self.assertIn(message, result.stderr.decode())
        self.assertEqual(result.stdout, b"")
        self.assertEqual(light_state(self.tmp), before)


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
            # The key navigation block's first entry offset (file offset
            # 0x28): in the middle of the root's entry, or at a key below it.
            ("first entry misaligned", data[:0x28] + b"\x24\0\0\0" + data[0x2C:],
             "points to offset 0x24 of the key navigation block, which is no entry boundary"),
            ("first entry a leaf", data[:0x28] + b"\x3c\0\0\0" + data[0x2C:],
             "is no root: it names the entry at 0x20 as its parent"),
        ]:
            with self.subTest(name):
                path = os.path.join(self.tmp, name.replace(" ", "_") + ".DAT")
                with open(path, "wb") as f:
                    f.write(damaged)
                self.refused(["--registry", path], path + ": ")
                self.refused(["--registry", path], message)

    def test_what_is_no_registry_file(self):
        fifo = os.path.join(self.tmp, "fifo")
        os.mkfifo(fifo)
        zero = os.path.join(self.tmp, "zero")
        os.symlink("/dev/zero", zero)
        huge = sparse_creg(os.path.join(self.tmp, "HUGE.DAT"), 3 << 30)
        for path, message in [
            (fifo, "it is a named pipe (FIFO), not a regular file"),
            (self.tmp, "it is a folder, not a regular file"),
            ("/dev/null", "it is a character device, not a regular file"),
            (zero, "it is a character device, not a regular file"),
            (huge, "3221225472 bytes, more than the 64 MiB a registry file is read up to"),
        ]:
            with self.subTest(path):
                self.refused(["--registry", path], path + ": " + message)

    def test_read_without_proc(self):
        # /proc hidden in a mount namespace of the test's own, as in a
        # chroot or a minimal container.
        dat = self.system_dat(os.path.join(self.tmp, "SYSTEM.DAT"), VERSION_98SE)
        with open(KESTROW_SIM, "rb") as f:
            if b"__asan_init" in f.read():
                # It reads its options and checks for leaks through /proc.
                self.skipTest("a build with AddressSanitizer needs /proc itself")
        script = 'mount -t tmpfs none /proc && exec "$0" "$@"'
        try:
            result = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
                                     script, KESTROW_SIM, "--registry", dat],
                                    capture_output=True, timeout=30)
        except FileNotFoundError:
            self.skipTest("unshare is not installed")
        if b"mount" in result.stderr or b"unshare" in result.stderr:
            self.skipTest("no mount namespace here: " + result.stderr.decode())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Registry key deleted: " + CONTROLLER_KEY, text(result))

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

    def test_what_stands_in_place_of_a_file_or_folder(self):
        outside = os.path.join(self.tmp, "outside")

        def fifo(path):
            os.mkfifo(path)

        def link(target):
            return lambda path: os.symlink(target, path)

        def huge(size):
            return lambda path: sparse_creg(path, size)

        def link_to_pipe(path):
            fifo(os.path.join(os.path.dirname(path), "pipe"))
            os.symlink("pipe", path)

        for name, where, make, message in [
            ("SYSTEM.DAT a named pipe", "WINDOWS/SYSTEM.DAT", fifo,
             "no registry: C:\\WINDOWS\\SYSTEM.DAT is a named pipe (FIFO), not a file"),
            ("SYSTEM.DAT a folder", "WINDOWS/SYSTEM.DAT", os.mkdir,
             "C:\\WINDOWS\\SYSTEM.DAT is a folder, not a file"),
            ("SYSTEM.DAT a link to /etc/passwd", "WINDOWS/SYSTEM.DAT", link("/etc/passwd"),
             "C:\\WINDOWS\\SYSTEM.DAT is a symbolic link leading out of {drive} (to /etc/passwd), "
             "which is not followed"),
            ("SYSTEM.DAT a link to /dev/zero", "WINDOWS/SYSTEM.DAT", link("/dev/zero"),
             "(to /dev/zero), which is not followed"),
            ("SYSTEM.DAT a link to a named pipe in the drive", "WINDOWS/SYSTEM.DAT", link_to_pipe,
             "C:\\WINDOWS\\SYSTEM.DAT is a symbolic link to {real}/WINDOWS/pipe, "
             "a named pipe (FIFO)"),
            ("SYSTEM.DAT of 3 GB", "WINDOWS/SYSTEM.DAT", huge(3 << 30),
             "C:\\WINDOWS\\SYSTEM.DAT: 3221225472 bytes, more than the 64 MiB"),
            ("WINDOWS a link out of the drive", "WINDOWS", link(outside),
             "the Windows folder C:\\WINDOWS (from the default; there is no C:\\MSDOS.SYS) cannot "
             "be used: C:\\WINDOWS is a symbolic link leading out of {drive} (to {outside}), which "
             "is not followed"),
            ("MSDOS.SYS a named pipe", "MSDOS.SYS", fifo,
             "C:\\MSDOS.SYS is a named pipe (FIFO), not a file; where Windows is cannot be told"),
            ("MSDOS.SYS of 2 MiB", "MSDOS.SYS", huge(2 << 20),
             "C:\\MSDOS.SYS: 2097152 bytes, more than an MSDOS.SYS can be (at most 1024 KiB"),
        ]:
            with self.subTest(name):
                drive = self.drive()
                shutil.copytree(os.path.join(drive, "WINDOWS"), outside)
                path = os.path.join(drive, where)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                elif os.path.lexists(path):
                    os.remove(path)
                make(path)
                self.refused(["--drive", "C=" + drive], message.format(
                    drive=drive, real=os.path.realpath(drive), outside=outside))
                shutil.rmtree(drive)
                shutil.rmtree(outside)

    def test_link_inside_the_drive_is_followed(self):
        drive = self.drive()
        os.rename(os.path.join(drive, "WINDOWS"), os.path.join(drive, "WIN98"))
        os.symlink("WIN98", os.path.join(drive, "WINDOWS"))
        result = run("--drive", "C=" + drive)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Registry:     C:\\WINDOWS\\SYSTEM.DAT", text(result))
        self.assertIn("-> C:\\WINDOWS\\inf\\iusb2.inf (682 bytes, new)", text(result))

    def test_double_byte_windows_folder(self):
        # A Windows folder named by one double-byte character whose trail
        # byte is 0x5C, the byte of a backslash.
        for code_page, name, shown in [(932, b"\x83\x5c", "\u30bd"), (950, b"\xa5\x5c", "\u529f")]:
            for win_dir in [b"C:\\" + name, b"C:\\" + name + b"\\"]:
                with self.subTest(code_page=code_page, win_dir=win_dir):
                    drive = self.drive(b"[Paths]\r\nWinDir=" + win_dir + b"\r\n")
                    os.rename(os.path.join(drive, "WINDOWS").encode(),
                              os.path.join(drive.encode(), name))
                    result = run("--drive", "C=" + drive, "--codepage", str(code_page), "--json")
                    self.assertEqual(result.returncode, 0, result.stderr)
                    report = json.loads(result.stdout)
                    self.assertEqual(report["machine"]["windows_directory"], "C:\\" + shown)
                    self.assertEqual(report["machine"]["registry"]["file"],
                                     "C:\\" + shown + "\\SYSTEM.DAT")
                    self.assertEqual([f["destination_bytes"].encode("latin-1")
                                      for f in report["files_placed"]][0],
                                     b"C:\\" + name + b"\\inf\\iusb2.inf")
                    self.assertEqual(report["keys_deleted"][0]["path"], CONTROLLER_KEY)
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
