#!/usr/bin/env bash
# Runs one script inside a small virtual machine that has a real Linux HID
# stack: this machine's own Debian kernel (linux-image-amd64) booted in QEMU
# with TCG, over this machine's root file system shared read-only (9p), so
# that every program installed here is there inside too. The kernel's uhid,
# hid and hid-generic modules are loaded, so a program inside can make
# kernel HID devices through /dev/uhid and open their hidraw nodes.
#
# usage: tests/real-hid/run-guest.sh [--work DIR] [--timeout SECONDS]
#                                    [--memory MB] [--cpu MODEL]
#                                    SCRIPT [ARGUMENTS...]
#
# SCRIPT runs as root with bash in the guest, in the work folder, which the
# guest sees as /tmp/work (read-write): the only way in and out. Put there
# whatever the script needs from this machine's /tmp (the guest's /tmp is a
# tmpfs of its own) and find there what it leaves. Its output goes to
# guest.log in the work folder and is shown here as it comes. --work names
# the work folder (it must exist; it is left in place); without it a
# temporary one is used and removed. --cpu gives QEMU's processor model with
# its features: max,-smap by default (TCG's emulation of SMAP makes Wine's
# processes fault in the guest); Chromium needs max,-smap,-avx2 (QEMU 7.2's
# emulation of AVX2 makes its renderer fault when it draws a scaled image).
# The exit status is the script's, 124 when the time limit (default 600 s)
# ended the machine, 1 when the machine ended without the script's status.
#
# The machine's console goes to console.log in the work folder.
#
# Leaves nothing behind: the machine is stopped whatever happens (SIGINT,
# SIGTERM or SIGHUP to this script or to its process group, and this
# script's own end, even by SIGKILL: QEMU then gets SIGTERM, and SIGKILL 10 s
# later), and the temporary folders are removed. Needs qemu-system-x86, linux-image-amd64 and
# busybox-static (tools/install-deps.sh). KVM is not used: guests under KVM
# hang early on these machines, and TCG is fast enough.
set -euo pipefail

work=""
limit=600
memory=2048
cpu="max,-smap"
while [ $# -gt 0 ]; do
  case "$1" in
    --work) work="$2"; shift 2 ;;
    --timeout) limit="$2"; shift 2 ;;
    --memory) memory="$2"; shift 2 ;;
    --cpu) cpu="$2"; shift 2 ;;
    --) shift; break ;;
    -*) echo "run-guest: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 [--work DIR] [--timeout SECONDS] [--memory MB] [--cpu MODEL] SCRIPT [ARGUMENTS...]" >&2
  exit 2
fi
script="$1"
shift

# The newest installed kernel with its modules.
kver=""
for kernel in $(ls -v /boot/vmlinuz-* 2>/dev/null); do
  candidate="${kernel#/boot/vmlinuz-}"
  [ -f "/lib/modules/$candidate/modules.dep" ] && kver="$candidate"
done
if [ -z "$kver" ]; then
  echo "run-guest: no kernel in /boot with its modules: install linux-image-amd64" >&2
  exit 2
fi
for tool in qemu-system-x86_64 busybox; do
  if ! command -v "$tool" >/dev/null; then
    echo "run-guest: $tool is missing: install qemu-system-x86 and busybox-static" >&2
    exit 2
  fi
done

project=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orvanto-guest.XXXXXX")
vm_pid=""
tail_pid=""
cleanup() {
  if [ -n "$vm_pid" ] && kill -0 "$vm_pid" 2>/dev/null; then
    kill -TERM "$vm_pid" 2>/dev/null || true
    wait "$vm_pid" 2>/dev/null || true
  fi
  if [ -n "$tail_pid" ] && kill -0 "$tail_pid" 2>/dev/null; then
    kill "$tail_pid" 2>/dev/null || true
    wait "$tail_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -z "$work" ]; then
  work="$scratch/work"
  mkdir "$work"
fi
work=$(cd "$work" && pwd)
rm -f "$work/guest.log" "$work/guest.status" "$work/console.log"

# The script and how to call it, in the work folder.
cp "$script" "$work/.guest-script.sh"
{
  echo '#!/bin/bash'
  echo 'cd /tmp/work'
  printf 'exec /bin/bash /tmp/work/.guest-script.sh'
  for argument in "$@"; do
    printf ' %q' "$argument"
  done
  echo
} > "$work/.guest-run.sh"

# The initramfs: busybox, the modules (with what they need, in the order
# modules.dep gives) and an init that mounts this machine's root and runs
# the script there.
root="$scratch/initramfs"
mkdir -p "$root"/{bin,proc,sys,dev,mnt,modules}
cp "$(command -v busybox)" "$root/bin/busybox"
for applet in sh mount mkdir insmod chroot poweroff sync cat echo; do
  ln -s busybox "$root/bin/$applet"
done

moddir="/lib/modules/$kver"
declare -A loaded=()
order=()
add_module() {  # $1: the module's path in modules.dep
  local path="$1" dep
  [ -n "${loaded[$path]:-}" ] && return
  loaded[$path]=1
  for dep in $(awk -v m="$path:" '$1 == m { for (i = 2; i <= NF; i++) print $i }' \
                 "$moddir/modules.dep"); do
    add_module "$dep"
  done
  order+=("$path")
}
# virtio-pci carries the 9p shares; 9p mounts them; hid-generic binds the
# uhid device (without it no hidraw node appears).
for name in virtio_pci 9pnet_virtio 9p hid hid-generic uhid; do
  path=$(awk -F: -v n="$name" '{
      f = $1; sub(/.*\//, "", f); sub(/\.ko(\..*)?$/, "", f)
      if (f == n) { print $1; exit }
    }' "$moddir/modules.dep")
  if [ -n "$path" ]; then
    add_module "$path"
  elif ! grep -Eq "/$name\.ko$" "$moddir/modules.builtin"; then
    echo "run-guest: the kernel $kver has no module $name" >&2
    exit 2
  fi
done
: > "$root/modules/order"
for path in "${order[@]}"; do
  file="$root/modules/$(basename "${path%%.ko*}").ko"
  case "$path" in
    *.ko) cp "$moddir/$path" "$file" ;;
    *.ko.xz) xz -dc "$moddir/$path" > "$file" ;;
    *.ko.zst) zstd -qdc "$moddir/$path" > "$file" ;;
    *.ko.gz) gzip -dc "$moddir/$path" > "$file" ;;
    *) echo "run-guest: cannot unpack $path" >&2; exit 2 ;;
  esac
  basename "$file" >> "$root/modules/order"
done

cat > "$root/init" <<'EOF'
#!/bin/sh
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do
  insmod "/modules/$module" || echo "init: insmod $module failed"
done
echo "init: modules loaded"
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose hostroot /mnt || echo "init: no host root"
mount -t tmpfs tmp /mnt/tmp
mkdir -p /mnt/tmp/work /mnt/tmp/home /mnt/tmp/project
mount -t 9p -o trans=virtio,version=9p2000.L work /mnt/tmp/work || echo "init: no work folder"
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose project /mnt/tmp/project || echo "init: no project folder"
mount -t proc proc /mnt/proc
mount -t sysfs sys /mnt/sys
mount -o bind /dev /mnt/dev
mount -t tmpfs run /mnt/run
mkdir -p /mnt/dev/pts /mnt/dev/shm
mount -t devpts devpts /mnt/dev/pts
mount -t tmpfs shm /mnt/dev/shm
echo "init: running the script"
chroot /mnt /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/tmp/home LANG=C.UTF-8 TERM=dumb /bin/bash /tmp/work/.guest-run.sh \
  > /mnt/tmp/work/guest.log 2>&1
echo $? > /mnt/tmp/work/guest.status
sync
poweroff -f
EOF
chmod 755 "$root/init"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) > "$scratch/initrd.gz"

echo "run-guest: booting $kver in QEMU (TCG, ${memory} MB), at most ${limit} s"
# timeout stays in this script's process group (--foreground), so that a
# signal to the group reaches QEMU too; it gets SIGTERM when this script
# dies, and QEMU gets SIGKILL when timeout dies.
setpriv --pdeathsig TERM timeout --foreground --kill-after=10 "$limit" \
  setpriv --pdeathsig KILL qemu-system-x86_64 \
  -accel tcg -cpu "$cpu" -smp 2 -m "$memory" \
  -nodefaults -no-user-config -display none -monitor none -no-reboot \
  -serial "file:$work/console.log" \
  -kernel "/boot/vmlinuz-$kver" -initrd "$scratch/initrd.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$work,mount_tag=work,security_model=none" \
  -virtfs "local,path=$project,mount_tag=project,security_model=none,readonly=on,multidevs=remap" \
  </dev/null &
vm_pid=$!
tail -n +1 -F --pid="$vm_pid" "$work/guest.log" 2>/dev/null &
tail_pid=$!

vm_status=0
wait "$vm_pid" || vm_status=$?
vm_pid=""
wait "$tail_pid" 2>/dev/null || true
tail_pid=""

if [ -s "$work/guest.status" ]; then
  status=$(cat "$work/guest.status")
  echo "run-guest: the script ended with status $status"
  exit "$status"
fi
if [ "$vm_status" -eq 124 ] || [ "$vm_status" -eq 137 ]; then
  echo "run-guest: the machine did not finish within ${limit} s" >&2
  status=124
else
  echo "run-guest: the machine ended (status $vm_status) without the script's status" >&2
  status=1
fi
echo "run-guest: the end of the machine's console:" >&2
tail -n 30 "$work/console.log" >&2 || true
exit "$status"
