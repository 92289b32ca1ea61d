#!/bin/busybox sh
# /init of the test guest (busybox, in the initramfs). Loads the USB gadget, HID and 9p modules,
# mounts the host's /usr and /etc and the source tree read-only and the result folder
# read-write, runs one scenario of guest_scenario.sh and prints its exit code as the marker
# "KAVORI-GUEST-END <code>" on the console. Kernel command line variables arrive here as
# environment: KAVORI_SCENARIO, KAVORI_REPO, KAVORI_BUILD.
/bin/busybox --install -s /bin
export PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
ln -s /proc/self/fd /dev/fd
mount -t tmpfs -o mode=1777 tmpfs /tmp

fail() {
  echo "KAVORI-GUEST-SETUP-FAILED $*"
  poweroff -f
}

while read -r module parameters; do
  # shellcheck disable=SC2086 # the parameters are words
  insmod "/modules/$module.ko" $parameters || fail "insmod $module"
done </modules/order
mount -t configfs configfs /sys/kernel/config || fail "configfs"

mkdir -p /usr /etc /out "$KAVORI_REPO"
share() {
  mount -t 9p -o "trans=virtio,version=9p2000.L,msize=262144,$3" "$1" "$2" || fail "9p $1"
}
share usr /usr ro,cache=loose
share etc /etc ro,cache=loose
share repo "$KAVORI_REPO" ro,cache=loose
share out /out rw
# The host's libraries, by the paths its loader and ld.so.cache name.
ln -s usr/lib /lib
ln -s usr/lib64 /lib64

echo "KAVORI-GUEST-START $KAVORI_SCENARIO"
/usr/bin/bash "$KAVORI_REPO/tests/usb-guest/guest_scenario.sh" "$KAVORI_SCENARIO" >/out/guest.log 2>&1
code=$?
sync
echo "KAVORI-GUEST-END $code"
poweroff -f
