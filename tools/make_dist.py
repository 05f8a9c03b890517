#!/usr/bin/env python3
"""Builds the download: dist/Kestrow-<version>.zip with Kestrow.exe and
README.TXT, and dist/SHA256SUMS.

The zip is reproducible: entries sorted by name, one fixed time stamp, fixed
attributes, no extra fields and no build paths, so two builds of one commit
give the same bytes.
"""
import argparse
import hashlib
import os
import sys
import zipfile

FIXED_TIME = (2000, 1, 1, 0, 0, 0)  # a date Windows 98 shows without surprise


def add_entry(archive, name, data):
    info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 0  # MS-DOS: plain attributes, as Windows' own tools read them
    info.external_attr = 0x20  # archive bit
    archive.writestr(info, data, compresslevel=9)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--readme", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    entries = {}
    for name, path in (("Kestrow.exe", args.exe), ("README.TXT", args.readme)):
        try:
            with open(path, "rb") as f:
                entries[name] = f.read()
        except OSError as error:
            sys.exit(f"make_dist: cannot read {path}: {error.strerror}")

    os.makedirs(args.out, exist_ok=True)
    zip_name = f"Kestrow-{args.version}.zip"
    zip_path = os.path.join(args.out, zip_name)
    temp_path = zip_path + ".tmp"
    with zipfile.ZipFile(temp_path, "w") as archive:
        for name in sorted(entries):
            add_entry(archive, name, entries[name])
    os.replace(temp_path, zip_path)

    with open(zip_path, "rb") as f:
        sums = [f"{hashlib.sha256(f.read()).hexdigest()}  {zip_name}\n"]
    sums_path = os.path.join(args.out, "SHA256SUMS")
    with open(sums_path + ".tmp", "w", newline="\n") as f:
        f.writelines(sums)
    os.replace(sums_path + ".tmp", sums_path)
    print("".join(sums), end="")


if __name__ == "__main__":
    main()
