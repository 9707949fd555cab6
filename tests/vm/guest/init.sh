#!/bin/sh
# The guest's first process: mounts, loads the USB drivers, waits for both serial devices, runs the
# test's /test.sh and powers off. Every line meant for the rig starts with "@@RIG"; the rig answers
# questions on the console's input.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /tmp
# The rig's answers would come back as echo in the middle of the output.
stty -F /dev/console -echo

for module in $(cat /etc/modules); do
  insmod "/lib/modules/$module" || echo "@@RIG fail insmod $module"
done

# Waits up to 20 s for a device node and opens it to everyone: the exclusive-use checks run as an
# ordinary user.
wait_device() {
  tries=0
  while [ ! -e "$1" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ]; then echo "@@RIG fail no $1"; return 1; fi
    sleep 0.1
  done
  chmod 666 "$1"
}

# run NAME COMMAND...: the command's output between begin and end lines, with its status.
run() {
  name=$1
  shift
  echo "@@RIG begin $name"
  "$@"
  echo "@@RIG end $name rc=$?"
}

# ask WHAT...: asks the rig for something on the host side and waits until it is done.
asked=0
ask() {
  asked=$((asked + 1))
  echo "@@RIG ask $asked $*"
  while read -r reply; do
    [ "$reply" = "@@ok $asked" ] && return 0
    [ "$reply" = "@@fail $asked" ] && { echo "@@RIG fail the rig could not: $*"; return 1; }
  done
  return 1
}

wait_device /dev/ttyS1
wait_device /dev/ttyUSB0
echo "@@RIG ready"
. /test.sh
echo "@@RIG done"
poweroff -f
