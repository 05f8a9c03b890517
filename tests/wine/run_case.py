#!/usr/bin/env python3
"""Runs the real Kestrow.exe, the shipped 32-bit program, under 32-bit Wine,
one case of cases.py at a time, and checks what the run left behind.

  run_case.py list
  run_case.py make-prefix --prefix DIR
  run_case.py remove-prefix --prefix DIR
  run_case.py run CASE --base DIR --work DIR --exe PATH --launcher PATH
                       [--screenshot-dir DIR] [--sim-trace PATH]

Every command but "list" runs inside a namespace of its own, where QEMU's
i386 emulator runs 32-bit Wine (wine_namespace.py); a case fails, naming
the part, when the emulator or the namespace cannot be set up.

A case runs on its own copy of the base prefix: Wine reports the case's
Windows version to Kestrow.exe, regedit imports the case's HKLM\\Enum\\PCI,
C:\\setup holds Kestrow.exe and the owc stand-ins, and launcher.exe starts the
program from C:\\setup with an exact command line. Wine's relay trace records
the checked calls; cases with a display run under Xvfb and answer the boxes
with keys. Once the prefix's wineserver has ended (and saved the registry)
the run is checked: exit code 0, the message boxes (text, title, type), the
restart request, the deleted key, the placed files, the marker file and the
Enum\\PCI branch of the registry. With --sim-trace (kestrow_sim_call_trace)
the same case also runs on the simulated machine and the two sequences of
platform calls must be the same (parity.py).
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

# The helper modules beside this script; no bytecode caches in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases as case_table  # noqa: E402
import parity  # noqa: E402
import relay_trace  # noqa: E402
import wine_namespace  # noqa: E402
import wine_prefix  # noqa: E402
import wine_registry  # noqa: E402
from virtual_display import VirtualDisplay  # noqa: E402
from wine_prefix import SetupError, drive_c  # noqa: E402

APP_TITLE = "Kestrow"
SETUP_DIR = "C:\\setup"
PROGRAM = SETUP_DIR + "\\Kestrow.exe"
WINDOWS_DIR = "C:\\windows"  # as Wine reports it
# Only the platform operations are traced: the log stays small and the run
# fast. Wine's DLLs and the C runtime call some of them too; the program's
# own calls are told apart by their return address.
TRACED_CALLS = tuple(parity.OPERATIONS)
KEY_ANSWERS = {"Return": 1, "Escape": 2}  # the button each key presses: IDOK, IDCANCEL
EWX_REBOOT = 2
PROGRAM_TIMEOUT = 60
# Wine's own Marlett font draws the caption buttons; this Wine package keeps
# it outside the prefix's font folder.
WINE_CAPTION_FONT = "/usr/share/wine/fonts/marlett.ttf"


# --- preparing a case ------------------------------------------------------

def lay_out_setup_folder(case, prefix, exe, launcher):
    setup = drive_c(prefix, "setup")
    os.makedirs(setup)
    shutil.copyfile(exe, os.path.join(setup, "Kestrow.exe"))
    shutil.copyfile(launcher, os.path.join(setup, "launcher.exe"))
    if case.owc_files:
        os.makedirs(os.path.join(setup, "owc"))
    for name in case.owc_files:
        with open(os.path.join(setup, "owc", name), "wb") as stand_in:
            stand_in.write(case_table.DRIVER_FILES[name][1])
    if case.marker_is_folder:
        os.makedirs(drive_c(prefix, "csb.log"))
    command_line = PROGRAM + (" " + case.tail if case.tail else "")
    with open(os.path.join(setup, "cmdline.txt"), "wb") as file:
        file.write(command_line.encode("ascii"))
    if case.display and os.path.isfile(WINE_CAPTION_FONT):
        # Without it the close box of a screenshot shows a letter "r".
        shutil.copyfile(WINE_CAPTION_FONT, drive_c(prefix, "windows", "Fonts", "marlett.ttf"))
    return setup


def fixture_keys(case):
    """The registry the case starts from: its Enum\\PCI devices, the Windows
    version Wine reports to Kestrow.exe and the calls the relay trace shows."""
    keys = pci_fixture_keys(case)
    keys.append(("HKEY_CURRENT_USER", ("Software", "Wine", "AppDefaults", "Kestrow.exe"),
                 {"Version": case.version}))
    keys.append(("HKEY_CURRENT_USER", ("Software", "Wine", "Debug"),
                 {"RelayInclude": ";".join(TRACED_CALLS)}))
    if case.display:
        # Xvfb runs no window manager: unmanaged, Wine draws the frames
        # itself, so a box shows its title bar.
        keys.append(("HKEY_CURRENT_USER", ("Software", "Wine", "X11 Driver"), {"Managed": "N"}))
    return keys


def pci_fixture_keys(case):
    """The case's devices below HKLM\\Enum\\PCI, in the order Wine enumerates
    them: sorted by name, letter case ignored."""
    devices = sorted(case.pci or (), key=lambda device: (device[0].upper(), device[1].upper()))
    return [("HKEY_LOCAL_MACHINE", ("Enum", "PCI", device, instance), values)
            for device, instance, values in devices]


def import_fixture(reg_file, env, prefix):
    """Imports the case's registry with regedit, which reads a REGEDIT4 file
    in the ANSI code page of the locale it runs in. The first Wine program on a
    fresh prefix copy has been seen to fail once in many runs (exit code 1,
    no output): that gets one more try on a new wineserver, noted in the
    test's output."""
    args = [wine_prefix.WINE, "regedit", "/s", "Z:" + reg_file.replace("/", "\\")]
    tool_env = dict(env, WINEDEBUG="fixme-all")
    what = "regedit importing %s" % reg_file
    try:
        wine_prefix.run_tool(args, tool_env, what)
    except SetupError as error:
        print("note: %s; trying once more" % error)
        wine_prefix.end_wineserver(prefix)
        wine_prefix.run_tool(args, tool_env, what)


# --- checking a case ---------------------------------------------------------

def describe_boxes(boxes):
    return "[%s]" % ", ".join("(%r, %r, 0x%x)" % box if isinstance(box[2], int) else repr(box)
                              for box in boxes)


def check_calls(case, calls):
    problems = []
    boxes = [call for call in calls if call.function == "user32.MessageBoxA"]
    shown = [tuple(call.arguments[1:4]) for call in boxes]
    expected = [(text, APP_TITLE, box_type) for text, box_type in case.boxes]
    if shown != expected:
        problems.append("message boxes (text, title, type):\n  got      %s\n  expected %s"
                        % (describe_boxes(shown), describe_boxes(expected)))
    elif any(call.arguments[0] != 0 for call in boxes):
        problems.append("message boxes with an owner window: %s" % boxes)
    elif case.display:
        answers = [call.result for call in boxes]
        expected_answers = [KEY_ANSWERS[key] for key in case.answers]
        if answers != expected_answers:
            problems.append("box answers %s, expected %s (keys %s)"
                            % (answers, expected_answers, list(case.answers)))

    restarts = [tuple(call.arguments) for call in calls
                if call.function == "user32.ExitWindowsEx"]
    expected_restarts = [(EWX_REBOOT, 0)] if case.restart else []
    if restarts != expected_restarts:
        problems.append("ExitWindowsEx calls (flags, reason) %s, expected %s"
                        % (restarts, expected_restarts))

    # The name as the bytes the program passed, in the case's code page.
    deletions = [(call.arguments[1].encode("latin-1"), call.result) for call in calls
                 if call.function == "advapi32.RegDeleteKeyA"]
    expected_deletions = [(case.deleted.encode(case.codec), 0)] if case.deleted else []
    if deletions != expected_deletions:
        problems.append("RegDeleteKeyA (name, status) %s, expected %s"
                        % (deletions, expected_deletions))
    return problems


def check_files(case, prefix):
    problems = []
    for name, (destination, contents) in case_table.DRIVER_FILES.items():
        path = drive_c(prefix, "windows", destination)
        shown = "C:\\windows\\" + destination
        if name not in case.placed:
            if os.path.exists(path):
                problems.append("%s placed, expected absent" % shown)
        elif not os.path.isfile(path):
            problems.append("%s not placed" % shown)
        elif read_bytes(path) != contents:
            problems.append("%s differs from owc\\%s" % (shown, name))

    marker = drive_c(prefix, "csb.log")
    if case.marker_is_folder:
        if not os.path.isdir(marker) or os.listdir(marker):
            problems.append("c:\\csb.log is no longer the empty folder it was")
    elif not case.marker:
        if os.path.exists(marker):
            problems.append("c:\\csb.log written, expected absent")
    elif not os.path.isfile(marker):
        problems.append("c:\\csb.log not written")
    elif read_bytes(marker) != case_table.MARKER_BYTES:
        problems.append("c:\\csb.log holds %r, expected %r"
                        % (read_bytes(marker), case_table.MARKER_BYTES))
    return problems


def expected_pci_keys(case):
    """Keys below Enum\\PCI expected in the saved hive after the run. Wine
    saves a key only when it has values or no subkeys: here the instance keys,
    never the device keys above them."""
    return {("Enum", "PCI", device, instance):
            {name: '"%s"' % text.replace("\\", "\\\\") for name, text in values.items()}
            for device, instance, values in case.pci or () if device != case.deleted}


def check_registry(case, prefix):
    saved = wine_registry.read_branch(os.path.join(prefix, "system.reg"), ("Enum", "PCI"))
    below_pci = {path: values for path, values in saved.items() if len(path) > 2}
    expected = expected_pci_keys(case)
    if below_pci == expected:
        return []
    changed = sorted(path for path in set(expected) & set(below_pci)
                     if expected[path] != below_pci[path])
    return ["HKLM\\Enum\\PCI after the run:\n  missing %s\n  unexpected %s\n  values changed %s"
            % (sorted(set(expected) - set(below_pci)), sorted(set(below_pci) - set(expected)),
               changed)]


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def launcher_report(path):
    """The program's pid and exit code as the launcher printed them, and how
    long it waited for the desktop window (milliseconds) when asked to."""
    report = {}
    with open(path, encoding="latin-1") as output:
        for line in output:
            words = line.split()
            if (len(words) == 2 and words[0] in ("desktop", "pid", "exit")
                    and words[1].isdigit()):
                report[words[0]] = int(words[1])
    return report


# --- running a case ----------------------------------------------------------

def check_environment(case, exe, launcher):
    wine_prefix.require_wine()
    if not os.path.isfile(exe):
        raise SetupError("%s not found: build Kestrow.exe first "
                         "(cmake --preset win32 && cmake --build --preset win32)" % exe)
    if not os.path.isfile(launcher):
        raise SetupError("%s not found: the host build makes it (it needs "
                         "i686-w64-mingw32-gcc-win32)" % launcher)
    wine_prefix.require_locale(case.locale)


def run_under_wine(case, base, work, exe, launcher, screenshots=()):
    """Runs the case's program under Wine on a fresh copy of the base
    prefix, answering its boxes when the case has a display and saving
    pictures of them (screenshots: a path or None per box). Returns the
    prefix, the relay log, the launcher's report and the problems met."""
    prefix = os.path.join(work, "prefix")
    wine_prefix.remove(prefix)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    wine_prefix.copy(base, prefix)
    setup = lay_out_setup_folder(case, prefix, exe, launcher)
    reg_file = os.path.join(work, "fixture.reg")
    with open(reg_file, "wb") as file:
        file.write(wine_registry.regedit4_text(fixture_keys(case)).encode(case.codec))
    relay_log = os.path.join(work, "relay.log")
    launcher_log = os.path.join(work, "launcher.out")

    problems = []
    display = VirtualDisplay(os.path.join(work, "xvfb.log")) if case.display else None
    try:
        env = wine_prefix.environment(prefix, display.name if display else None, case.locale)
        import_fixture(reg_file, env, prefix)
        env["WINEDEBUG"] = "+pid,+relay"
        with open(relay_log, "wb") as log, open(launcher_log, "wb") as out:
            program = subprocess.Popen(
                [wine_prefix.WINE, "launcher.exe", *(["--desktop"] if display else []),
                 SETUP_DIR + "\\cmdline.txt"],
                env=env, cwd=setup, stdout=out, stderr=log)
            if display:
                problems += display.answer_boxes(APP_TITLE, case.answers, program,
                                                 PROGRAM_TIMEOUT, screenshots)
            try:
                program.wait(timeout=PROGRAM_TIMEOUT)
            except subprocess.TimeoutExpired:
                program.kill()
                program.wait()
                problems.append("the program did not end within %d s" % PROGRAM_TIMEOUT)
    finally:
        wine_prefix.end_wineserver(prefix)
        if display:
            display.close()

    report = launcher_report(launcher_log)
    if "desktop" in report:
        print("Wine's desktop window ready after %.1f s" % (report["desktop"] / 1000))
    if "pid" not in report or "exit" not in report:
        with open(launcher_log, encoding="latin-1") as output:
            problems.append("the launcher did not run the program to its end:\n"
                            + output.read())
    return prefix, relay_log, report, problems


def check_parity(case, work, relay_calls, image_base, sim_trace):
    """Runs the case on the simulated machine and compares the calls."""
    folder = os.path.join(work, "sim-machine")
    owc = {name: case_table.DRIVER_FILES[name][1] for name in case.owc_files}
    registry = wine_registry.regedit4_text(pci_fixture_keys(case)).encode(case.codec)
    parity.write_sim_machine(folder, case, SETUP_DIR, WINDOWS_DIR, PROGRAM, registry, owc)
    try:
        sim_calls, ending = parity.run_sim(sim_trace, folder, case.tail,
                                           [KEY_ANSWERS[key] for key in case.answers])
        wine_calls = parity.from_wine(relay_calls, image_base)
    except (RuntimeError, ValueError) as error:
        return ["parity: %s" % error]
    scenario = {"display": case.display, "sim_ending": ending}
    problems, notes = parity.compare(wine_calls, sim_calls, scenario, save_to=work)
    for note in notes:
        print(note)
    if not problems:
        print("parity: %d platform calls the same under Wine and on the simulated machine"
              % len(wine_calls))
    return problems


def run_case(name, base, work, exe, launcher, screenshot_dir, sim_trace):
    if name not in case_table.CASES:
        raise SetupError("unknown case %r; the cases are: %s"
                         % (name, ", ".join(case_table.CASES)))
    case = case_table.CASES[name]
    check_environment(case, exe, launcher)
    if sim_trace:
        sim_trace = os.path.abspath(sim_trace)
        if not os.path.isfile(sim_trace):
            raise SetupError("%s not found: the host build makes it" % sim_trace)

    started = time.monotonic()
    screenshot = (os.path.join(screenshot_dir, case.screenshot)
                  if case.screenshot and screenshot_dir else None)
    prefix, relay_log, report, problems = run_under_wine(case, base, work, exe, launcher,
                                                         [screenshot])
    if "pid" in report and "exit" in report:
        if report["exit"] != 0:
            problems.append("exit code %d, expected 0" % report["exit"])
        image = relay_trace.image_range(exe)
        calls = relay_trace.calls_of_process(relay_log, report["pid"], image)
        problems += check_calls(case, calls)
        # Without a display every box fails so; with one, never.
        if case.display and any(call.function == "user32.MessageBoxA" and call.result == -1
                                for call in calls):
            problems.append("MessageBoxA returned -1: Wine could not make the box's window; "
                            "Wine's errors:\n  " + "\n  ".join(relay_trace.error_lines(relay_log)
                                                                 or ["(none)"]))
        if sim_trace:
            problems += check_parity(case, work, calls, image.start, sim_trace)
    problems += check_files(case, prefix)
    problems += check_registry(case, prefix)

    elapsed = time.monotonic() - started
    if problems:
        print("FAIL %s (%.1f s); relay trace and prefix kept in %s" % (name, elapsed, work))
        for problem in problems:
            print("- " + problem)
        return 1
    shutil.rmtree(prefix)
    print("PASS %s (%.1f s)" % (name, elapsed))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list", help="print the case names, one a line")
    make = commands.add_parser("make-prefix", help="create the base Wine prefix")
    make.add_argument("--prefix", required=True)
    remove = commands.add_parser("remove-prefix", help="end and delete the base Wine prefix")
    remove.add_argument("--prefix", required=True)
    run = commands.add_parser("run", help="run one case")
    run.add_argument("case")
    run.add_argument("--base", required=True, help="the base prefix (make-prefix)")
    run.add_argument("--work", required=True, help="folder for this case, emptied first")
    run.add_argument("--exe", required=True, help="Kestrow.exe (build/win32)")
    run.add_argument("--launcher", required=True, help="launcher.exe")
    run.add_argument("--screenshot-dir", help="where the cases' screenshots go")
    run.add_argument("--sim-trace", help="kestrow_sim_call_trace: also run the case on the "
                     "simulated machine and compare the platform calls")
    args = parser.parse_args()
    try:
        if args.command != "list":
            wine_namespace.enter()
        if args.command == "list":
            print("\n".join(case_table.CASES))
        elif args.command == "make-prefix":
            started = time.monotonic()
            wine_prefix.make_base(os.path.abspath(args.prefix))
            print("base prefix %s made in %.1f s" % (args.prefix, time.monotonic() - started))
        elif args.command == "remove-prefix":
            wine_prefix.remove(os.path.abspath(args.prefix))
        else:
            return run_case(args.case, os.path.abspath(args.base), os.path.abspath(args.work),
                            args.exe, args.launcher, args.screenshot_dir, args.sim_trace)
        return 0
    except SetupError as error:
        print("ERROR: %s" % error)
        return 2


if __name__ == "__main__":
    sys.exit(main())
