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
# sources are neither read nor changed, then unpacked with dpkg-deb; nothing
# is installed. Needs no root, only Debian's archive keyring and network
# access to deb.debian.org.
set -euo pipefail

QEMU_USER_VERSION="1:10.0.2+ds-2+deb13u1~bpo12+1"
ARCHIVE="${KESTROW_DEBIAN_ARCHIVE:-http://deb.debian.org/debian}"
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

root="$(cd "$(dirname "$0")/.." && pwd)"
target="$root/build/qemu-user"
qemu="$target/qemu-i386"
stamp="$target/VERSION"

if [ -x "$qemu" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$QEMU_USER_VERSION" ]; then
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

echo "fetch-qemu-user: downloading qemu-user $QEMU_USER_VERSION from bookworm-backports"
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
