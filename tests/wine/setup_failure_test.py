"""A Wine test whose emulator or namespace cannot be set up fails, naming
which, and never passes by skipping.

    python3 -m unittest discover -s tests/wine -p setup_failure_test.py
"""

import os
import subprocess
import sys
import tempfile
import unittest

RUN_CASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_case.py")
SETUP_FAILED = 2  # run_case.py's exit code when a test could not be carried out


class SetupFailures(unittest.TestCase):
    def test_a_missing_part_fails_the_test_and_is_named(self):
        cases = [
            # (what, environment changes, the start of the message)
            ("no emulator", {"KESTROW_QEMU_I386": "/nonexistent/qemu-i386"},
             "ERROR: emulator: /nonexistent/qemu-i386 not found"),
            ("no unshare", {"PATH": "/nonexistent"}, "ERROR: namespace: unshare not found"),
        ]
        for what, changes, expected in cases:
            with self.subTest(what), tempfile.TemporaryDirectory() as work:
                for command in (["make-prefix", "--prefix", os.path.join(work, "prefix")],
                                ["run", "refused_winxp", "--base", work, "--work", work,
                                 "--exe", RUN_CASE, "--launcher", RUN_CASE]):
                    result = subprocess.run([sys.executable, RUN_CASE, *command],
                                            env=dict(os.environ, **changes),
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                            timeout=60)
                    output = result.stdout.decode(errors="replace")
                    self.assertEqual(result.returncode, SETUP_FAILED, output)
                    self.assertIn(expected, output)


if __name__ == "__main__":
    unittest.main()
