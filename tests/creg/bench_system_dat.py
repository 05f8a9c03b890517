#!/usr/bin/env python3
"""Times whole kestrow-sim runs on SYSTEM.DAT files of a real machine's size
and prints each run's time and peak memory: 200,000 keys in data blocks of
64 KB, and 60,000 keys in a single data block. The files are the sample
machine's registry with filler keys, written by the test-only writer at run
time. A benchmark, not a test: it prints, it does not judge.

Environment as for tests/cli/test_offline_machine.py (KESTROW_SIM,
REGEDIT4_TO_CREG, KESTROW_MACHINES); RUNS sets the runs per file (3).
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

KESTROW_SIM = os.environ.get("KESTROW_SIM", "build/host/kestrow-sim")
TO_CREG = os.environ.get("REGEDIT4_TO_CREG", "build/host/tests/creg/regedit4_to_creg")
MACHINES = os.environ.get("KESTROW_MACHINES", "sim/machines")
RUNS = int(os.environ.get("RUNS", "3"))

VERSION_98SE = (b"[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
                b'"Version"="Windows 98"\r\n"VersionNumber"="4.10.2222"\r\n\r\n')


def system_dat(folder, keys, block_bytes):
    """The sample registry and `keys` keys in all, the filler 100 to a key
    below HKEY_LOCAL_MACHINE\\Software\\Classes, as SYSTEM.DAT."""
    reg = os.path.join(folder, "big.reg")
    # Written a line at a time: the peak memory of a run counts what this
    # process held when it started the run.
    with open(reg, "wb") as out:
        with open(os.path.join(MACHINES, "win98se", "registry.reg"), "rb") as f:
            out.write(f.read() + b"\r\n" + VERSION_98SE)
        for i in range(keys):
            if i % 101 == 0:
                group = b"[HKEY_LOCAL_MACHINE\\Software\\Classes\\Group%05d" % (i // 101)
                out.write(group + b"]\r\n\r\n")
            else:
                out.write(group + b"\\Key%06d]\r\n\r\n" % i)
    dat = os.path.join(folder, "SYSTEM_%d.DAT" % keys)
    subprocess.run([TO_CREG, "--block-bytes", str(block_bytes), dat, reg], check=True,
                   timeout=120)
    os.remove(reg)
    return dat


# Runs a program and prints its wall time, peak memory (KB) and exit code.
# It runs in an interpreter of its own, started without site packages: a
# program's peak memory counts that of the process that started it, up to
# the moment it did, and this one's is far below kestrow-sim's.
MEASURE = """
import os, sys, time
start = time.perf_counter()
pid = os.fork()
if pid == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
print(time.perf_counter() - start, usage.ru_maxrss, os.waitstatus_to_exitcode(status))
"""


def timed_run(*args):
    """Wall time in seconds and peak memory in bytes of one kestrow-sim run."""
    result = subprocess.run([sys.executable, "-S", "-c", MEASURE, KESTROW_SIM, *args],
                            capture_output=True, timeout=120)
    elapsed, peak, code = result.stdout.split()
    if result.returncode != 0 or int(code) != 0:
        raise SystemExit("kestrow-sim %s failed: %s" % (" ".join(args), result.stderr.decode()))
    return float(elapsed), int(peak) * 1024


def main():
    tmp = tempfile.mkdtemp(prefix="kestrow-creg-bench-")
    try:
        _, baseline = timed_run()
        print("kestrow-sim on the default machine: peak memory %.1f MB" % (baseline / 1e6))
        for keys, block_bytes, layout in [(200000, 64 * 1024 - 4096, "data blocks of 64 KB"),
                                          (60000, 1 << 30, "one data block")]:
            dat = system_dat(tmp, keys, block_bytes)
            size = os.path.getsize(dat)
            runs = [timed_run("--registry", dat) for _ in range(RUNS)]
            times = [elapsed for elapsed, _ in runs]
            memory = max(peak for _, peak in runs)
            print("kestrow-sim --registry, %d keys in %s (%.1f MB): median %.2f s, slowest "
                  "%.2f s over %d runs, process start included; peak memory %.1f MB, %.1f times "
                  "the file (%.1f MB over the default machine's run)"
                  % (keys, layout, size / 1e6, statistics.median(times), max(times), RUNS,
                     memory / 1e6, memory / size, (memory - baseline) / 1e6))
            os.remove(dat)
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    sys.exit(main())
