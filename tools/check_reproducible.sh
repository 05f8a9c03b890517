#!/usr/bin/env bash
# Builds Kestrow.exe, the download and kestrow-sim's Debian package a second
# time, from a copy of the sources at another path into another build folder,
# and fails unless each comes out byte-identical to build/win32/Kestrow.exe
# and the files in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/win32/Kestrow.exe ] || { echo "check_reproducible: build/win32/Kestrow.exe is missing (make win32)" >&2; exit 1; }
[ -f dist/SHA256SUMS ] || { echo "check_reproducible: dist/ holds no download (make dist)" >&2; exit 1; }
deb="dist/kestrow-sim_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "check_reproducible: $deb is missing (make deb)" >&2; exit 1; }

work=$(mktemp -d /tmp/kestrow-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"
(cd "$work" && cmake -S . -B "$work/other-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/cmake/toolchain-mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null && cmake --build "$work/other-build" >/dev/null)
python3 tools/make_dist.py --exe "$work/other-build/Kestrow.exe" --readme docs/README.TXT \
    --version 1.0.0.1 --out "$work/dist" >/dev/null

# The package builds in a scratch folder of its own, at another path again.
bash tools/make_deb.sh "$work/dist" "$work/deb" >/dev/null

status=0
cmp build/win32/Kestrow.exe "$work/other-build/Kestrow.exe" || status=1
for f in dist/Kestrow-*.zip dist/SHA256SUMS "$deb"; do
  cmp "$f" "$work/dist/$(basename "$f")" || status=1
done
[ $status -eq 0 ] &&
  echo "check_reproducible: Kestrow.exe, the download and $(basename "$deb") are byte-identical"
exit $status
