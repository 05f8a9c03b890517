#!/usr/bin/env python3
"""Checks that each folder of the simulator includes only the folders below it.

A folder states what it may include in its CMakeLists.txt, on a comment line
of its own:

    # May include: platform, platform/sim, sim/host

Every project header a C or C++ file of that folder includes (an include in
double quotes) must lie in the folder itself or in one of the folders named
there; a header lying directly in a named folder counts, not one in a folder
below it. Prints each include that breaks the rule with its file and line,
and exits 1 when there is one.
"""
import os
import re
import subprocess
import sys

RULE = re.compile(r"^#\s*May include:\s*(.*)$", re.MULTILINE)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_rules(root):
    rules = {}
    listed = subprocess.run(["git", "ls-files", "*CMakeLists.txt"], cwd=root,
                            capture_output=True, text=True, check=True).stdout.split()
    for path in listed:
        with open(os.path.join(root, path), encoding="utf-8") as f:
            match = RULE.search(f.read())
        if match:
            folder = os.path.dirname(path)
            allowed = [name.strip() for name in match.group(1).split(",") if name.strip()]
            if allowed == ["nothing"]:
                allowed = []
            rules[folder] = set(allowed) | {folder}
    return rules


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    rules = folder_rules(root)
    sources = subprocess.run(["git", "ls-files", "*.cpp", "*.h", "*.c"], cwd=root,
                             capture_output=True, text=True, check=True).stdout.split()
    broken = 0
    for source in sources:
        folder = os.path.dirname(source)
        if folder not in rules:
            continue
        with open(os.path.join(root, source), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                included = os.path.dirname(match.group(1))
                if included == "" and os.path.exists(os.path.join(root, folder, match.group(1))):
                    included = folder
                if included not in rules[folder]:
                    print(f"{source}:{number}: includes {match.group(1)}, but {folder} may "
                          f"include only {', '.join(sorted(rules[folder]))}")
                    broken += 1
    print(f"check_layers: {len(rules)} folders, {broken} includes out of order")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
