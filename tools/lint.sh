#!/usr/bin/env bash
# Static analysis of the project's own code: clang-format (check only) on
# every C and C++ file, clang-tidy and cppcheck on the program, the platform
# implementations and the simulator; groff and man on kestrow-sim's manual
# page; lintian on its Debian package. Needs the host build's compile
# database (build/host/compile_commands.json) and the package (make deb).
# Exits non-zero on any finding.
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
mapfile -t all_sources < <(git ls-files '*.cpp' '*.h' '*.c')
mapfile -t analysed < <(git ls-files 'framework/*.cpp' 'installer/*.cpp' 'platform/sim/*.cpp' \
                                     'sim/*.cpp')

echo "lint: include order of the simulator's layers"
python3 tools/check_layers.py || status=1

echo "lint: clang-format on ${#all_sources[@]} files"
clang-format --dry-run --Werror "${all_sources[@]}" || status=1

if [ ! -f build/host/compile_commands.json ]; then
  echo "lint: build/host/compile_commands.json is missing: build the host preset first" >&2
  exit 1
fi
echo "lint: clang-tidy on ${#analysed[@]} files"
if ! clang-tidy -p build/host --quiet "${analysed[@]}" 2>/dev/null | grep -E '(warning|error):'; then
  :
else
  status=1
fi
# clang-tidy exits non-zero on findings (warnings are errors in .clang-tidy).
clang-tidy -p build/host --quiet "${analysed[@]}" >/dev/null 2>&1 || status=1

echo "lint: cppcheck"
# platform/win32 is checked without <windows.h>, which is not on the host.
cppcheck --quiet --enable=warning,performance,portability --std=c++17 --inline-suppr \
  --error-exitcode=1 -I . framework installer platform sim || status=1

echo "lint: the manual page (groff -ww, man --warnings)"
# Both print their warnings on standard error and exit 0: any output fails.
manual=$( { groff -man -ww -z man/kestrow-sim.1
            LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
              man --warnings -E UTF-8 -l -Tutf8 -Z man/kestrow-sim.1 >/dev/null; } 2>&1)
if [ -n "$manual" ]; then echo "$manual"; status=1; fi

echo "lint: lintian on the Debian package"
changes="build/deb/$(dpkg-parsechangelog -S Source)_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).changes"
if [ ! -f "$changes" ]; then
  echo "lint: $changes is missing: build the package first (make deb)" >&2
  status=1
else
  # Every tag but the pedantic and experimental ones fails; info tags are
  # shown. debian/*.lintian-overrides says why a tag is overridden.
  lintian --fail-on error,warning --display-info "$changes" 2>&1 |
    grep -v '^running with root privileges is not recommended!$'
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
fi

[ $status -eq 0 ] && echo "lint: clean"
exit $status
