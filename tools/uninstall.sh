#!/usr/bin/env bash
# Removes what `make install` put below DESTDIR and PREFIX, and nothing else:
# the files are those that installing the same build with the same prefix
# gives, found by installing it into a scratch folder. Folders of its own
# (share/kestrow-sim) go when they are left empty; folders it shares with
# other programs (bin, the manual's, bash completion's) stay.
# Usage: tools/uninstall.sh BUILD_DIR PREFIX [DESTDIR]
set -euo pipefail
build=${1:?build folder}
prefix=${2:?prefix}
destdir=${3:-}
case $prefix in /*) ;; *) echo "uninstall: PREFIX must be a full path, found \"$prefix\"" >&2; exit 2;; esac
prefix=${prefix%/}

stage=$(mktemp -d /tmp/kestrow-uninstall.XXXXXX)
trap 'rm -rf "$stage"' EXIT
if ! log=$(DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" 2>&1); then
  echo "$log" >&2
  echo "uninstall: cannot tell what was installed: installing $build into a scratch folder failed" >&2
  exit 1
fi

removed=0
while IFS= read -r -d '' file; do
  target="$destdir${file#"$stage"}"
  if [ -e "$target" ] || [ -L "$target" ]; then
    rm -f -- "$target"
    removed=$((removed + 1))
  fi
done < <(find "$stage" \( -type f -o -type l \) -print0)

own="$stage$prefix/share/kestrow-sim"
if [ -d "$own" ]; then
  while IFS= read -r -d '' folder; do
    target="$destdir${folder#"$stage"}"
    [ -d "$target" ] && rmdir --ignore-fail-on-non-empty -- "$target"
  done < <(find "$own" -depth -type d -print0)
fi

if [ $removed -eq 0 ]; then
  echo "uninstall: nothing of kestrow-sim was installed below $destdir$prefix"
else
  echo "uninstall: removed $removed files below $destdir$prefix"
fi
