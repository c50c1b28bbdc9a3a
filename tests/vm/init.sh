#!/bin/busybox sh
# PID 1 of the test VM: loads the modules (dependency order prepared by
# run-vm.sh), mounts the host's root read-only over 9p with private tmpfs
# for /tmp and /run, runs the guest command in it, leaves its exit status
# and log on the writable share, and powers off whatever happens.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

finish() {
  sync
  poweroff -f
}

for m in $(cat /modules/order); do
  case $m in
    dummy_hcd) insmod /modules/$m.ko num=2 ;;
    *) insmod /modules/$m.ko ;;
  esac || echo "init: insmod $m failed"
done

mode=test
for word in $(cat /proc/cmdline); do
  case $word in pdxvm=*) mode=${word#pdxvm=} ;; esac
done

mkdir -p /out
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 vmout /out; then
  echo "init: cannot mount the result share"
  finish
fi
if [ "$mode" = probe ]; then
  touch /out/probe
  finish
fi

r=/root
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,ro,cache=loose hostroot $r; then
  echo "init: cannot mount the host root" > /out/guest.log
  finish
fi
mount -t proc proc $r/proc
mount -t sysfs sys $r/sys
mount -t devtmpfs dev $r/dev
mount -t devpts devpts $r/dev/pts 2>/dev/null
mkdir -p $r/dev/shm && mount -t tmpfs shm $r/dev/shm
mount -t configfs configfs $r/sys/kernel/config
mount -t tmpfs tmp $r/tmp
mount -t tmpfs run $r/run
mkdir -p $r/run/vm-out
mount --move /out $r/run/vm-out

chroot $r /bin/sh -c "export HOME=/tmp PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin; cd /tmp; $(cat /guest-command)" \
  > $r/run/vm-out/guest.log 2>&1
echo $? > $r/run/vm-out/status
finish
