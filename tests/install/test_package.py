#!/usr/bin/env python3
"""The Debian package of kestrow-sim (dist/, made by `make deb`), installed
with apt into a throwaway root: an overlay of this machine's own root, which
already holds the package's dependencies, in a mount namespace of the test's
own, so that nothing reaches the machine itself. Needs root, as make test
runs in CI.

Paths come from the environment (ctest sets them):
  KESTROW_DEB       the package file
  KESTROW_VERSION   the version the package must carry
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

DEB = os.environ.get("KESTROW_DEB", "")
VERSION = os.environ.get("KESTROW_VERSION", "")

# Runs inside the namespace: $1 the scratch folder, $2 the package file. The
# root is an overlay of / whose changes go to a tmpfs; everything the package
# does lands there and goes with the namespace. Prints what the checks read,
# each part after a line "== NAME".
THROWAWAY_ROOT = r"""
set -eu
scratch=$1 deb=$2
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" \
    "$scratch/root"
mount --rbind /dev "$scratch/root/dev"
mount -t proc proc "$scratch/root/proc"
mkdir -p "$scratch/root/tmp/package"
cp "$deb" "$scratch/root/tmp/package/"
chroot "$scratch/root" /bin/bash -eu -c '
    deb=/tmp/package/$(basename "$1")
    export DEBIAN_FRONTEND=noninteractive
    unset KESTROW_MACHINES
    echo "== install"
    apt-get install -y -q "$deb" 2>&1
    cd /root
    echo "== version"; kestrow-sim --version
    echo "== run"; kestrow-sim --machine winme -- -s "-f2\"c:\\csb.log\""
    echo "== man"; man -w kestrow-sim; MANWIDTH=80 man kestrow-sim 2>&1 | head -n 4
    echo "== completion"
    set +eu  # as in an interactive shell
    source /usr/share/bash-completion/completions/kestrow-sim
    COMP_WORDS=(kestrow-sim --machine win); COMP_CWORD=2; _kestrow_sim
    printf "%s\n" "${COMPREPLY[@]}"
    set -eu
    echo "== files"; dpkg -L kestrow-sim
    echo "== remove"; apt-get purge -y -q kestrow-sim >/dev/null 2>&1
    dpkg -L kestrow-sim 2>&1 || true
    ls /usr/share/kestrow-sim 2>&1 || true
' chroot "$deb"
"""


def parts(output):
    """The script's output as {part name: text}."""
    found, name = {}, None
    for line in output.splitlines():
        if line.startswith("== "):
            name = line[3:]
            found[name] = []
        elif name:
            found[name].append(line)
    return {name: "\n".join(lines) for name, lines in found.items()}


class DebianPackageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(DEB):
            raise AssertionError(f"{DEB} is missing: make deb builds it")
        if os.geteuid() != 0:
            raise AssertionError("installing the package into a throwaway root needs root "
                                 "(an overlay mount in a mount namespace of its own)")
        cls.scratch = tempfile.mkdtemp(prefix="kestrow-package-")
        try:
            cls.result = subprocess.run(
                ["unshare", "--mount", "--propagation", "private", "--fork", "bash", "-c",
                 THROWAWAY_ROOT, "throwaway-root", cls.scratch, os.path.abspath(DEB)],
                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        finally:
            shutil.rmtree(cls.scratch)
        cls.parts = parts(cls.result.stdout)

    def test_installs_and_runs_from_another_folder(self):
        self.assertEqual(self.result.returncode, 0, self.result.stdout + self.result.stderr)
        self.assertIn("Setting up kestrow-sim (%s)" % VERSION, self.parts["install"])
        self.assertTrue(self.parts["version"].startswith("kestrow-sim %s\n" % VERSION))
        run = self.parts["run"]
        self.assertIn("Machine:      /usr/share/kestrow-sim/machines/winme", run)
        self.assertIn("Registry key deleted: HKEY_LOCAL_MACHINE\\Enum\\PCI\\", run)
        self.assertIn("Marker c:\\csb.log: written", run)

    def test_manual_page_and_completion(self):
        self.assertIn("/usr/share/man/man1/kestrow-sim.1.gz", self.parts["man"])
        self.assertRegex(self.parts["man"], r"KESTROW-SIM\(1\) +User Commands")
        self.assertEqual(sorted(self.parts["completion"].split()),
                         ["win98se", "win98se-cp950", "winme"])

    def test_removal_leaves_nothing(self):
        self.assertIn("/usr/share/kestrow-sim/machines/xp/machine.ini", self.parts["files"])
        self.assertIn("package 'kestrow-sim' is not installed", self.parts["remove"])
        self.assertIn("No such file or directory", self.parts["remove"])

    def test_control_fields(self):
        fields = subprocess.run(["dpkg-deb", "-f", DEB, "Package", "Version", "Depends"],
                                capture_output=True, text=True, check=True).stdout
        self.assertIn("Package: kestrow-sim\n", fields)
        self.assertIn("Version: %s\n" % VERSION, fields)
        depends = {re.match(r"\s*([\w.+-]+)", d).group(1)
                   for d in fields.split("Depends:", 1)[1].split(",")}
        # Found by dpkg-shlibdeps from the libraries the program links.
        self.assertLessEqual({"libc6", "libstdc++6", "libcreg1", "libtsk19"}, depends)
        scripts = subprocess.run(["dpkg-deb", "-I", DEB], capture_output=True, text=True,
                                 check=True).stdout
        # No maintainer scripts: installing and removing only places files.
        for script in ("preinst", "postinst", "prerm", "postrm"):
            self.assertNotRegex(scripts, r"\b%s\b" % script)


if __name__ == "__main__":
    unittest.main()
