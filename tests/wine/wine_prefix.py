"""32-bit Wine prefixes (WINEARCH=win32) for the end-to-end tests: the
environment the Wine tools run in, the base prefix made once per test run,
and each case's copy of it. Wine's 32-bit loader runs only inside the
namespace that wine_namespace.enter() sets up."""

import os
import shutil
import subprocess
import tempfile

WINE_DIR = os.environ.get("KESTROW_WINE_DIR", "/usr/lib/wine")
# The 32-bit loader itself (wine32:i386), an i386 program that the emulator
# runs; the wineserver is the machine's own 64-bit one.
WINE = os.path.join(WINE_DIR, "wine")
WINESERVER = os.path.join(WINE_DIR, "wineserver")
TOOL_TIMEOUT = 120

# The registry files that Wine rewrites; every case gets its own copies.
HIVES = ("system.reg", "user.reg", "userdef.reg")


class SetupError(Exception):
    """The test could not be carried out (missing tool, Wine failing...)."""


def require_wine():
    """Wine's tools are there and the 32-bit loader starts (under the
    emulator, inside the namespace)."""
    for tool in (WINE, WINESERVER):
        if not os.access(tool, os.X_OK):
            raise SetupError("%s not found: install wine and wine32:i386 (tools/install-deps.sh)"
                             % tool)
    try:
        started = subprocess.run([WINE, "--version"], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=TOOL_TIMEOUT)
    except OSError as error:
        raise SetupError("emulator: the 32-bit Wine loader %s cannot start: %s" % (WINE, error))
    if started.returncode != 0:
        raise SetupError("emulator: the 32-bit Wine loader %s failed under the emulator: %s"
                         % (WINE, started.stdout.decode(errors="replace").strip()))


def require_locale(name):
    """Wine takes its ANSI code page from the locale: the locale must exist."""
    listed = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL).stdout.decode(errors="replace").split()
    wanted = name.lower().replace("-", "")
    if not any(entry.lower().replace("-", "") == wanted for entry in listed):
        raise SetupError("locale %s missing: tools/install-deps.sh generates it" % name)


def environment(prefix, display=None, locale="C.UTF-8"):
    """The environment for Wine programs of `prefix`: no inherited Wine or X
    settings, no Mono/Gecko installers, no desktop menu entries written to
    the user's home, quiet unless a case asks for a trace. The locale sets
    Wine's ANSI code page (C.UTF-8: 1252, zh_TW.UTF-8: 950)."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("WINE") and name != "DISPLAY"}
    env.update(WINEPREFIX=prefix, WINEARCH="win32", WINELOADER=WINE, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", LC_ALL=locale)
    if display:
        env["DISPLAY"] = display
    return env


def run_tool(args, env, what, cwd=None):
    """Runs a Wine tool to its end; returns its output. The output goes to a
    temporary file, not a pipe: the background processes that the first Wine
    program of a prefix starts (services, explorer) inherit the handles and
    would hold a pipe open until the wineserver ends."""
    with tempfile.TemporaryFile() as output:
        try:
            result = subprocess.run(args, env=env, cwd=cwd, timeout=TOOL_TIMEOUT,
                                    stdout=output, stderr=subprocess.STDOUT)
        except subprocess.TimeoutExpired:
            raise SetupError("%s did not finish within %d s" % (what, TOOL_TIMEOUT))
        output.seek(0)
        text = output.read().decode(errors="replace")
    if result.returncode != 0:
        raise SetupError("%s failed (exit code %d):\n%s" % (what, result.returncode, text))
    return text


def end_wineserver(prefix):
    """Ends every process of this prefix and its wineserver, which saves the
    registry files as it goes. No other prefix is touched."""
    env = environment(prefix)
    for option in ("-k", "-w"):
        subprocess.run([WINESERVER, option], env=env, timeout=TOOL_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_base(prefix):
    """Creates the base prefix anew; returns when its wineserver has saved
    the registry."""
    require_wine()
    remove(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    env = environment(prefix)
    run_tool([WINE, "wineboot", "-i"], env, "wineboot -i (creating %s)" % prefix)
    run_tool([WINESERVER, "-w"], env, "waiting for the new prefix's wineserver")
    if not os.path.isfile(os.path.join(prefix, "system.reg")):
        raise SetupError("wineboot left no system.reg in %s" % prefix)


def remove(prefix):
    if os.path.isdir(prefix):
        end_wineserver(prefix)
        shutil.rmtree(prefix)


def copy(base, prefix):
    """A case's prefix: hard links to the base prefix's files (fast, and safe
    because Wine replaces the files it changes and the program only creates
    new ones), with copies of the registry files."""
    if not os.path.isfile(os.path.join(base, "system.reg")):
        raise SetupError("base prefix %s missing: the test wine.make_prefix creates it" % base)
    subprocess.run(["cp", "-al", base, prefix], check=True)
    for hive in HIVES:
        target = os.path.join(prefix, hive)
        os.unlink(target)
        shutil.copy2(os.path.join(base, hive), target)


def drive_c(prefix, *windows_path):
    """The host path of a path on drive C:, given in parts with backslashes."""
    parts = [part for piece in windows_path for part in piece.split("\\") if part]
    return os.path.join(prefix, "drive_c", *parts)
