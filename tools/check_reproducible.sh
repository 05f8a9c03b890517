#!/usr/bin/env bash
# Builds Kestrow.exe and the download a second time, from a copy of the
# sources at another path into another build folder, and fails unless both
# come out byte-identical to build/win32/Kestrow.exe and dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/win32/Kestrow.exe ] || { echo "check_reproducible: build/win32/Kestrow.exe is missing (make win32)" >&2; exit 1; }
[ -d dist ] || { echo "check_reproducible: dist/ is missing (make dist)" >&2; exit 1; }

work=$(mktemp -d /tmp/kestrow-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"
(cd "$work" && cmake -S . -B "$work/other-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/cmake/toolchain-mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null && cmake --build "$work/other-build" >/dev/null)
python3 tools/make_dist.py --exe "$work/other-build/Kestrow.exe" --readme docs/README.TXT \
    --version 1.0.0.1 --out "$work/dist" >/dev/null

status=0
cmp build/win32/Kestrow.exe "$work/other-build/Kestrow.exe" || status=1
for f in dist/*; do cmp "$f" "$work/dist/$(basename "$f")" || status=1; done
[ $status -eq 0 ] && echo "check_reproducible: Kestrow.exe and the download are byte-identical"
exit $status
