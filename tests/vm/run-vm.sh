#!/usr/bin/env bash
# The real-driver stage: boots Debian's own kernel in QEMU (TCG, no KVM
# needed) with an emulated 16550 UART (/dev/ttyS1) and an emulated USB
# serial adapter (ftdi_sio, /dev/ttyUSB0), each wired to a simulated unit
# on this machine, and runs the guest tests there. The guest's root is this
# machine's / shared read-only; a per-run folder is its writable /tmp. The
# guest asks for the adapter to be unplugged and plugged in again through
# that folder; this script does it with the QEMU monitor.
#
#   run-vm.sh GUEST_TESTS ROTORSIM DATA_DIR
#
# Exit 0 passed, 77 skipped (no virtual machine can start here, said on one
# line), anything else failed. Bounded: QEMU is killed after 200 s at most.
set -uo pipefail

guest_tests=$(realpath "$1")
rotorsim=$(realpath "$2")
data_dir=$(realpath "$3")
here=$(dirname "$(realpath "$0")")
uart_az=111
usb_az=222
usb_device="usb-serial,id=adapter,bus=xhci.0,chardev=usbline,serial=ZK0001"
started=$(date +%s)

skip() {
  echo "SKIP: real-driver stage: $*"
  exit 77
}

command -v qemu-system-x86_64 > /dev/null || skip "qemu-system-x86_64 is not installed"
command -v cpio > /dev/null || skip "cpio is not installed"
command -v modprobe > /dev/null || skip "modprobe is not installed"
[ -x /bin/busybox ] || skip "no busybox (busybox-static)"
! ldd /bin/busybox > /dev/null 2>&1 || skip "/bin/busybox is not the static one (busybox-static)"
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] || skip "no kernel in /boot (linux-image-amd64)"
kver=${kernel#/boot/vmlinuz-}
[ -d "/lib/modules/$kver" ] || skip "no modules for $kver"

run=$(mktemp -d /tmp/zk-vm-XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill -KILL "$p" 2> /dev/null
  done
  for p in "${pids[@]}"; do
    wait "$p" 2> /dev/null
  done
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The guest sees this machine's / but its own /tmp: a tree checked out under
# /tmp would be out of its reach, so what it runs comes along in the run folder.
mkdir -p "$run/share/guest"
cp "$guest_tests" "$run/share/guest/"
cp -r "$data_dir" "$run/share/guest/data"
guest_tests=/tmp/guest/$(basename "$guest_tests")
data_dir=/tmp/guest/data

# Waits up to $1 seconds, in tenths, for the command after it to succeed.
wait_for() {
  local tenths=$(($1 * 10))
  shift
  while ! "$@"; do
    tenths=$((tenths - 1))
    [ $tenths -gt 0 ] || return 1
    sleep 0.1
  done
}

# ---- the initramfs: busybox and the modules for 9p, xhci and USB serial
mkdir -p "$run"/initrd/{bin,dev,proc,sys,modules} "$run/share/ctl"
cp /bin/busybox "$run/initrd/bin/busybox"
cp "$here/guest-init.sh" "$run/initrd/init"
chmod +x "$run/initrd/init"
for m in 9p 9pnet_virtio virtio_pci xhci_pci ftdi_sio; do
  modprobe -S "$kver" --show-depends "$m" || skip "modprobe cannot resolve $m for $kver"
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' > "$run/modules"
while read -r ko; do
  name=$(basename "$ko")
  case "$name" in
  *.ko.xz) xz -dc "$ko" > "$run/initrd/modules/${name%.xz}" && name=${name%.xz} ;;
  *.ko.zst) zstd -qdc "$ko" > "$run/initrd/modules/${name%.zst}" && name=${name%.zst} ;;
  *) cp "$ko" "$run/initrd/modules/$name" ;;
  esac
  echo "$name" >> "$run/initrd/modules.list"
done < "$run/modules"
(cd "$run/initrd" && find . | cpio -o -H newc --quiet > "$run/initrd.cpio") || skip "cpio failed"

# ---- the two simulated units, one per emulated device
for unit in uart:$uart_az usb:$usb_az; do
  name=${unit%%:*}
  "$rotorsim" --start-az "${unit#*:}" --socket "$run/$name.sock" --log "$run/share/$name.log" \
    > "$run/$name.out" 2>&1 &
  pids+=($!)
done
wait_for 10 test -S "$run/uart.sock" -a -S "$run/usb.sock" || {
  cat "$run"/*.out
  echo "FAIL: the simulated units did not start"
  exit 1
}

# ---- the guest's script, run as root in the guest with / from this machine
cat > "$run/share/guest.sh" << EOF
# The machine's init: whatever happens, it powers the machine off at the end.
exec > /dev/console 2>&1
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp TMPDIR=/tmp XDG_RUNTIME_DIR=/tmp/xdg
mkdir -m 700 /tmp/xdg
export QT_QPA_PLATFORM=offscreen ZK_DATA_DIR=$data_dir ZK_VM_CTL=/tmp/ctl
export ZK_VM_UART_AZ=$uart_az ZK_VM_USB_AZ=$usb_az
echo "guest: up after \$(cut -d' ' -f1 /proc/uptime) s"
# udev names the adapter under /dev/serial/by-id, as on a desktop.
/lib/systemd/systemd-udevd --daemon > /tmp/udevd.log 2>&1 &&
  udevadm trigger --action=add --subsystem-match=usb --subsystem-match=usb-serial --subsystem-match=tty
cd /tmp
timeout -s KILL 150 $guest_tests --gtest_color=no > /tmp/guest.out 2>&1
echo \$? > /tmp/status
sync
/bin/busybox poweroff -f
EOF

# ---- the machine
mkfifo "$run/mon.in" "$run/mon.out"
timeout -s KILL 200 qemu-system-x86_64 -machine q35 -accel tcg -m 1024 -smp 2 -nodefaults -display none -no-reboot \
  -kernel "$kernel" -initrd "$run/initrd.cpio" \
  -append "console=ttyS0 panic=-1 quiet zk.script=/tmp/guest.sh" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$run/share,mount_tag=run,security_model=none,multidevs=remap" \
  -serial "file:$run/console.log" \
  -chardev "socket,id=uartline,path=$run/uart.sock" -serial chardev:uartline \
  -device qemu-xhci,id=xhci \
  -chardev "socket,id=usbline,path=$run/usb.sock" -device "$usb_device" \
  -chardev "pipe,id=mon,path=$run/mon" -mon chardev=mon,mode=readline \
  > "$run/qemu.out" 2>&1 &
qemu=$!
pids+=($qemu)
cat "$run/mon.out" > "$run/monitor.log" &
pids+=($!)

# Held open read-write, so a write never waits for a QEMU that has gone.
exec 3<> "$run/mon.in"
monitor() {
  echo "$1" >&3
}

# Serve the guest's requests until the machine is off.
ctl="$run/share/ctl"
while kill -0 "$qemu" 2> /dev/null; do
  if [ -f "$ctl/request" ]; then
    request=$(cat "$ctl/request")
    rm -f "$ctl/request"
    case "$request" in
    unplug) monitor "device_del adapter" ;;
    replug) monitor "device_add $usb_device" ;;
    esac
    echo "host: $request at $(($(date +%s) - started)) s"
  fi
  sleep 0.05
done
wait "$qemu"
qemu_status=$?

# A machine that never reached its init could not start here; one that did
# and then failed is a failure.
if ! grep -q "guest: init" "$run/console.log" 2> /dev/null; then
  tail -n 5 "$run/console.log" 2> /dev/null
  skip "QEMU did not start a machine here (status $qemu_status): $(head -n 3 "$run/qemu.out" | tr '\n' ' ')"
fi

cat "$run/console.log" | grep -v "^\s*$" | tail -n 40
echo "---- guest tests"
cat "$run/share/guest.out" 2> /dev/null
for name in uart usb; do
  polls=$(grep -c "poll" "$run/share/$name.log" 2> /dev/null)
  echo "[figures] unit on the $name: ${polls:-0} polls received"
done
echo "stage took $(($(date +%s) - started)) s"
status=$(cat "$run/share/status" 2> /dev/null)
if [ "$status" != "0" ]; then
  echo "FAIL: guest tests ended with status '${status:-none}' (QEMU $qemu_status)"
  exit 1
fi
exit 0
