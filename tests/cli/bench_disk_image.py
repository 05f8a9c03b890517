#!/usr/bin/env python3
"""Times kestrow-sim from the command to the report on a 2 GB sparse raw
disk image (one FAT32 partition holding a Windows installation) and on its
VHD, and prints the figures with those of `kestrow-sim --bench` on the
default machine. A benchmark, not a test: it prints, it does not judge.

Environment as for test_disk_image.py; RUNS sets the runs per image.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_disk_image as images  # noqa: E402
from test_kestrow_sim import KESTROW_SIM  # noqa: E402
from test_offline_machine import TO_CREG  # noqa: E402

RUNS = int(os.environ.get("RUNS", "20"))


def main():
    tmp = tempfile.mkdtemp(prefix="kestrow-image-bench-")
    try:
        registry = os.path.join(tmp, "registry.reg")
        with open(os.path.join(images.MACHINES, "win98se", "registry.reg"), "rb") as f:
            body = f.read()
        with open(registry, "wb") as f:
            f.write(body + b"\r\n" + images.VERSION_98SE.encode("cp1252"))
        system_dat = os.path.join(tmp, "SYSTEM.DAT")
        subprocess.run([TO_CREG, system_dat, registry], check=True, timeout=60)
        with open(system_dat, "rb") as f:
            files = {"MSDOS.SYS": images.MSDOS_SYS, "WINDOWS/SYSTEM.DAT": f.read(),
                     "WINDOWS/inf/README.TXT": b"inf\r\n",
                     "WINDOWS/system32/drivers/README.TXT": b"drivers\r\n"}
        raw = images.make_image(os.path.join(tmp, "win98.img"),
                                [images.Partition(images.FAT32_LBA, 2046, 32, "WIN98", files)])
        vhd = os.path.join(tmp, "win98.vhd")
        images.tool("qemu-img", "convert", "-f", "raw", "-O", "vpc", raw, vhd)

        bench = subprocess.run([KESTROW_SIM, "--bench", "2000"], capture_output=True, check=True,
                               timeout=120)
        print(bench.stdout.decode().strip())
        for name, path in [("2 GB sparse raw image", raw), ("its VHD", vhd)]:
            times = []
            for _ in range(RUNS):
                start = time.perf_counter()
                result = images.run("--image", path, "--drive", "D=" + images.DRIVER_SET,
                                    "--cwd", "D:\\", "--answer", "ok")
                times.append(time.perf_counter() - start)
                if result.returncode != 0 or b"Registry key deleted: HKEY" not in result.stdout:
                    raise SystemExit("kestrow-sim --image failed: " + result.stderr.decode())
            print("kestrow-sim --image, %s (%d bytes on disk): median %.1f ms, "
                  "slowest %.1f ms over %d runs, process start included"
                  % (name, os.stat(path).st_blocks * 512, statistics.median(times) * 1000,
                     max(times) * 1000, RUNS))
            in_process = subprocess.run(
                [KESTROW_SIM, "--image", path, "--drive", "D=" + images.DRIVER_SET, "--cwd",
                 "D:\\", "--answer", "ok", "--bench", str(RUNS)],
                capture_output=True, check=True, timeout=120)
            print("  in process: " + in_process.stdout.decode().strip())
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
