#!/bin/bash
# Boots Debian's own kernel in QEMU with this machine's root file system
# shared read-only, runs tests/vm/guest.sh inside (the chips are USB gadgets
# on dummy_hcd, seen through the real usbcore/usbhid/hidraw stack), and
# reports the guest's result. One boot per run: the guest runs every check.
#
#   run-vm.sh <build dir> [guest.sh arguments...]
#   run-vm.sh <build dir> bench      (the real-stack benchmark: make bench)
#
# Everything the VM needs lives under <build dir>/vm: the unpacked kernel
# package (never installed on this machine), the initramfs, and out/, the
# writable share where the guest leaves its log and exit status (and keeps
# what is worth keeping between runs, such as a Wine prefix). A VM that
# cannot boot, or does not power off in time, is a failure.
set -u
build=$(cd "${1:?usage: run-vm.sh <build dir> [guest args]}" && pwd) || { echo "run-vm: no build directory $1" >&2; exit 1; }
shift
here=$(cd "$(dirname "$0")" && pwd)
vm="$build/vm"
out="$vm/out"
timeout_s=${PDX_VM_TIMEOUT:-780}

fail() {
  echo "run-vm: $*" >&2
  for f in "$out/guest.log" "$vm/console.log"; do
    if [ -s "$f" ]; then
      echo "---- last lines of $f ----" >&2
      tail -n 60 "$f" >&2
    fi
  done
  exit 1
}

mkdir -p "$vm" || fail "cannot create $vm"

# The kernel: Debian's linux-image-amd64, unpacked once per build tree.
if [ ! -f "$vm/kernel.ready" ]; then
  rm -rf "$vm/kernel" "$vm/deb" && mkdir -p "$vm/deb" || fail "cannot prepare $vm"
  # A download can fail for the network's sake: try again, with fresh lists.
  for try in 1 2 3; do
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
    [ -n "$pkg" ] || fail "apt knows no linux-image-amd64 (run apt-get update)"
    (cd "$vm/deb" && apt-get download "$pkg" >"$vm/download.log" 2>&1) && break
    [ $try -lt 3 ] || { cat "$vm/download.log" >&2; fail "apt-get download $pkg failed $try times"; }
    sleep $((try * 10))
    apt-get update -qq >/dev/null 2>&1
  done
  dpkg-deb -x "$vm"/deb/*.deb "$vm/kernel" || fail "dpkg-deb -x failed"
  rm -rf "$vm/deb"
  touch "$vm/kernel.ready"
fi
kernel=$(ls "$vm"/kernel/boot/vmlinuz-* 2>/dev/null | head -n1)
[ -n "$kernel" ] || fail "no kernel image in $vm/kernel/boot"
moddir=$(ls -d "$vm"/kernel/lib/modules/* | head -n1)

# Modules in dependency order, from the depends= line of each module's
# .modinfo strings (no kmod here).
declare -A modpath loaded
while IFS= read -r f; do
  n=${f##*/}; n=${n%.ko}; modpath[${n//-/_}]=$f
done < <(find "$moddir/kernel" -name '*.ko')
order=()
add_module() {
  local n=${1//-/_} deps d
  [ -n "${loaded[$n]:-}" ] && return
  [ -n "${modpath[$n]:-}" ] || fail "module $1 not in the kernel package"
  loaded[$n]=1
  deps=$(tr '\0' '\n' < "${modpath[$n]}" | sed -n 's/^depends=//p' | head -n1)
  for d in ${deps//,/ }; do add_module "$d"; done
  order+=("$n")
}
for m in virtio_pci 9pnet_virtio 9p configfs dummy_hcd libcomposite usb_f_hid usbhid hid_generic uhid; do
  add_module "$m"
done

# The initramfs: busybox, the modules, and an init that mounts the host root.
busybox=$(command -v busybox) || fail "busybox not installed (tools/install-deps.sh)"
ird="$vm/initramfs"
rm -rf "$ird" && mkdir -p "$ird"/{bin,proc,sys,dev,root,modules} || fail "cannot build the initramfs"
cp "$busybox" "$ird/bin/busybox"
for n in "${order[@]}"; do cp "${modpath[$n]}" "$ird/modules/$n.ko"; done
printf '%s\n' "${order[@]}" > "$ird/modules/order"
cp "$here/init.sh" "$ird/init" && chmod +x "$ird/init"
# What the guest runs, as words for its shell (quoted once here).
{ printf '%q ' "$here/guest.sh" "$build" /run/vm-out "$@"; echo; } > "$ird/guest-command"
(cd "$ird" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1 > "$vm/initramfs.gz") \
  || fail "cannot pack the initramfs"

# KVM only where it really boots this kernel (some machines expose a
# /dev/kvm that cannot: nested virtualisation without VT-x): a probe boot
# that powers off at once must leave its mark within a short time.
# Otherwise TCG, where 32-bit code needs SMAP off.
run_qemu() { # run_qemu <seconds> <kernel mode> <accel options...>
  local secs=$1 mode=$2 accel_name=tcg; shift 2
  # The guest's benchmark says which it ran under.
  [ "${2%%,*}" = kvm ] && accel_name=kvm
  timeout --kill-after=10 "$secs" qemu-system-x86_64 "$@" \
    -smp 2 -m 1024 -nodefaults -display none -no-reboot \
    -serial "file:$vm/console.log" \
    -kernel "$kernel" -initrd "$vm/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=4 pdxvm=$mode pdxaccel=$accel_name" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$out",mount_tag=vmout,security_model=none,multidevs=remap
}
clear_out() { rm -f "$out/guest.log" "$out/status" "$out/probe" "$out/real_stack.json" && mkdir -p "$out"; }
accel=(-accel tcg,thread=multi -cpu max,-smap)
if [ "${PDX_VM_ACCEL:-auto}" != tcg ] && [ -w /dev/kvm ]; then
  clear_out
  if run_qemu 30 probe -accel kvm -cpu host >/dev/null 2>&1 && [ -f "$out/probe" ]; then
    accel=(-accel kvm -cpu host)
  fi
fi

clear_out || fail "cannot create $out"
start=$(date +%s)
run_qemu "$timeout_s" test "${accel[@]}"
qemu_status=$?
echo "run-vm: VM ran $(( $(date +%s) - start )) s (${accel[*]})"
[ $qemu_status -eq 124 ] || [ $qemu_status -eq 137 ] && fail "VM did not power off within ${timeout_s} s"
[ $qemu_status -eq 0 ] || fail "qemu exited with $qemu_status"
[ -f "$out/status" ] || fail "the guest left no exit status (boot failed?)"
status=$(cat "$out/status")
cat "$out/guest.log"
[ "$status" = 0 ] || fail "guest checks failed (exit status $status)"
echo "run-vm: guest checks passed"
