#!/usr/bin/env bash
# Puts QEMU's i386 user-mode emulator, which runs 32-bit Wine for the Wine
# tests, into build/qemu-user/ when it is not there yet:
#
#   build/qemu-user/qemu-i386   (a static binary, with its copyright file)
#
# The version matters: Debian 12's own qemu-user-static 7.2 cannot start
# 32-bit Wine, the one from bookworm-backports can. It is fetched from
# Debian's archive with apt-get on a private configuration (its own source
# list, package lists and cache below build/), so the machine's own apt
# state is not changed, then unpacked with dpkg-deb; nothing is installed.
# `fetch-qemu-user.sh --print-archive` prints the archive it would use. Needs no root, only Debian's archive keyring and network
# access to the Debian archive that the machine's own apt sources name (so a
# mirror or a proxy set up for apt works here too); KESTROW_DEBIAN_ARCHIVE
# overrides it.
set -euo pipefail

QEMU_USER_VERSION="1:10.0.2+ds-2+deb13u1~bpo12+1"
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
# The machine's apt sources, both forms: one-line (sources.list, *.list) and
# deb822 (*.sources). Files with other endings are ignored, as apt does.
APT_SOURCES_DIR="${KESTROW_APT_SOURCES_DIR:-/etc/apt}"

root="$(cd "$(dirname "$0")/.." && pwd)"
target="$root/build/qemu-user"
qemu="$target/qemu-i386"
stamp="$target/VERSION"

if [ "${1:-}" != "--print-archive" ] && [ -x "$qemu" ] &&
   [ "$(cat "$stamp" 2>/dev/null)" = "$QEMU_USER_VERSION" ]; then
  exit 0
fi

# Prints the URI of the first "deb" source that carries the suite $1.
debian_archive_for_suite() {
  local suite=$1 file
  for file in "$APT_SOURCES_DIR/sources.list" "$APT_SOURCES_DIR"/sources.list.d/*.list; do
    [ -r "$file" ] || continue
    # deb [option=value ...] URI SUITE COMPONENT...
    sed -e 's/#.*//' "$file" | awk -v suite="$suite" '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) { print $i; exit }
      }'
  done
  for file in "$APT_SOURCES_DIR"/sources.list.d/*.sources; do
    [ -r "$file" ] || continue
    # Stanzas are separated by blank lines; fields are "Name: value".
    awk -v suite="$suite" '
      function finish() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no" && (" " suites " ") ~ (" " suite " ")) {
          split(uris, u, " "); print u[1]; found = 1
        }
        types = ""; uris = ""; suites = ""; enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { finish(); if (found) exit; next }
      {
        name = tolower($0); sub(/:.*/, "", name)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value); gsub(/[ \t]+/, " ", value)
        if (name == "types") types = value
        else if (name == "uris") uris = value
        else if (name == "suites") suites = value
        else if (name == "enabled") enabled = tolower(value)
      }
      END { if (!found) finish() }' "$file"
  done
}

ARCHIVE="${KESTROW_DEBIAN_ARCHIVE:-}"
if [ -z "$ARCHIVE" ]; then
  ARCHIVE="$(debian_archive_for_suite bookworm | head -n 1)"
fi
if [ -z "$ARCHIVE" ]; then
  echo "fetch-qemu-user: no Debian bookworm archive in the apt sources under $APT_SOURCES_DIR" \
       "(sources.list, sources.list.d/*.list or *.sources); set KESTROW_DEBIAN_ARCHIVE" >&2
  exit 1
fi
ARCHIVE="${ARCHIVE%/}"
if [ "${1:-}" = "--print-archive" ]; then
  echo "$ARCHIVE"
  exit 0
fi

if [ ! -r "$KEYRING" ]; then
  echo "fetch-qemu-user: $KEYRING missing (package debian-archive-keyring)" >&2
  exit 1
fi

apt_dir="$root/build/apt-qemu-user"
rm -rf "$apt_dir" "$target"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/download"
echo "deb [signed-by=$KEYRING] $ARCHIVE bookworm-backports main" > "$apt_dir/sources.list"
apt_options=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=/nonexistent"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "Debug::NoLocking=1"
  -o "APT::Sandbox::User=root"
)

echo "fetch-qemu-user: downloading qemu-user $QEMU_USER_VERSION from bookworm-backports of $ARCHIVE"
apt-get "${apt_options[@]}" update -qq
# A backport is replaced when a newer one arrives; the archive then no
# longer holds the version named here, and the newer one is taken instead.
if ! (cd "$apt_dir/download" &&
      apt-get "${apt_options[@]}" download "qemu-user=$QEMU_USER_VERSION"); then
  echo "fetch-qemu-user: $QEMU_USER_VERSION is no longer in bookworm-backports;" \
       "taking the qemu-user it holds now" >&2
  (cd "$apt_dir/download" && apt-get "${apt_options[@]}" download qemu-user)
fi

# Unpacked beside the target first and renamed into place at the end, so
# that an interrupted run never leaves a half-unpacked emulator.
partial="$target.partial"
rm -rf "$partial"
unpacked="$apt_dir/unpacked"
dpkg-deb -x "$apt_dir"/download/qemu-user_*.deb "$unpacked"
if [ ! -x "$unpacked/usr/bin/qemu-i386" ]; then
  echo "fetch-qemu-user: the package holds no usr/bin/qemu-i386" >&2
  exit 1
fi
mkdir "$partial"
mv "$unpacked/usr/bin/qemu-i386" "$unpacked/usr/share/doc/qemu-user/copyright" "$partial/"
# VERSION is the version asked for (a later run then has nothing to do);
# PACKAGE_VERSION the one unpacked.
echo "$QEMU_USER_VERSION" > "$partial/VERSION"
dpkg-deb -f "$apt_dir"/download/qemu-user_*.deb Version > "$partial/PACKAGE_VERSION"
mv "$partial" "$target"
rm -rf "$apt_dir"
echo "fetch-qemu-user: $qemu"
