#!/bin/sh
# Runs a program of the Windows build under 32-bit Wine inside the test VM,
# with Wine's own hid.dll, setupapi.dll and cfgmgr32.dll (its winebus reads
# hidraw), never the simulator's DLLs that may sit beside the program.
#   wine-run.sh <cache dir> <program.exe> [args...]
# The prefix is made once (wineboot takes long under emulation) and kept as
# a tarball in the writable cache dir; each run unpacks it into /tmp.
cache=$1; shift
export WINEPREFIX=/tmp/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="hid,cfgmgr32,setupapi=b;mscoree,mshtml="
if [ ! -d "$WINEPREFIX" ]; then
  tarball="$cache/wineprefix-$(wine --version | tr -c 'A-Za-z0-9.\n-' _).tar.gz"
  if [ -f "$tarball" ]; then
    mkdir -p "$WINEPREFIX" && tar -xzf "$tarball" -C "$WINEPREFIX" || exit 1
  else
    echo "wine-run: making the prefix ($(date +%T))" >&2
    wineboot -i >/dev/null 2>&1
    # winebus starts its hidraw bus only with SDL off when SDL is missing.
    wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v "Enable SDL" /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    echo "wine-run: prefix made ($(date +%T))" >&2
    tar -czf "$tarball.part" -C "$WINEPREFIX" . && mv "$tarball.part" "$tarball"
  fi
fi
exec wine "$@"
