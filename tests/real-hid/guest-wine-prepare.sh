#!/usr/bin/env bash
# Runs here, before the virtual machine boots: builds what the Wine cases in
# the guest need (tests/real-hid/guest-wine.sh, guest-measure-wine.sh) and
# puts it into WORKDIR/wine, which the guest sees as /tmp/work/wine:
#   orvanto-updater.exe      the product program built with the test image
#   orvanto-wine-hid.exe     the unit through SetupAPI and HID.DLL, timed
#   orvanto-wine-driver.exe  runs orvanto-updater.exe, reads its windows and
#                            plays the stories there
#   orvanto-wine-box-icon.dll  which icon a message box of the program shows
#                            (loaded into it by the driver's hook)
#   orvanto-uhid-unit        the emulated unit as a kernel HID device
#   hidraw-exchange          exchanges through the unit's hidraw node, timed
#                            (the floor that guest-measure-wine.sh measures)
#   test-image.bin           the test image (never firmware)
#   names.mjs                the numbers the C++ headers name, for the node
#                            tests (tools/gen_names.py, from the headers the
#                            page's build reads them from)
#   guest-wine-lib.sh        what the guest scripts share
#   prefix/                  a Wine prefix, made here: the guest's Wine
#                            starts from it (making one under the guest's
#                            emulated processor would take minutes)
#
# usage: tests/real-hid/guest-wine-prepare.sh WORKDIR
#
# The builds land in build/real-hid, configured as tests/real-hid/build.sh
# configures them. The prefix has winebus take hidraw nodes: Wine 8.0 starts
# its udev bus only when its SDL bus is switched off ("Enable SDL"=0; with
# SDL on, or libSDL2 missing, no udev bus and no hidraw device ever comes),
# and with "DisableHidraw"=0; "DisableInput"=1 keeps evdev devices out.
# Wine's service manager gives a service 10 s to start and gives it up after
# that; under the guest's emulated processor, loaded by another virtual
# machine, PlugPlay (which carries WM_DEVICECHANGE to programs) or the HID
# driver host can take longer, so the prefix allows two minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: $0 WORKDIR (an existing folder)" >&2
  exit 2
fi
target=$(cd "$1" && pwd)/wine
out=build/real-hid
mkdir -p "$out"
image="$PWD/$out/test-image.bin"

echo "== the Wine cases' programs (build/real-hid)"
python3 tests/real-hid/make_test_image.py "$image"
cmake --preset uhid -B "$out/uhid" >/dev/null
cmake --build "$out/uhid" --target orvanto-uhid-unit hidraw-exchange
cmake --preset windows -B "$out/windows" -DORVANTO_FIRMWARE_IMAGE="$image" \
  -DORVANTO_BUILD_TESTS=OFF >/dev/null
cmake --build "$out/windows" --target orvanto-updater orvanto-wine-hid orvanto-wine-driver \
  orvanto-wine-box-icon

rm -rf "$target"
mkdir -p "$target"
cp "$out/windows/orvanto-updater.exe" "$out/windows/tests/real-hid/orvanto-wine-hid.exe" \
  "$out/windows/tests/real-hid/orvanto-wine-driver.exe" \
  "$out/windows/tests/real-hid/orvanto-wine-box-icon.dll" \
  "$out/uhid/emulator/uhid/orvanto-uhid-unit" "$out/uhid/tests/real-hid/hidraw-exchange" "$image" \
  tests/real-hid/guest-wine-lib.sh "$target/"
python3 tools/gen_names.py "$target/names.mjs" link/*.h platform/*.h update/*.h res/resource.h \
  platform/web/page_host.h

echo "== a Wine prefix for the guest ($target/prefix)"
export WINEPREFIX="$target/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY
# A wineserver of this prefix's own, ended here whatever happens.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
timeout 300 wineboot -i >/dev/null 2>&1
wineserver -w
# No debugger for a crash, as in tools/with-wine.sh: Wine's own would end
# the crashed program with status 0 more often than not.
cat > "$target/prefix.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"=""

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\Drivers]
"Graphics"="null"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control]
"ServicesPipeTimeout"="120000"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\winebus]
"Enable SDL"=dword:00000000
"DisableHidraw"=dword:00000000
"DisableInput"=dword:00000001
REG
timeout 120 wine regedit /S "$target/prefix.reg" >/dev/null 2>&1
wineserver -w
for value in '"Debugger"=""' '"Enable SDL"=dword:00000000' \
             '"DisableHidraw"=dword:00000000' \
             '"DisableInput"=dword:00000001' '"ServicesPipeTimeout"="120000"'; do
  if ! grep -qF "$value" "$WINEPREFIX/system.reg"; then
    echo "guest-wine-prepare: the prefix's registry lacks $value" >&2
    exit 1
  fi
done
echo "   $(du -sh "$WINEPREFIX" | cut -f1), winebus: SDL off, hidraw on, evdev off"
