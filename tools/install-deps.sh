#!/bin/sh
# Installs what building and testing pdxkit needs on Debian 12, only when
# something is missing (quick and idempotent when all is there). Run as root.
set -e

missing=""
need() { # need <test command> <packages...>
  check=$1; shift
  if ! sh -c "$check" >/dev/null 2>&1; then missing="$missing $*"; fi
}

need "command -v cmake" cmake
need "command -v g++" g++ make
need "command -v i686-w64-mingw32-g++-posix" g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
need "command -v x86_64-w64-mingw32-g++-posix" g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
need "command -v wine && dpkg -s wine32:i386" wine wine32:i386
need "test -x /usr/lib/wine/wine64" wine64
need "test -f /usr/src/googletest/CMakeLists.txt" googletest
need "test -x /usr/lib/jvm/java-17-openjdk-amd64/bin/javac" openjdk-17-jdk-headless
need "ls /usr/share/java/junit-jupiter-engine.jar" junit5
need "command -v python3" python3
need "command -v pkg-config" pkg-config
need "command -v umockdev-wrapper && ls /usr/lib/x86_64-linux-gnu/libumockdev.so.0" umockdev libumockdev-dev
need "command -v clang-format && command -v run-clang-tidy" clang-format clang-tidy
# The real-stack tests' VM: QEMU, a static busybox for its initramfs, and
# Debian's kernel package, which tests/vm/run-vm.sh downloads and unpacks
# into the build tree (it needs apt's package lists).
need "command -v qemu-system-x86_64" qemu-system-x86
need "dpkg -s busybox-static" busybox-static
if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
  apt-get update -qq
fi

if [ -z "$missing" ]; then
  exit 0
fi

echo "installing:$missing"
case "$missing" in
  *:i386*)
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
