#!/usr/bin/env bash
# Builds the Debian package of kestrow-sim with dpkg-buildpackage, from a
# copy of the tracked files in a scratch folder (dpkg-buildpackage writes its
# results beside the source folder, and the package must not depend on what
# else lies in the work tree). The .deb goes to OUT (default dist/), the
# source package, .buildinfo and .changes to KEEP (default build/deb/).
# SOURCE_DATE_EPOCH comes from debian/changelog, so that two builds of one
# commit give the same bytes (tools/check_reproducible.sh checks it).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-dist}")
keep=$(realpath -m "${2:-build/deb}")

for tool in dpkg-buildpackage dh dpkg-parsechangelog; do
  command -v "$tool" >/dev/null ||
    { echo "make_deb: $tool is missing (bash tools/install-deps.sh installs it)" >&2; exit 1; }
done
source=$(dpkg-parsechangelog -S Source)
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
deb="kestrow-sim_${version}_${arch}.deb"

work=$(mktemp -d /tmp/kestrow-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree="$work/$source-$version"
mkdir "$tree"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$tree"

echo "make_deb: building $deb in $tree"
if ! (cd "$tree" && DEB_BUILD_OPTIONS="parallel=${JOBS:-2} ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage --no-sign >"$work/build.log" 2>&1); then
  tail -n 40 "$work/build.log" >&2
  echo "make_deb: dpkg-buildpackage failed (the last lines of its log are above)" >&2
  exit 1
fi

mkdir -p "$out" "$keep"
rm -f "$keep"/"${source}"_* "$keep"/kestrow-sim*
cp "$work/$deb" "$out/"
cp "$work/$deb" "$work/${source}_${version}"* "$keep/"
cp "$work"/kestrow-sim-dbgsym_* "$keep/" 2>/dev/null || true
echo "make_deb: $out/$deb"
