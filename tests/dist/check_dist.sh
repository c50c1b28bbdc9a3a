#!/bin/sh
# Checks the Windows distribution that `make dist` lays out: every file in
# place, and each DLL of the right machine type exporting exactly the names
# and ordinals of pdxkit.def (so both export the same), importing only
# system DLLs.
#   check_dist.sh <dist dir>
set -u
dist=$1
here=$(cd "$(dirname "$0")" && pwd)
status=0

for file in include/pdxkit.h pdxkit.jar README.md \
  windows/x86/pdxkit.dll windows/x86/libpdxkit.dll.a windows/x86/pdxkit.def \
  windows/x64/pdxkit.dll windows/x64/libpdxkit.dll.a windows/x64/pdxkit.def; do
  [ -s "$dist/$file" ] || { echo "FAIL: $dist/$file is missing or empty"; status=1; }
done
sh "$here/../exports/check_exports.sh" dll "$dist/windows/x86/pdxkit.dll" "$dist/windows/x86/pdxkit.def" \
  i686-w64-mingw32-objdump i386 || status=1
# The x64 DLL against both .def files: its own, and the one list they share.
for def in windows/x64/pdxkit.def windows/x86/pdxkit.def; do
  sh "$here/../exports/check_exports.sh" dll "$dist/windows/x64/pdxkit.dll" "$dist/$def" \
    x86_64-w64-mingw32-objdump x86-64 || status=1
done
[ $status -eq 0 ] && echo "the distribution in $dist is complete"
exit $status
