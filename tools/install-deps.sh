#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are
# missing. Does nothing when everything is present; needs root otherwise.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

packages=(
  cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 fonts-wine xvfb xdotool x11-apps imagemagick locales debian-archive-keyring
  python3 zip nlohmann-json3-dev
  clang-14 libclang-rt-14-dev
  pkg-config libcreg-dev libbfio-dev libcreg-utils
  libtsk-dev mtools dosfstools qemu-utils
  debhelper dpkg-dev lintian man-db groff-base
)

# The end-to-end tests run the 32-bit Kestrow.exe under 32-bit Wine
# (wine32:i386), which QEMU's i386 emulator runs: machines of this kind run
# no 32-bit Linux code themselves. fonts-wine holds the fonts (Tahoma,
# Marlett) that the boxes in the screenshots are drawn with. debhelper and
# lintian build and check kestrow-sim's Debian package (make deb); man-db and
# groff-base check its manual page.
for p in "${packages[@]}"; do have "$p" || need+=("$p"); done

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (run as root to install): ${need[*]}" >&2
    exit 1
  fi
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# The double-byte tests run Wine in code page 950.
if ! locale -a 2>/dev/null | grep -qi '^zh_TW\.utf-\?8$'; then
  if [ "$(id -u)" -eq 0 ]; then
    sed -i 's/^# *\(zh_TW.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_TW.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_TW.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
  else
    echo "install-deps: locale zh_TW.UTF-8 missing (run as root to generate it)" >&2
  fi
fi

# The emulator for 32-bit Wine, from bookworm-backports, into build/qemu-user/.
bash "$(dirname "$0")/fetch-qemu-user.sh"
