"""Parity between the simulated machine and Windows as Wine plays it.

Every Wine case also runs on the simulated machine, set up like the case's
Wine prefix, and the two sequences of platform calls must be the same: the
same operations in the same order, with the same arguments and results. This
is what lets the unit tests on the simulated machine stand for runs on a
real system.

What is compared is what both sides show. Wine's relay trace gives each
call's arguments at the time of the call and its return value; what a call
writes back (a buffer's text, a returned handle, the version record) is not
in it. So:

- numbers and flags are compared as values, text arguments byte for byte;
- handles (registry keys, the marker file's stream, windows, the module)
  become placeholders numbered in order of first use, key1, key2, ...; a
  handle closed with success gives up its placeholder, so a value that Wine
  hands out again later counts as a new handle, as it is one. The handle
  flow (which call uses which handle) is thus compared, not the values;
- the predefined registry roots keep their names;
- a pointer to data or to an output is compared only as NULL or not NULL
  ("ptr"): GetVersionExA's record, the buffers, FileWrite's data.

The marker file's stream and the process exit are operations named after
the C runtime (FileOpen, FileWrite, FileClose, ExitProcessWithCode), which
Kestrow.exe carries out with the kernel's own calls (platform/win32):
CreateFileA, WriteFile, CloseHandle and ExitProcess. The relay trace shows
those; each is read back as the operation it carries out when its arguments
are exactly those the platform layer passes (KERNEL_CALLS below), and a
kernel call with any others fails the comparison. WriteFile's trace shows
the bytes asked for and whether the call succeeded, not the count written
through its pointer: it is read as FileWrite(data, 1, bytes) returning all
the bytes, or 0.

The known differences between Wine and the simulated machine that are
faults of neither stand in KNOWN_DIFFERENCES below, each applied only where
it holds; nothing else is filtered.
"""

import difflib
import json
import os
import subprocess

# Wine's relay names of the platform operations -> the operation names of
# platform/platform.h (the simulated machine's call log uses these).
OPERATIONS = {
    "GetCommandLineA": "GetCommandLineA",
    "SetErrorMode": "SetErrorMode",
    "GetModuleFileNameA": "GetModuleFileNameA",
    "LoadStringA": "LoadStringA",
    "GetActiveWindow": "GetActiveWindow",
    "IsDBCSLeadByte": "IsDBCSLeadByte",
    "GetVersionExA": "GetVersionExA",
    "MessageBoxA": "MessageBoxA",
    "ExitWindowsEx": "ExitWindowsEx",
    "GetCurrentDirectoryA": "GetCurrentDirectoryA",
    "GetWindowsDirectoryA": "GetWindowsDirectoryA",
    "CopyFileA": "CopyFileA",
    "DeleteFileA": "DeleteFileA",
    "RegOpenKeyA": "RegOpenKeyA",
    "RegOpenKeyExA": "RegOpenKeyExA",
    "RegQueryInfoKeyA": "RegQueryInfoKeyA",
    "RegEnumKeyA": "RegEnumKeyA",
    "RegDeleteKeyA": "RegDeleteKeyA",
    "RegCloseKey": "RegCloseKey",
    "CreateFileA": "FileOpen",
    "WriteFile": "FileWrite",
    "CloseHandle": "FileClose",
    "ExitProcess": "ExitProcessWithCode",
}

# The kernel calls behind the stream operations, as platform/win32 makes
# them: (relay name, the arguments that are always the same (index: value)).
GENERIC_WRITE = 0x40000000
FILE_SHARE_READ_WRITE = 0x3
CREATE_ALWAYS = 2
FILE_ATTRIBUTE_NORMAL = 0x80
INVALID_HANDLE_VALUE = 0xFFFFFFFF
KERNEL_CALLS = {
    # CreateFileA(path, access, share, security, disposition, flags, template)
    "CreateFileA": {1: GENERIC_WRITE, 2: FILE_SHARE_READ_WRITE, 3: 0, 4: CREATE_ALWAYS,
                    5: FILE_ATTRIBUTE_NORMAL, 6: 0},
    # WriteFile(handle, data, bytes, written, overlapped)
    "WriteFile": {4: 0},
    # CloseHandle(handle)
    "CloseHandle": {},
    # ExitProcess(code)
    "ExitProcess": {},
}
KERNEL_ARGUMENT_COUNTS = {"CreateFileA": 7, "WriteFile": 5, "CloseHandle": 1, "ExitProcess": 1}

# What each argument and result is. "number" and "flags" are 32-bit values
# (shown in decimal and in hexadecimal); "text" an 8-bit string; "key",
# "window", "instance" and "stream" handles; "pointer" any other pointer;
# "none" no result (the call does not return).
NUMBER, FLAGS, TEXT, POINTER, NONE = "number", "flags", "text", "pointer", "none"
KEY, WINDOW, INSTANCE, STREAM = "key", "window", "instance", "stream"
HANDLE_KINDS = (KEY, WINDOW, INSTANCE, STREAM)
SIGNATURES = {
    "GetCommandLineA": ((), POINTER),
    "SetErrorMode": ((FLAGS,), FLAGS),
    "GetModuleFileNameA": ((INSTANCE, POINTER, NUMBER), NUMBER),
    "LoadStringA": ((INSTANCE, NUMBER, POINTER, NUMBER), NUMBER),
    "GetActiveWindow": ((), WINDOW),
    "IsDBCSLeadByte": ((FLAGS,), NUMBER),
    "GetVersionExA": ((POINTER,), NUMBER),
    "MessageBoxA": ((WINDOW, TEXT, TEXT, FLAGS), NUMBER),
    "ExitWindowsEx": ((FLAGS, NUMBER), NUMBER),
    "GetCurrentDirectoryA": ((NUMBER, POINTER), NUMBER),
    "GetWindowsDirectoryA": ((POINTER, NUMBER), NUMBER),
    "CopyFileA": ((TEXT, TEXT, NUMBER), NUMBER),
    "DeleteFileA": ((TEXT,), NUMBER),
    "RegOpenKeyA": ((KEY, TEXT, POINTER), NUMBER),
    "RegOpenKeyExA": ((KEY, TEXT, FLAGS, FLAGS, POINTER), NUMBER),
    "RegQueryInfoKeyA": ((KEY,) + (POINTER,) * 11, NUMBER),
    "RegEnumKeyA": ((KEY, NUMBER, POINTER, NUMBER), NUMBER),
    "RegDeleteKeyA": ((KEY, TEXT), NUMBER),
    "RegCloseKey": ((KEY,), NUMBER),
    "FileOpen": ((TEXT, TEXT), STREAM),
    "FileWrite": ((POINTER, NUMBER, NUMBER, STREAM), NUMBER),
    "FileClose": ((STREAM,), NUMBER),
    "ExitProcessWithCode": ((NUMBER,), NONE),
}
# A successful call of these ends the handle given as first argument.
CLOSING = {"RegCloseKey", "FileClose"}

PREDEFINED_KEYS = {
    0x80000000: "HKEY_CLASSES_ROOT", 0x80000001: "HKEY_CURRENT_USER",
    0x80000002: "HKEY_LOCAL_MACHINE", 0x80000003: "HKEY_USERS",
    0x80000005: "HKEY_CURRENT_CONFIG", 0x80000006: "HKEY_DYN_DATA",
}

# The version records Wine 8 reports for its version settings (read under
# Wine with a small probe program), as machine.ini writes them. Wine accepts
# the 148-byte and the 156-byte record under every setting, so the simulated
# machine of a case does too.
WINE_VERSIONS = {
    "win95": ("4.0.950", "windows"),
    "win98": ("4.10.2222", "windows"),
    "winme": ("4.90.3000", "windows"),
    "nt40": ("4.0.1381", "nt"),
    "win2k": ("5.0.2195", "nt"),
    "winxp": ("5.1.2600", "nt"),
    "win10": ("6.2.9200", "nt"),
}
WINE_RECORD_SIZES = "148,156"

# The program's module: its load address under Wine, and the instance handle
# the simulated run starts the program with (sim/installer_run.h).
THE_MODULE = "the program's module"
SIM_PROGRAM_INSTANCE = 0x00400000


class PlatformCall:
    """One call, its values decoded: ints for numbers and flags, bytes or
    None for text, raw handle values (None for a null handle), True/False
    for "pointer is not null"."""

    def __init__(self, name, arguments, result):
        self.name = name
        self.arguments = list(arguments)
        self.result = result


# --- the two sides -----------------------------------------------------------

def from_wine(relay_calls, image_base):
    """The relay trace's calls (relay_trace.Call, already limited to the
    program's own), decoded."""
    calls = []
    for relay in relay_calls:
        function = relay.function.split(".")[-1]
        name = OPERATIONS.get(function)
        if name is None:
            continue
        if function in KERNEL_CALLS:
            calls.append(_from_kernel_call(function, relay))
            continue
        kinds, result_kind = SIGNATURES[name]
        if len(relay.arguments) != len(kinds):
            raise ValueError("relay trace: %s with %d arguments, expected %d"
                             % (relay.function, len(relay.arguments), len(kinds)))
        arguments = [_wine_value(kind, value) for kind, value in zip(kinds, relay.arguments)]
        if name == "LoadStringA" and arguments[0] == image_base:
            arguments[0] = THE_MODULE
        if result_kind == NONE:
            result = None
        elif relay.raw_result is None:
            result = "(did not return)"
        else:
            result = _wine_value(result_kind, relay.raw_result)
        calls.append(PlatformCall(name, arguments, result))
    return calls


def _from_kernel_call(function, relay):
    """The platform operation a traced kernel call carries out (see the
    module's description)."""
    arguments = relay.arguments
    fixed = {index: value & 0xFFFFFFFF for index, value in enumerate(arguments)
             if isinstance(value, int)}
    if (len(arguments) != KERNEL_ARGUMENT_COUNTS[function]
            or any(fixed.get(index) != value for index, value in KERNEL_CALLS[function].items())):
        raise ValueError("relay trace: %s%r, not as platform/win32 calls it for %s"
                         % (relay.function, tuple(arguments), OPERATIONS[function]))
    result = relay.raw_result
    returned = result is not None
    if function == "CreateFileA":
        handle = None if not returned or result & 0xFFFFFFFF == INVALID_HANDLE_VALUE else result
        return PlatformCall("FileOpen", [_wine_value(TEXT, arguments[0]), b"wb"],
                            handle if returned else "(did not return)")
    if function == "WriteFile":
        size = arguments[2] & 0xFFFFFFFF
        written = (size if result & 0xFFFFFFFF else 0) if returned else "(did not return)"
        return PlatformCall("FileWrite", [_wine_value(POINTER, arguments[1]), 1, size,
                                          arguments[0] or None], written)
    if function == "CloseHandle":
        closed = (0 if result & 0xFFFFFFFF else -1) if returned else "(did not return)"
        return PlatformCall("FileClose", [arguments[0] or None], closed)
    return PlatformCall("ExitProcessWithCode", [_wine_value(NUMBER, arguments[0])], None)


def _wine_value(kind, value):
    if kind == TEXT:
        if isinstance(value, str):
            return value.encode("latin-1")
        if value == 0:
            return None
        raise ValueError("relay trace: text argument shown as a number: %x" % value)
    if isinstance(value, str):  # a pointer the relay shows with its text
        return True if kind == POINTER else value
    if kind == NUMBER:
        value &= 0xFFFFFFFF
        return value - (1 << 32) if value & 0x80000000 else value
    if kind == FLAGS:
        return value & 0xFFFFFFFF
    if kind == POINTER:
        return value != 0
    if kind == KEY and (value & 0xFFFFFFFF) in PREDEFINED_KEYS and value >> 32 in (0, 0xFFFFFFFF):
        return value & 0xFFFFFFFF  # a root, zero- or sign-extended to 64 bits
    return value or None


def from_sim(trace_lines):
    """The lines of kestrow_sim_call_trace, decoded; and its closing record
    ({"exit": code, "ended_by_call": bool})."""
    calls, ending = [], None
    for line in trace_lines:
        if not line.strip():
            continue
        item = json.loads(line)
        if isinstance(item, dict):
            ending = item
            continue
        name, arguments, result = item
        kinds, result_kind = SIGNATURES[name]
        if len(arguments) != len(kinds):
            raise ValueError("simulated call %s with %d arguments, expected %d"
                             % (name, len(arguments), len(kinds)))
        values = [_sim_value(kind, text) for kind, text in zip(kinds, arguments)]
        if name == "LoadStringA" and values[0] == SIM_PROGRAM_INSTANCE:
            values[0] = THE_MODULE
        calls.append(PlatformCall(name, values,
                                  None if result_kind == NONE else _sim_value(result_kind, result)))
    if ending is None:
        raise ValueError("kestrow_sim_call_trace printed no closing record")
    return calls, ending


def _sim_value(kind, text):
    if kind == TEXT:
        return None if text == "NULL" else text.encode("latin-1")
    if kind in (NUMBER, FLAGS):
        return int(text, 0)
    if kind == POINTER:
        return text != "NULL"
    return None if text == "NULL" else int(text, 16)


# --- known differences -------------------------------------------------------

def _exit_after_winmain(wine, sim, scenario):
    """When WinMain returns, Kestrow.exe's entry point (in place of the C
    runtime's start-up code) ends the process with its result, through
    exit() and ExitProcess; the simulated run just ends there. Applies once,
    at the end of a simulated run that did not end through
    ExitProcessWithCode."""
    if scenario["sim_ending"]["ended_by_call"]:
        return 0
    sim.append(PlatformCall("ExitProcessWithCode", [scenario["sim_ending"]["exit"]], None))
    return 1


def _no_display_box(wine, sim, scenario):
    """Without a display Wine cannot create a message box's window and its
    MessageBoxA returns -1; Windows returns 0 for a box it could not show,
    and so does the simulated machine. Applies to MessageBoxA results of -1
    on the Wine side, in cases run without a display only."""
    if scenario["display"]:
        return 0
    count = 0
    for call in wine:
        if call.name == "MessageBoxA" and call.result == -1:
            call.result = 0
            count += 1
    return count


KNOWN_DIFFERENCES = (
    ("the process exit after WinMain returns", _exit_after_winmain),
    ("MessageBoxA under Wine without a display", _no_display_box),
)


# --- rendering and comparing ---------------------------------------------------

def render(calls):
    """One line a call: Name(arg, arg, ...) = result, handles as placeholders."""
    names = {kind: {} for kind in HANDLE_KINDS}
    counters = {kind: 0 for kind in HANDLE_KINDS}

    def show(kind, value):
        if kind == TEXT:
            return "NULL" if value is None else _quoted(value)
        if kind == NUMBER:
            return str(value)
        if kind == FLAGS:
            return "0x%X" % value
        if kind == POINTER:
            return "ptr" if value else "NULL"
        if value is None:
            return "NULL"
        if value == THE_MODULE:
            return "module"
        if kind == KEY and value in PREDEFINED_KEYS:
            return PREDEFINED_KEYS[value]
        if value not in names[kind]:
            counters[kind] += 1
            names[kind][value] = "%s%d" % (kind, counters[kind])
        return names[kind][value]

    lines = []
    for call in calls:
        kinds, result_kind = SIGNATURES[call.name]
        line = "%s(%s)" % (call.name, ", ".join(show(kind, value) for kind, value
                                                 in zip(kinds, call.arguments)))
        if result_kind != NONE:
            result = call.result
            line += " = " + (result if isinstance(result, str) and result.startswith("(")
                             else show(result_kind, result))
        lines.append(line)
        if call.name in CLOSING and call.result == 0:
            kind = kinds[0]
            names[kind].pop(call.arguments[0], None)
    return lines


def _quoted(data):
    text = ""
    for byte in data:
        if byte in (0x22, 0x5C):
            text += "\\" + chr(byte)
        elif 0x20 <= byte < 0x7F:
            text += chr(byte)
        else:
            text += "\\x%02X" % byte
    return '"%s"' % text


def compare(wine, sim, scenario, save_to=None):
    """Returns (problems, notes): a unified diff when the calls differ, and
    which known differences were taken into account. With save_to (a
    folder), the two rendered sequences are saved there as calls.wine.txt
    and calls.sim.txt."""
    notes = []
    for description, apply in KNOWN_DIFFERENCES:
        count = apply(wine, sim, scenario)
        if count:
            notes.append("known difference: %s (%d call%s)"
                         % (description, count, "" if count == 1 else "s"))
    wine_lines, sim_lines = render(wine), render(sim)
    if save_to:
        for name, lines in (("calls.wine.txt", wine_lines), ("calls.sim.txt", sim_lines)):
            with open(os.path.join(save_to, name), "w") as file:
                file.write("".join(line + "\n" for line in lines))
    if not wine_lines:
        return (["no call of Kestrow.exe's own in the relay trace (was it loaded at its "
                 "preferred base address?)"], notes)
    if wine_lines == sim_lines:
        return [], notes
    diff = difflib.unified_diff(wine_lines, sim_lines, "Wine", "simulated machine", lineterm="")
    return ["platform calls differ between Wine and the simulated machine:\n  "
            + "\n  ".join(diff)], notes


# --- the simulated machine of a case -------------------------------------------

def write_sim_machine(folder, case, setup_dir, windows_dir, program, registry_bytes, owc):
    """A machine folder for kestrow_sim_call_trace like the case's Wine
    prefix: Wine's version record, code page, folders and registry.

    registry_bytes: the REGEDIT4 file of the case's HKLM\\Enum\\PCI, in the
    case's code page. owc: {file name: contents} of the owc folder."""
    version, platform_name = WINE_VERSIONS[case.version]
    drive = os.path.join(folder, "drive_c")
    setup = os.path.join(drive, *setup_dir.split("\\")[1:])
    windows = os.path.join(drive, *windows_dir.split("\\")[1:])
    for path in (os.path.join(windows, "inf"), os.path.join(windows, "system32", "drivers")):
        os.makedirs(path)
    os.makedirs(setup)
    if case.marker_is_folder:
        os.makedirs(os.path.join(drive, "csb.log"))
    if owc:
        os.makedirs(os.path.join(setup, "owc"))
    for name, contents in owc.items():
        with open(os.path.join(setup, "owc", name), "wb") as file:
            file.write(contents)
    with open(os.path.join(folder, "machine.ini"), "w") as ini:
        ini.write("[machine]\nversion=%s\nplatform=%s\ncodepage=%d\n"
                  "current_directory=%s\nwindows_directory=%s\nprogram=%s\n\n"
                  "[drives]\nC=drive_c\n"
                  % (version, platform_name, case.code_page, setup_dir, windows_dir, program))
    with open(os.path.join(folder, "registry.reg"), "wb") as registry:
        registry.write(registry_bytes)


def run_sim(tool, folder, tail, answers):
    """Runs kestrow_sim_call_trace; returns its decoded calls and ending."""
    args = [tool, "--machine", folder, "--record-sizes", WINE_RECORD_SIZES, "--tail", tail]
    for answer in answers:
        args += ["--answer", str(answer)]
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    if result.returncode != 0:
        raise RuntimeError("%s failed (exit code %d): %s"
                           % (os.path.basename(tool), result.returncode,
                              result.stderr.decode(errors="replace").strip()))
    return from_sim(result.stdout.decode("ascii").splitlines())
