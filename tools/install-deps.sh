#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the updater
# needs. Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config python3
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine wine64
  xvfb xauth x11-utils xdotool imagemagick
  clang libclang-rt-14-dev
  locales
  emscripten chromium
  # The virtual machine of tools/test-real-hid.sh. The kernel package's hook
  # builds an initramfs in /boot that nothing boots; no boot loader is touched.
  qemu-system-x86 linux-image-amd64 busybox-static
  # The README's server lines, run by the browser tests, and the upload of a
  # release onto them (tools/upload-site.sh).
  nginx-light rsync
  # tools/release.sh: Authenticode signing; openssl makes the test's
  # throw-away certificate.
  osslsigncode openssl
  # setfacl: the access the seat's user gets to the unit's node in there.
  acl
  # systemd-udevd in there: Chromium hears of units coming and going from udev.
  udev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

if [ ${#missing[@]} -ne 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The German user interface runs under LANG=de_DE.UTF-8.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  "${sudo_cmd[@]}" sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi
