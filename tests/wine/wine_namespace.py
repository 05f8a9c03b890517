"""32-bit Wine through QEMU's i386 user-mode emulator, set up for this
process alone.

The kernel hands an i386 ELF program to the emulator when binfmt_misc has a
handler for it. That handler is never registered for the whole machine (it
would change every 32-bit program there, and how 64-bit Wine builds its
prefixes): a script that runs Wine calls enter() first, which starts the
script again inside a user, mount and PID namespace of its own
(`unshare --user --map-root-user --mount --pid --fork --mount-proc`), and
there mounts a private binfmt_misc and registers i386 ELF programs to the
emulator. When the script ends, the namespace ends with every process left
in it, and the handler with it.

The namespace has its own /proc as well: Wine finds its libraries from
/proc/self/exe, and the emulator answers that link with the emulated
program's path only for a /proc that shows the namespace's own process IDs.
"""

import os
import shutil
import subprocess
import sys

from wine_prefix import SetupError

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# tools/fetch-qemu-user.sh (run by tools/install-deps.sh) puts it there.
QEMU_I386 = os.environ.get("KESTROW_QEMU_I386",
                           os.path.join(REPOSITORY, "build", "qemu-user", "qemu-i386"))
BINFMT_MISC = "/proc/sys/fs/binfmt_misc"
HANDLER = "kestrow-qemu-i386"
# The ELF header of an i386 executable or shared object (ET_EXEC or ET_DYN,
# EM_386), and the mask of the bytes compared; written as text, binfmt_misc
# decodes the escapes. The F flag opens the emulator now, so that it is found
# whatever the namespace's programs see.
_ELF_I386_MAGIC = (r"\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                   r"\x02\x00\x03\x00")
_ELF_I386_MASK = (r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff"
                  r"\xfe\xff\xff\xff")
UNSHARE = ["unshare", "--user", "--map-root-user", "--mount", "--pid", "--fork",
           "--mount-proc", "--kill-child"]
# Set in the script started inside the namespace.
_INSIDE = "KESTROW_WINE_NAMESPACE"


def register_line(qemu):
    return ":%s:M::%s:%s:%s:F" % (HANDLER, _ELF_I386_MAGIC, _ELF_I386_MASK, qemu)


def check_emulator():
    if not os.path.isfile(QEMU_I386) or not os.access(QEMU_I386, os.X_OK):
        raise SetupError("emulator: %s not found; tools/fetch-qemu-user.sh (run by "
                             "tools/install-deps.sh) fetches it" % QEMU_I386)


def check_namespace():
    """A namespace of the kind enter() makes, tried with a program that does
    nothing, so that a machine without user namespaces is named as such."""
    if shutil.which("unshare") is None:
        raise SetupError("namespace: unshare not found (package util-linux)")
    tried = subprocess.run(UNSHARE + ["true"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if tried.returncode != 0:
        raise SetupError("namespace: cannot create a user, mount and PID namespace (%s): %s"
                             % (" ".join(UNSHARE), tried.stdout.decode(errors="replace").strip()))


def enter():
    """Outside the namespace: starts this script again inside one, with the
    same arguments and environment, and never returns (the process becomes
    unshare, so a test's time-out ends the namespace too). Inside: registers
    the emulator and returns."""
    if os.environ.get(_INSIDE) == QEMU_I386:
        _register_emulator()
        return
    check_emulator()
    check_namespace()
    sys.stdout.flush()
    sys.stderr.flush()
    env = dict(os.environ, **{_INSIDE: QEMU_I386})
    os.execvpe(UNSHARE[0], UNSHARE + [sys.executable, os.path.abspath(sys.argv[0])]
               + sys.argv[1:], env)


def _register_emulator():
    mounted = subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_MISC],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if mounted.returncode != 0:
        raise SetupError("namespace: cannot mount a private binfmt_misc on %s (the kernel "
                             "needs one per user namespace, Linux 6.7 or later): %s"
                             % (BINFMT_MISC, mounted.stdout.decode(errors="replace").strip()))
    try:
        with open(os.path.join(BINFMT_MISC, "register"), "w") as register:
            register.write(register_line(QEMU_I386))
    except OSError as error:
        raise SetupError("namespace: cannot register %s in the private binfmt_misc: %s"
                             % (QEMU_I386, error))
