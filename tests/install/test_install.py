#!/usr/bin/env python3
"""kestrow-sim as a person who only wants the tool gets it: installed below a
prefix, with its sample machines, manual page and bash completion, and
removed again; the manual page and the completion against --help; --version.

Paths come from the environment (ctest sets them):
  KESTROW_SIM         the kestrow-sim executable of the build tree
  KESTROW_BUILD_DIR   that build's folder (installed with cmake --install)
  KESTROW_SOURCE_DIR  the source tree
  KESTROW_VERSION     the version the build was given
"""
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

KESTROW_SIM = os.environ.get("KESTROW_SIM", "build/host/kestrow-sim")
BUILD_DIR = os.environ.get("KESTROW_BUILD_DIR", "build/host")
SOURCE_DIR = os.environ.get("KESTROW_SOURCE_DIR", ".")
VERSION = os.environ.get("KESTROW_VERSION", "")
PREFIX = "/usr/local"
MAN_PAGE = os.path.join(SOURCE_DIR, "man", "kestrow-sim.1")
COMPLETION = os.path.join(SOURCE_DIR, "completion", "kestrow-sim")
SAMPLES = os.path.join(SOURCE_DIR, "sim", "machines")


def environment(**changes):
    """The test's environment without KESTROW_MACHINES, with the changes."""
    env = {k: v for k, v in os.environ.items() if k != "KESTROW_MACHINES"}
    env.update(changes)
    return env


def run(program, *args, cwd=None, env=None):
    return subprocess.run([program, *args], cwd=cwd, env=env or environment(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)


def files_below(folder):
    """Every file and symbolic link below the folder, as paths relative to it."""
    found = set()
    for root, dirs, files in os.walk(folder):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            found.add(os.path.relpath(os.path.join(root, name), folder))
    return found


def help_text():
    result = run(KESTROW_SIM, "--help")
    assert result.returncode == 0, result.stderr
    return result.stdout


def help_options():
    """The options --help lists: the words starting with - in the first
    column of its option lines (e.g. "--image FILE [--partition N]")."""
    options = set()
    for line in help_text().splitlines():
        match = re.match(r"^  (-\S.*?)(?:\s{2,}|$)", line)
        if match:
            options.update(re.findall(r"(?:^|[\s\[,])(--?[a-z][\w-]*|--)(?=[\s\]=,.]|$)",
                                      match.group(1)))
    return options


def help_exit_codes():
    paragraph = help_text().split("Exit codes:", 1)[1].split("\n\n", 1)[0]
    return set(re.findall(r"(?:^|;)\s*(\d+)\s", paragraph))


def man_sections():
    """The manual page as a person reads it, split into its sections."""
    rendered = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", "-rLL=200n", MAN_PAGE],
                              capture_output=True, text=True, check=True).stdout
    sections, name = {}, None
    for line in rendered.splitlines():
        if re.match(r"^[A-Z][A-Z ]+$", line):
            name = line
            sections[name] = []
        elif name:
            sections[name].append(line)
    return sections


class InstallTest(unittest.TestCase):
    """make install's rules into a scratch DESTDIR, the installed program run
    from another folder, and tools/uninstall.sh."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kestrow-install-")
        self.destdir = os.path.join(self.tmp, "root")
        self.prefix = self.destdir + PREFIX
        self.elsewhere = os.path.join(self.tmp, "elsewhere")
        os.makedirs(self.elsewhere)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def install(self):
        result = subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", PREFIX],
                                env=environment(DESTDIR=self.destdir), capture_output=True,
                                text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def uninstall(self):
        result = subprocess.run(["bash", os.path.join(SOURCE_DIR, "tools", "uninstall.sh"),
                                 BUILD_DIR, PREFIX, self.destdir],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result.stdout

    def test_installs_exactly_the_program_samples_manual_and_completion(self):
        self.install()
        expected = {"bin/kestrow-sim", "share/man/man1/kestrow-sim.1",
                    "share/bash-completion/completions/kestrow-sim"}
        expected |= {os.path.join("share/kestrow-sim/machines", path)
                     for path in files_below(SAMPLES)}
        # Nothing outside the prefix, and nothing but these below it.
        self.assertEqual(files_below(self.destdir),
                         {os.path.join(PREFIX.lstrip("/"), path) for path in expected})
        self.assertTrue(os.access(os.path.join(self.prefix, "bin/kestrow-sim"), os.X_OK))
        found = subprocess.run(["man", "-w", "kestrow-sim"], capture_output=True, text=True,
                               env=environment(MANPATH=os.path.join(self.prefix, "share/man")))
        self.assertEqual(found.stdout.strip(),
                         os.path.join(self.prefix, "share/man/man1/kestrow-sim.1"))

    def test_installed_program_finds_the_installed_samples(self):
        self.install()
        program = os.path.join(self.prefix, "bin/kestrow-sim")
        link = os.path.join(self.elsewhere, "kestrow-sim")
        os.symlink(program, link)
        samples = os.path.join(self.prefix, "share/kestrow-sim/machines")
        cases = [
            # (how it is started, its arguments, the machine folder expected)
            (program, [], os.path.join(samples, "win98se")),
            (program, ["--machine", "winme"], os.path.join(samples, "winme")),
            (link, ["--machine", "win98se-cp950"], os.path.join(samples, "win98se-cp950")),
        ]
        for started, args, folder in cases:
            with self.subTest(started=started, args=args):
                result = run(started, "--json", *args, cwd=self.elsewhere)
                self.assertEqual(result.returncode, 0, result.stderr)
                report = json.loads(result.stdout)
                self.assertEqual(report["machine"]["folder"], folder)
                self.assertEqual(len(report["keys_deleted"]), 1)

    def test_kestrow_machines_wins_over_the_installed_samples(self):
        self.install()
        own = os.path.join(self.tmp, "own")
        shutil.copytree(os.path.join(SAMPLES, "winme"), os.path.join(own, "mine"))
        program = os.path.join(self.prefix, "bin/kestrow-sim")
        env = environment(KESTROW_MACHINES=own)
        result = run(program, "--json", "--machine", "mine", cwd=self.elsewhere, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["machine"]["folder"],
                         os.path.join(own, "mine"))
        result = run(program, "--machine", "winme", cwd=self.elsewhere, env=env)
        self.assertEqual(result.returncode, 2)
        self.assertIn("(samples: mine)", result.stderr)

    def test_apply_refuses_the_installed_samples(self):
        self.install()
        program = os.path.join(self.prefix, "bin/kestrow-sim")
        registry = os.path.join(self.prefix, "share/kestrow-sim/machines/win98se/registry.reg")
        with open(registry, "rb") as f:
            before = f.read()
        result = run(program, "--apply", cwd=self.elsewhere)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("cp -r " + os.path.dirname(registry), result.stdout)
        with open(registry, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_build_tree_program_finds_the_source_trees_samples(self):
        result = run(KESTROW_SIM, "--json", cwd=self.elsewhere)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.path.realpath(json.loads(result.stdout)["machine"]["folder"]),
                         os.path.realpath(os.path.join(SAMPLES, "win98se")))

    def test_uninstall_removes_exactly_what_was_installed(self):
        # What was there before, and what a person added among the samples,
        # stays; so do the folders shared with other programs.
        theirs = os.path.join(self.prefix, "bin", "other-tool")
        os.makedirs(os.path.dirname(theirs))
        with open(theirs, "w") as f:
            f.write("#!/bin/sh\n")
        self.install()
        added = os.path.join(self.prefix, "share/kestrow-sim/machines/mine/machine.ini")
        os.makedirs(os.path.dirname(added))
        with open(added, "w") as f:
            f.write("[machine]\n")
        self.assertIn("removed", self.uninstall())
        self.assertEqual(files_below(self.destdir),
                         {os.path.relpath(path, self.destdir) for path in (theirs, added)})
        self.assertFalse(os.path.exists(os.path.join(self.prefix, "share/kestrow-sim/machines/xp")))
        # A second run finds nothing to remove and says so.
        self.assertIn("nothing of kestrow-sim was installed", self.uninstall())

    def test_uninstall_leaves_no_folder_of_its_own(self):
        self.install()
        self.uninstall()
        self.assertFalse(os.path.exists(os.path.join(self.prefix, "share/kestrow-sim")))
        self.assertEqual(files_below(self.destdir), set())


class ManPageTest(unittest.TestCase):
    """The manual page tells what --help tells: the same options, the same
    exit codes, the same version."""

    def test_options_match_help(self):
        options = set()
        for line in man_sections()["OPTIONS"]:
            match = re.match(r"^ {7}(-[\w-]*(?:, -[\w-]*)*)", line)
            if match:
                options.update(match.group(1).split(", "))
        listed = help_options()
        self.assertIn("--machine", listed)
        self.assertEqual(options, listed)

    def test_exit_codes_match_help(self):
        codes = {m.group(1) for line in man_sections()["EXIT STATUS"]
                 if (m := re.match(r"^ {7}(\d+)\s", line))}
        self.assertEqual(help_exit_codes(), {"0", "1", "2", "3"})
        self.assertEqual(codes, help_exit_codes())

    def test_sections(self):
        sections = man_sections()
        for name in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT",
                     "FILES", "EXAMPLES", "SEE ALSO"):
            self.assertIn(name, sections)
        self.assertIn("KESTROW_MACHINES", "\n".join(sections["ENVIRONMENT"]))

    def test_version_matches_the_program(self):
        with open(MAN_PAGE, encoding="utf-8") as f:
            title = next(line for line in f if line.startswith(".TH "))
        self.assertIn('"kestrow\\-sim %s"' % VERSION, title)


class CompletionTest(unittest.TestCase):
    """The bash completion, called as bash calls it."""

    def complete(self, *words, env=None, program=COMPLETION):
        script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '
                  '_kestrow_sim; printf "%s\\n" "${COMPREPLY[@]}"')
        result = subprocess.run(["bash", "--norc", "-c", script, "bash", program,
                                 "kestrow-sim", *words],
                                env=env or environment(KESTROW_MACHINES=SAMPLES),
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        return sorted(line for line in result.stdout.splitlines() if line)

    def known(self, option):
        """The values the program lists when refusing a bad one."""
        result = run(KESTROW_SIM, option, "no-such-value")
        self.assertEqual(result.returncode, 2)
        listed = re.search(r"\(known: ([^)]*)\)", result.stderr).group(1)
        return sorted(listed.split(", "))

    def test_options_match_help(self):
        self.assertEqual(set(self.complete("-")), help_options())

    def test_values(self):
        cases = [
            (["--machine", "win98"], ["win98se", "win98se-cp950"]),
            (["--machine", "=", "x"], ["xp"]),
            (["--answer", "ok,c"], ["ok,cancel"]),
            (["--answer", ""], ["cancel", "none", "ok"]),
            (["--codepage", "95"], ["950"]),
            (["--drive", "d"], ["D="]),
            (["--fail", "RegDel"], ["RegDeleteKeyA"]),
            (["--partition", ""], []),
            # After -- the words are the installer's own command line.
            (["--", "--mach"], []),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(self.complete(*words), expected)

    def test_drive_folder(self):
        folder = tempfile.mkdtemp(prefix="kestrow-completion-")
        try:
            os.mkdir(os.path.join(folder, "win98"))
            start = os.path.join(folder, "wi")
            self.assertEqual(self.complete("--drive", "C=" + start),
                             ["C=" + os.path.join(folder, "win98")])
            # bash's default word breaks split C=DIR at the '='.
            self.assertEqual(self.complete("--drive", "C", "=", start),
                             [os.path.join(folder, "win98")])
        finally:
            shutil.rmtree(folder)

    def test_system_and_operation_names_are_the_programs(self):
        self.assertEqual(self.complete("--system", ""), self.known("--system"))
        self.assertEqual(self.complete("--fail", ""), self.known("--fail"))

    def test_code_pages_are_the_programs(self):
        for code_page in self.complete("--codepage", ""):
            with self.subTest(code_page=code_page):
                self.assertEqual(run(KESTROW_SIM, "--codepage", code_page, "--help").returncode,
                                 0)


class VersionTest(unittest.TestCase):

    def test_version_and_libraries(self):
        result = run(KESTROW_SIM, "--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "kestrow-sim " + VERSION)
        libraries = dict(re.match(r"^(\S+) (\S+): \S", line).groups() for line in lines[1:])
        # The versions the program runs with are those of the libraries installed.
        for name, package in (("libcreg", "libcreg"), ("libtsk", "tsk")):
            installed = subprocess.run(["pkg-config", "--modversion", package],
                                       capture_output=True, text=True, check=True).stdout.strip()
            self.assertEqual(libraries.pop(name), installed, name)
        self.assertEqual(libraries, {})

    def test_version_takes_no_value(self):
        result = run(KESTROW_SIM, "--version=1")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--version takes no value", result.stderr)


if __name__ == "__main__":
    unittest.main()
