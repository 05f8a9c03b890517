#!/usr/bin/env python3
"""Pictures of the message boxes Kestrow.exe shows, for the documentation.

  screenshots.py --exe build/win32/Kestrow.exe
                 --launcher build/host/tests/wine/launcher.exe --out docs/images

Runs the real program under 32-bit Wine (through the emulator, in a namespace
of its own, as the tests do) on an Xvfb display, in
the situations of the Wine tests that end with a box, and saves each box,
cropped to its window, as a small PNG. Every run is checked as in the tests
(the boxes' texts and types), so a picture never shows a box other than the
one named. `make screenshots` runs it.

The box for a version that cannot be read ("Check OS type Error !") is not
among them: Wine answers GetVersionExA under every version setting.
"""

import argparse
import dataclasses
import os
import shutil
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases as case_table  # noqa: E402
import relay_trace  # noqa: E402
import run_case  # noqa: E402
import wine_namespace  # noqa: E402
import wine_prefix  # noqa: E402
from wine_prefix import SetupError  # noqa: E402

# (picture file, the case that shows the box, the key that answers it)
PICTURES = (
    ("restart-prompt.png", "interactive_cancel_no_restart", "Escape"),
    ("refusal.png", "refused_winxp", "Return"),
    ("copy-driver-file-fail.png", "missing_driver_file", "Return"),
    ("get-del-key-fail.png", "no_controller_key", "Return"),
)


def take_picture(file_name, case_name, key, base, work, exe, launcher, out):
    """Runs the case with a display; its first box is saved, every box is
    answered with `key`."""
    case = dataclasses.replace(case_table.CASES[case_name], display=True,
                               answers=(key,) * len(case_table.CASES[case_name].boxes))
    run_case.check_environment(case, exe, launcher)
    path = os.path.join(out, file_name)
    if os.path.exists(path):
        os.unlink(path)
    prefix, relay_log, report, problems = run_case.run_under_wine(
        case, base, os.path.join(work, case_name), exe, launcher, [path])
    if "pid" in report:
        calls = relay_trace.calls_of_process(relay_log, report["pid"],
                                             relay_trace.image_range(exe))
        problems += run_case.check_calls(case, calls)
    if not os.path.isfile(path):
        problems.append("no picture taken")
    wine_prefix.remove(prefix)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True, help="Kestrow.exe (build/win32)")
    parser.add_argument("--launcher", required=True, help="launcher.exe of the Wine tests")
    parser.add_argument("--out", required=True, help="folder for the pictures")
    args = parser.parse_args()
    exe, launcher, out = (os.path.abspath(path) for path in (args.exe, args.launcher, args.out))

    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="kestrow-screenshots-")
    base = os.path.join(work, "prefix-base")
    failed = False
    try:
        wine_namespace.enter()
        wine_prefix.make_base(base)
        for file_name, case_name, key in PICTURES:
            problems = take_picture(file_name, case_name, key, base, work, exe, launcher, out)
            if problems:
                failed = True
                print("FAIL %s (%s):\n- %s" % (file_name, case_name, "\n- ".join(problems)))
    except SetupError as error:
        print("ERROR: %s" % error)
        return 2
    finally:
        wine_prefix.remove(base)
        if not failed:
            shutil.rmtree(work, ignore_errors=True)
    if failed:
        print("the runs are kept in %s" % work)
        return 1
    print("%d pictures in %s (%.1f s)" % (len(PICTURES), out, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
