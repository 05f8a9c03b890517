#!/usr/bin/env python3
"""kestrow-sim --image: drive C: read from a whole-disk image (raw, VHD,
VMDK). The images are made here, without mounting anything: a sparse file,
an MBR written by hand, FAT volumes made by mkfs.fat at their offsets and
filled with mtools; qemu-img turns them into VHD and VMDK.

Paths come from the environment (ctest sets them), as for
test_offline_machine.py.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_kestrow_sim import CONTROLLER_KEY, MACHINES, run, text, tree_state  # noqa: E402
from test_offline_machine import VERSION_98SE, OfflineCase  # noqa: E402

SECTOR = 512
MB = 1024 * 1024
DRIVER_SET = os.path.join(MACHINES, "win98se", "drive_c", "DRV")
MSDOS_SYS = b"[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\n"

# MBR partition types.
FAT16_LBA = 0x0E
FAT32_LBA = 0x0C
LINUX = 0x83


# mkfs.fat lives in /usr/sbin, which is not on every user's PATH.
TOOL_PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"


def tool(*args):
    subprocess.run(args, check=True, capture_output=True, timeout=60,
                   env=dict(os.environ, PATH=TOOL_PATH))


class Partition:
    """One MBR entry (or, logical set, one in the extended partition): its
    type, size, and (fat set) a FAT volume holding `files`, a dict of
    path -> bytes (folders made on the way)."""

    def __init__(self, mbr_type, size_mb, fat=None, label="DISK", files=None, logical=False):
        self.mbr_type = mbr_type
        self.size_mb = size_mb
        self.fat = fat
        self.label = label
        self.files = files or {}
        self.logical = logical


def table_entry(mbr_type, start_sector, sectors, boot=False):
    return struct.pack("<B3sB3sII", 0x80 if boot else 0, b"\xfe\xff\xff", mbr_type,
                       b"\xfe\xff\xff", start_sector, sectors)


def make_image(path, partitions, bare=False):
    """A sparse raw image with the primary partitions one after the other
    from 1 MB on, then an extended partition holding the logical ones, each
    after its 1 MB table; `bare` makes the image one FAT volume without a
    table."""
    order = [i for i, p in enumerate(partitions) if not p.logical] + \
        [i for i, p in enumerate(partitions) if p.logical]
    offsets = [0] * len(partitions)
    start = 0 if bare else MB
    extended = None
    for i in order:
        if partitions[i].logical:
            if extended is None:
                extended = start
            start += MB  # its extended table
        offsets[i] = start
        start += partitions[i].size_mb * MB
    with open(path, "wb") as f:
        f.truncate(start + MB)
    if not bare:
        mbr = bytearray(SECTOR)
        primaries = [i for i in order if not partitions[i].logical]
        logicals = [i for i in order if partitions[i].logical]
        entries = [table_entry(partitions[i].mbr_type, offsets[i] // SECTOR,
                               partitions[i].size_mb * MB // SECTOR, n == 0)
                   for n, i in enumerate(primaries)]
        if logicals:
            entries.append(table_entry(0x0F, extended // SECTOR, (start - extended) // SECTOR))
        for n, entry in enumerate(entries):
            mbr[446 + 16 * n:462 + 16 * n] = entry
        tables = [(0, mbr)]
        for n, i in enumerate(logicals):
            ebr = bytearray(SECTOR)
            ebr[446:462] = table_entry(partitions[i].mbr_type, MB // SECTOR,
                                       partitions[i].size_mb * MB // SECTOR)
            if n + 1 < len(logicals):
                following = logicals[n + 1]
                ebr[462:478] = table_entry(0x05, (offsets[following] - MB - extended) // SECTOR,
                                           (MB + partitions[following].size_mb * MB) // SECTOR)
            tables.append((offsets[i] - MB, ebr))
        with open(path, "r+b") as f:
            for offset, table in tables:
                table[510:512] = b"\x55\xaa"
                f.seek(offset)
                f.write(table)
    staging = tempfile.mkdtemp(prefix="kestrow-image-files-")
    try:
        for p, offset in zip(partitions, offsets):
            if p.fat is None:
                continue
            tool("mkfs.fat", "-F", str(p.fat), "-n", p.label, "--offset", str(offset // SECTOR),
                 "-h", str(offset // SECTOR), path, str(p.size_mb * 1024))
            volume = "%s@@%d" % (path, offset)
            folders = set()
            for name in sorted(p.files):
                parts = name.split("/")
                for depth in range(1, len(parts)):
                    folder = "/".join(parts[:depth])
                    if folder not in folders:
                        tool("mmd", "-i", volume, "::" + folder)
                        folders.add(folder)
                local = os.path.join(staging, "file")
                with open(local, "wb") as f:
                    f.write(p.files[name])
                tool("mcopy", "-i", volume, local, "::" + name)
    finally:
        shutil.rmtree(staging)
    return path


class DiskImageCase(OfflineCase):
    def windows_files(self, windows="WINDOWS", msdos_sys=MSDOS_SYS, system_dat=True):
        """The files of a Windows installation: MSDOS.SYS, the Windows folder
        with SYSTEM.DAT (the sample registry, with the controller)."""
        files = {windows + "/inf/README.TXT": b"inf folder\r\n",
                 windows + "/system32/drivers/README.TXT": b"drivers folder\r\n"}
        if msdos_sys is not None:
            files["MSDOS.SYS"] = msdos_sys
        if system_dat:
            dat = self.system_dat(os.path.join(self.tmp, "dat", windows, "SYSTEM.DAT"),
                                  VERSION_98SE)
            with open(dat, "rb") as f:
                files[windows + "/SYSTEM.DAT"] = f.read()
        return files

    def image(self, name, partitions, **options):
        return make_image(os.path.join(self.tmp, name), partitions, **options)

    def run_image(self, image, *args):
        """kestrow-sim on the image with the sample driver set as D:; the
        image must come out of it unchanged."""
        before = tree_state(self.tmp)
        result = run("--image", image, "--drive", "D=" + DRIVER_SET, "--cwd", "D:\\", *args)
        self.assertEqual(tree_state(self.tmp), before)
        return result


class ImageRunTest(DiskImageCase):
    def test_installations(self):
        driver = "-> C:\\WINDOWS\\inf\\iusb2.inf (682 bytes, new)"
        cases = [
            # name, partitions, options, lines expected
            ("one FAT16 partition",
             [Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files())], [],
             ["Windows registry file (CREG)", "partition 1 at byte 1048576",
              "Kestrow on a simulated Windows 98 SE 4.10.2222", driver,
              "Registry key deleted: " + CONTROLLER_KEY]),
            ("FAT32, another WinDir, long names",
             [Partition(FAT32_LBA, 40, 32, "WIN98", self.windows_files(
                 "Win 98", b"[Paths]\r\nWinDir=C:\\Win 98\r\n"))], [],
             ["C:\\Win 98\\SYSTEM.DAT", "C:\\Win 98 (from C:\\MSDOS.SYS [Paths] WinDir (line 2))",
              "-> C:\\Win 98\\inf\\iusb2.inf (682 bytes, new)",
              "Registry key deleted: " + CONTROLLER_KEY]),
            ("a data partition, then Windows",
             [Partition(FAT16_LBA, 16, 16, "DATA", {"data.txt": b"x"}),
              Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files())], [],
             ["partition 2 at byte 17825792", driver]),
            ("Windows on a logical partition",
             [Partition(FAT16_LBA, 16, 16, "DATA", {"data.txt": b"x"}),
              Partition(FAT16_LBA, 16, 16, "MORE", {"more.txt": b"x"}, logical=True),
              Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files(), logical=True)], [],
             ["partition 6 at byte %d" % (35 * MB), driver]),
            ("two installations, one chosen",
             [Partition(FAT16_LBA, 32, 16, "ONE", self.windows_files()),
              Partition(FAT16_LBA, 32, 16, "TWO", self.windows_files())], ["--partition", "2"],
             ["partition 2 at byte 34603008", driver]),
            ("no partition table",
             [Partition(0, 32, 16, "BARE", self.windows_files())], [],
             ["partition 0 at byte 0", driver]),
            ("no SYSTEM.DAT, another registry given",
             [Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files(system_dat=False))],
             ["--partition", "1", "--registry", os.path.join(MACHINES, "win98se", "registry.reg")],
             ["Registry file:    " + os.path.join(MACHINES, "win98se", "registry.reg") +
              ", REGEDIT4", "Registry key deleted: " + CONTROLLER_KEY, driver]),
        ]
        for name, partitions, args, expected in cases:
            with self.subTest(name):
                image = self.image(name.replace(" ", "_") + ".img", partitions,
                                   bare=name == "no partition table")
                result = self.run_image(image, *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                for line in expected:
                    self.assertIn(line, text(result))
                os.unlink(image)

    def test_vhd_and_vmdk_give_the_raw_image_report(self):
        raw = self.image("disk.img", [Partition(FAT16_LBA, 32, 16, "WIN98",
                                                self.windows_files())])
        reports = {}
        for name, format_ in [("disk.img", None), ("disk.vhd", "vpc"), ("disk.vmdk", "vmdk")]:
            path = os.path.join(self.tmp, name)
            if format_:
                tool("qemu-img", "convert", "-f", "raw", "-O", format_, raw, path)
            result = self.run_image(path, "--answer", "ok")
            self.assertEqual(result.returncode, 0, result.stderr)
            reports[name] = text(result).replace(path, "IMAGE")
        self.assertIn("Registry key deleted: " + CONTROLLER_KEY, reports["disk.img"])
        self.assertEqual(reports["disk.vhd"], reports["disk.img"])
        self.assertEqual(reports["disk.vmdk"], reports["disk.img"])

    def test_json_names_image_and_partition(self):
        image = self.image("disk.img", [Partition(FAT16_LBA, 16, 16, "DATA", {"a.txt": b"a"}),
                                        Partition(FAT16_LBA, 32, 16, "WIN98",
                                                  self.windows_files())])
        result = self.run_image(image, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        registry = json.loads(result.stdout)["machine"]["registry"]
        self.assertEqual((registry["file"], registry["image"], registry["partition"],
                          registry["partition_offset"]),
                         ("C:\\WINDOWS\\SYSTEM.DAT", image, 2, 17 * MB))
        self.assertIn("--image FILE [--partition N]", text(run("--help")))


class BadImageTest(DiskImageCase):
    def refused_image(self, image, args, messages):
        result = self.run_image(image, *args)
        self.assertEqual(result.returncode, 2, text(result))
        self.assertEqual(result.stdout, b"")
        for message in messages:
            self.assertIn(message, result.stderr.decode())

    def test_partitions_that_do_not_qualify(self):
        windows = Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files())
        cases = [
            # name, partitions, options, messages
            ("none is FAT", [Partition(LINUX, 8)], [],
             ["no FAT partition holds a Windows 98/Me installation",
              "partition 1 (offset 1048576, 8.0 MB, type Linux (0x83), no FAT file system)"]),
            ("two installations", [windows, windows], [],
             ["2 partitions hold a Windows installation; choose one with --partition N",
              "partition 1 (offset 1048576, 32.0 MB, type Win95 FAT16 (0x0e), FAT16, "
              "label WIN98): holds Windows",
              "partition 2 (offset 34603008"]),
            ("missing SYSTEM.DAT",
             [Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files(system_dat=False))], [],
             ["no C:\\WINDOWS\\SYSTEM.DAT"]),
            ("no MSDOS.SYS",
             [Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files(msdos_sys=None))], [],
             ["no MSDOS.SYS in its root"]),
            ("missing SYSTEM.DAT on the partition given",
             [Partition(FAT16_LBA, 32, 16, "WIN98", self.windows_files(system_dat=False))],
             ["--partition", "1"], ["drive C: (" + "{image} partition 1): no registry: "
                                    "C:\\WINDOWS\\SYSTEM.DAT is missing"]),
            ("no such partition", [windows], ["--partition", "3"],
             ["there is no partition 3 (there are: 1)"]),
            ("a partition that is no FAT volume", [windows, Partition(LINUX, 8)],
             ["--partition", "2"], ["partition 2: no FAT file system can be read there"]),
        ]
        for name, partitions, args, messages in cases:
            with self.subTest(name):
                image = self.image(name.replace(" ", "_") + ".img", partitions)
                self.refused_image(image, args,
                                   [image] + [m.format(image=image) for m in messages])
                os.unlink(image)

    def test_damaged_files(self):
        whole = self.image("whole.img", [Partition(FAT16_LBA, 32, 16, "WIN98",
                                                   self.windows_files())])
        truncated = os.path.join(self.tmp, "truncated.img")
        with open(whole, "rb") as f, open(truncated, "wb") as out:
            out.write(f.read(8 * MB))
        not_an_image = os.path.join(self.tmp, "notes.txt")
        with open(not_an_image, "wb") as f:
            f.write(b"This is a text file, not a disk image.\n" * 40)
        for image, args, messages in [
            (truncated, [], ["it ends beyond the end of the image (8388608 bytes): "
                             "the image is truncated"]),
            (truncated, ["--partition", "1"], [truncated + " partition 1: it ends beyond"]),
            (not_an_image, [], [not_an_image + " (raw image): neither an MBR partition table "
                                "nor a FAT volume"]),
            (os.path.join(self.tmp, "missing.img"), [], ["missing.img: No such file"]),
        ]:
            with self.subTest(os.path.basename(image) + " " + " ".join(args)):
                self.refused_image(image, args, messages)

    def test_options(self):
        image = self.image("disk.img", [Partition(FAT16_LBA, 32, 16, "WIN98",
                                                  self.windows_files())])
        for args, message in [
            (["--apply", "--answer", "ok"], "--apply refused: " + image + " is a disk image"),
            (["--drive", "C=" + DRIVER_SET], "--image gives drive C:; --drive C="),
        ]:
            with self.subTest(" ".join(args)):
                self.refused_image(image, args, [message])
        result = run("--partition", "1")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--partition goes with --image", result.stderr.decode())


if __name__ == "__main__":
    unittest.main()
