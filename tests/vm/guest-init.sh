#!/bin/busybox sh
# The guest's first process: loads the modules the test needs, makes the
# host's root (read-only, over 9p) the guest's root with the run folder
# writable over /tmp, and hands over to the guest script there as the
# machine's init. A real root, not a chroot: udev refuses to run in one.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec < /dev/console > /dev/console 2>&1
echo "guest: init"
for m in $(cat /modules.list); do insmod "/modules/$m" 2> /dev/null; done
script=$(sed -n 's/.*zk\.script=\([^ ]*\).*/\1/p' /proc/cmdline)
mkdir -p /host
if mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 run /host/tmp; then
  mount -t tmpfs tmpfs /host/run
  mount --move /dev /host/dev
  mkdir -p /host/dev/pts
  mount -t devpts devpts /host/dev/pts
  mount --move /proc /host/proc
  mount --move /sys /host/sys
  exec switch_root /host /bin/sh "$script"
fi
echo "guest: the host's root cannot be mounted"
poweroff -f
