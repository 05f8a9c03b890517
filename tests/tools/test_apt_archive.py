"""tools/fetch-qemu-user.sh finds the Debian archive in the machine's apt
sources, in either of apt's two forms, instead of naming a host itself."""
import os
import subprocess
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "fetch-qemu-user.sh")
MIRROR = "http://mirror.example/pub/debian"
OTHER = "http://other.example/ftp/debian"

# (name, {file below the apt folder: contents}, archive expected or None)
CASES = [
    ("one-line sources.list", {"sources.list": f"deb {MIRROR} bookworm main\n"}, MIRROR),
    ("one-line with options and a comment",
     {"sources.list": f"# deb {OTHER} bookworm main\n"
                      f"deb [arch=amd64 signed-by=/k.gpg] {MIRROR}/ bookworm main contrib\n"},
     MIRROR),
    ("deb-src and the security suite are not the archive",
     {"sources.list": f"deb-src {OTHER} bookworm main\n"
                      f"deb {OTHER}-security bookworm-security main\n",
      "sources.list.d/main.list": f"deb {MIRROR} bookworm main\n"}, MIRROR),
    ("deb822 stanzas, the second carries the suite",
     {"sources.list.d/debian.sources":
          f"Types: deb\nURIs: {OTHER}-security\nSuites: bookworm-security\nComponents: main\n\n"
          f"Types: deb deb-src\nURIs: {MIRROR}\nSuites: bookworm bookworm-updates\n"
          "Components: main\n"}, MIRROR),
    ("deb822 stanza switched off",
     {"sources.list.d/a.sources":
          f"Enabled: no\nTypes: deb\nURIs: {OTHER}\nSuites: bookworm\n\n"
          f"Types: deb\nURIs: {MIRROR}\nSuites: bookworm\n"}, MIRROR),
    ("deb822 last stanza without a blank line after it",
     {"sources.list.d/a.sources": f"Types: deb\nURIs: {MIRROR}\nSuites: bookworm"}, MIRROR),
    ("files apt ignores are ignored",
     {"sources.list.d/old.list.disabled": f"deb {OTHER} bookworm main\n",
      "sources.list.d/new.list": f"deb {MIRROR} bookworm main\n"}, MIRROR),
    ("no bookworm archive", {"sources.list": f"deb {OTHER} trixie main\n"}, None),
    ("no sources at all", {}, None),
]


class AptArchiveTest(unittest.TestCase):
    def test_cases(self):
        for name, files, expected in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as apt:
                os.makedirs(os.path.join(apt, "sources.list.d"))
                for path, text in files.items():
                    with open(os.path.join(apt, path), "w") as f:
                        f.write(text)
                env = dict(os.environ, KESTROW_APT_SOURCES_DIR=apt)
                env.pop("KESTROW_DEBIAN_ARCHIVE", None)
                run = subprocess.run(["bash", SCRIPT, "--print-archive"], env=env,
                                     capture_output=True, text=True)
                if expected is None:
                    self.assertNotEqual(run.returncode, 0)
                    self.assertIn("no Debian bookworm archive", run.stderr)
                else:
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertEqual(run.stdout.strip(), expected)

    def test_override_wins(self):
        with tempfile.TemporaryDirectory() as apt:
            env = dict(os.environ, KESTROW_APT_SOURCES_DIR=apt, KESTROW_DEBIAN_ARCHIVE=OTHER)
            run = subprocess.run(["bash", SCRIPT, "--print-archive"], env=env,
                                 capture_output=True, text=True)
            self.assertEqual((run.returncode, run.stdout.strip()), (0, OTHER))


if __name__ == "__main__":
    unittest.main()
