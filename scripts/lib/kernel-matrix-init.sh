#!/bin/busybox sh
# /init of the kernel matrix's initramfs (busybox only): loads the modules for a 9p root,
# mounts the host's file system read-only from QEMU's 9p share, chroots into it to run the
# script named by larkspire_run= on the kernel command line, prints that script's exit status
# on the console for the host to read, and powers the machine off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sys /sys

stop() {
  echo "kernel-matrix-guest-status=$1"
  sync
  poweroff -f
}

while read -r module; do
  insmod "/modules/$module" || { echo "kernel-matrix: cannot load $module"; stop 90; }
done </modules/order
mkdir -p /newroot
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro root /newroot; then
  echo "kernel-matrix: cannot mount the host's file system over 9p"
  stop 91
fi
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
mount -t tmpfs -o mode=0755 run /newroot/run
if [ -z "${larkspire_run:-}" ]; then
  echo "kernel-matrix: no larkspire_run= on the kernel command line"
  stop 92
fi
chroot /newroot /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash "$larkspire_run"
stop $?
