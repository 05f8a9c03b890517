#!/usr/bin/env python3
"""kestrow-sim --apply as a user (or an attacker) meets it: each case is a
machine set up in a temporary folder, a command line, the exit code and
what must hold afterwards, on disk and in the report.

Paths come from the environment, as for tests/cli/test_kestrow_sim.py.
"""
import os
import pty
import shutil
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "cli"))
from test_kestrow_sim import (CONTROLLER_KEY, KESTROW_SIM, MACHINES,  # noqa: E402
                              UNATTENDED_TAIL, TempMachineCase, read_until_prompt, run, text,
                              tree_state)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def lines(data):
    return data.splitlines(keepends=True)


def is_merge(whole, part, rest):
    """whole's lines are part's and rest's lines, each kept in order."""
    part, rest = lines(part), lines(rest)
    for line in lines(whole):
        if part and part[0] == line:
            part.pop(0)
        elif rest and rest[0] == line:
            rest.pop(0)
        else:
            return False
    return not part and not rest


def undo_body(undo):
    """The undo file without its REGEDIT4 line and header comment."""
    return undo.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in undo else undo.split(b"\n\n", 1)[1]


class ApplyCase(TempMachineCase):
    def setUp(self):
        self.folder = self.copy_machine("win98se")
        self.registry = os.path.join(self.folder, "registry.reg")
        self.drive = os.path.join(self.folder, "drive_c")

    def apply(self, *args, machine=None):
        return run("--machine", machine or self.folder, "--apply", "--answer", "ok", *args)


class SeenTest(ApplyCase):
    """Each row: a fault seen in --apply, set up, run, and what must hold."""

    # ---- set-ups: each returns the extra command-line arguments ----------
    def leftovers_of_a_killed_run(self):
        write(os.path.join(self.folder, ".kestrow-tmp.registry.reg"), b"half")
        write(os.path.join(self.drive, "WINDOWS", "inf", ".kestrow-tmp-a1B2c3"), b"half")
        return []

    def registry_fifo(self):
        os.mkfifo(os.path.join(self.tmp, "pci.reg"))
        return ["--registry", os.path.join(self.tmp, "pci.reg")]

    def registry_fifo_named_with_control_bytes(self):
        os.mkfifo(os.path.join(self.tmp, "pci\x1b[2J\x07.reg"))
        return ["--registry", os.path.join(self.tmp, "pci\x1b[2J\x07.reg")]

    def registry_device(self):
        return ["--registry", "/dev/null"]

    def registry_symlink(self):
        shared = os.path.join(self.tmp, "shared.reg")
        shutil.copy(self.registry, shared)
        os.symlink(shared, os.path.join(self.tmp, "link.reg"))
        return ["--registry", os.path.join(self.tmp, "link.reg")]

    def readme_example(self):
        self.sample_before = tree_state(os.path.join(MACHINES, "win98se"))
        self.folder = os.path.join(MACHINES, "win98se")  # the default machine
        # A C: drive alone is now read as an installation of its own; the
        # sample's registry given by name is what the old example changed.
        return ["--registry", os.path.join(self.folder, "registry.reg"),
                "--drive", "C=" + self.drive, "--cwd", "C:\\DRV"]

    def big5_export_on_a_western_machine(self):
        shutil.copy(os.path.join(MACHINES, "win98se-cp950", "registry.reg"), self.registry)
        return []

    def comments_deletions_and_lf(self):
        data = read(self.registry).replace(b"\r\n", b"\n")
        data = data.replace(b"REGEDIT4\n", b"REGEDIT4\n; exported for the test\n"
                            b"[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n", 1)
        data += (b"\n[HKEY_LOCAL_MACHINE\\Software\\Kept]\n"
                 b"\"old\"=-\n; kept too\n\"caf\xe9\"=\"\xe9\"\n")
        write(self.registry, data)
        return []

    def owned_by_another_user(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to give files to another user")
        inf = os.path.join(self.drive, "WINDOWS", "inf", "iusb2.inf")
        write(inf, b"an older iusb2.inf\r\n")
        for path, mode in ((self.registry, 0o640), (inf, 0o604)):
            os.chown(path, 1234, 2345)
            os.chmod(path, mode)
        os.chown(self.folder, 1234, 2345)
        return []

    def driver_file_linking_out(self):
        self.secret = os.path.join(self.tmp, "secret.inf")
        write(self.secret, b"not the machine's\r\n")
        os.symlink(self.secret, os.path.join(self.drive, "WINDOWS", "inf", "iusb2.inf"))
        return []

    def registry_is_also_an_output(self):
        shutil.copy(self.registry, os.path.join(self.drive, "csb.log"))
        return ["--registry", os.path.join(self.drive, "csb.log"), "--", *UNATTENDED_TAIL]

    # ---- checks -----------------------------------------------------------
    def nothing_written(self, result, before):
        self.assertEqual(tree_state(self.folder), before)

    def leftovers_removed(self, result, before):
        leftover = os.path.join(self.folder, ".kestrow-tmp.registry.reg")
        self.assertIn("removed leftover of an earlier run: " + leftover, text(result))
        self.assertIn(".kestrow-tmp-a1B2c3", text(result))
        for parent, _, files in os.walk(self.folder):
            self.assertEqual([f for f in files if f.startswith(".kestrow-tmp")], [], parent)

    def fifo_kept(self, result, before):
        self.assertTrue(stat.S_ISFIFO(os.lstat(os.path.join(self.tmp, "pci.reg")).st_mode))
        self.assertIn("a FIFO, not a regular file", result.stderr.decode())
        self.nothing_written(result, before)

    def name_escaped(self, result, before):
        self.assertNotIn(b"\x1b", result.stderr)
        self.assertNotIn(b"\x07", result.stderr)
        self.assertIn("pci\\x1B[2J\\x07.reg: a FIFO, not a regular file", result.stderr.decode())
        self.nothing_written(result, before)

    def device_refused(self, result, before):
        self.assertIn("a device, not a regular file", result.stderr.decode())
        self.nothing_written(result, before)

    def link_followed(self, result, before):
        link, shared = os.path.join(self.tmp, "link.reg"), os.path.join(self.tmp, "shared.reg")
        self.assertTrue(os.path.islink(link))
        self.assertNotIn(b"DEV_24CD", read(shared))
        self.assertIn("registry file " + link + " (the file " + shared + " it links to)",
                      text(result))
        self.assertTrue(os.path.exists(os.path.join(self.tmp, "shared.undo.reg")))

    def sample_untouched(self, result, before):
        self.assertIn("cp -r " + os.path.realpath(os.path.join(MACHINES, "win98se")), text(result))
        self.assertEqual(tree_state(os.path.join(MACHINES, "win98se")), self.sample_before)
        self.assertFalse(os.path.exists(os.path.join(self.drive, "WINDOWS", "inf", "iusb2.inf")))

    def only_the_sections_removed(self, result, before):
        old = read(os.path.join(MACHINES, "win98se-cp950", "registry.reg"))
        new = read(self.registry)
        undo = read(os.path.join(self.folder, "registry.undo.reg"))
        self.assertNotIn(b"DEV_24CD", new)
        self.assertTrue(is_merge(old, new, undo_body(undo)))

    def every_other_byte_kept(self, result, before):
        new = read(self.registry)
        self.assertNotIn(b"\r", new)
        for kept in (b"; exported for the test\n", b"[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n",
                     b"\"old\"=-\n; kept too\n\"caf\xe9\"=\"\xe9\"\n"):
            self.assertIn(kept, new)
        undo = read(os.path.join(self.folder, "registry.undo.reg"))
        self.assertTrue(undo.startswith(b"REGEDIT4\n;"))
        self.assertIn(b"\n[" + CONTROLLER_KEY.encode() + b"]\n", undo)

    def owner_kept(self, result, before):
        inf = os.path.join(self.drive, "WINDOWS", "inf", "iusb2.inf")
        undo = os.path.join(self.folder, "registry.undo.reg")
        backup = os.path.join(self.folder, "registry.undo.files", "C", "WINDOWS", "inf",
                              "iusb2.inf")
        for path, mode in ((self.registry, 0o640), (undo, 0o640), (inf, 0o604), (backup, 0o604)):
            info = os.lstat(path)
            self.assertEqual((info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)),
                             (1234, 2345, mode), path)
        self.assertEqual(read(backup), b"an older iusb2.inf\r\n")
        # Folders made by root go to the owner of the folder they are in.
        for folder in ("registry.undo.files", "registry.undo.files/C/WINDOWS/inf"):
            info = os.lstat(os.path.join(self.folder, folder))
            self.assertEqual((info.st_uid, info.st_gid), (1234, 2345), folder)
        self.assertIn(b"registry.undo.files", read(undo))

    def link_not_followed(self, result, before):
        link = os.path.join(self.drive, "WINDOWS", "inf", "iusb2.inf")
        self.assertIn(link + " is a symbolic link that leads out of the drive folder "
                      + self.drive + " (to " + self.secret + ")", text(result))
        self.assertEqual(os.readlink(link), self.secret)
        self.assertEqual(read(self.secret), b"not the machine's\r\n")
        self.nothing_written(result, before)

    def input_kept(self, result, before):
        self.assertIn("is also the registry file read", text(result))
        self.nothing_written(result, before)

    # A drive file that cannot be written after the checks passed (a full
    # or read-only partition, a kill) is the fault sweep's part, in
    # apply_fault_sweep_test.cpp: the program sees a missing folder itself.
    CASES = [
        # (what was seen, set-up, exit code, check)
        ("temporary files left forever", leftovers_of_a_killed_run, 0, leftovers_removed),
        ("a FIFO replaced by a file", registry_fifo, 1, fifo_kept),
        ("a device replaced by a file", registry_device, 1, device_refused),
        ("control bytes of a refused registry's name sent to the terminal",
         registry_fifo_named_with_control_bytes, 1, name_escaped),
        ("a symlink cut loose", registry_symlink, 0, link_followed),
        ("the README's example rewrites the sample", readme_example, 1, sample_untouched),
        ("Big5 names re-escaped on a 1252 machine", big5_export_on_a_western_machine, 0,
         only_the_sections_removed),
        ("comments, [-key], \"name\"=- and LF dropped", comments_deletions_and_lf, 0,
         every_other_byte_kept),
        ("files given to root", owned_by_another_user, 0, owner_kept),
        ("the registry file is also an output", registry_is_also_an_output, 1, input_kept),
        ("a driver file's link out of the drive written through", driver_file_linking_out, 1,
         link_not_followed),
    ]

    def test_seen(self):
        for name, set_up, code, check in self.CASES:
            with self.subTest(name):
                self.setUp()
                args = set_up(self)
                before = tree_state(self.folder)
                result = self.apply(*args)
                self.assertEqual(result.returncode, code, text(result) + result.stderr.decode())
                check(self, result, before)

    def test_registry_changed_at_the_prompt(self):
        # Lost update: the registry file is changed by someone else while
        # the tool waits for an answer on the terminal.
        self.setUp()
        before = tree_state(self.folder)
        master, slave = pty.openpty()
        try:
            process = subprocess.Popen([KESTROW_SIM, "--machine", self.folder, "--apply"],
                                       stdin=slave, stdout=subprocess.PIPE, stderr=slave)
            read_until_prompt(master)
            with open(self.registry, "ab") as f:
                f.write(b"\r\n[HKEY_LOCAL_MACHINE\\Software\\AddedMeanwhile]\r\n")
            changed = read(self.registry)
            os.write(master, b"ok\n")
            out, _ = process.communicate(timeout=20)
        finally:
            os.close(master)
            os.close(slave)
        self.assertEqual(process.returncode, 1, out.decode())
        self.assertIn("changed after it was read", out.decode())
        self.assertEqual(read(self.registry), changed)
        after = tree_state(self.folder)
        del before["registry.reg"], after["registry.reg"]
        self.assertEqual(after, before)


if __name__ == "__main__":
    unittest.main()
