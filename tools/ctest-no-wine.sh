#!/bin/sh
# For a Windows build tree whose Wine cannot start on this machine: some
# kernels run 64-bit programs only (32-bit emulation switched off, so every
# i386 executable, 32-bit Wine's own loader included, fails with "Exec format
# error"). The build itself and the checks that need no Wine (the export
# table) still run; every other test is listed as not run, with the reason,
# in Testing/Temporary/NotRun.log, which the recap of `make test` shows. The
# same tests of the other Windows build, and all of them on a machine that
# runs 32-bit programs, are what cover that code.
# Usage: tools/ctest-no-wine.sh BUILD_DIR WINE [ctest arguments...]
dir=$1 wine=$2
shift 2
tmp=$dir/Testing/Temporary
mkdir -p "$tmp"
rm -f "$tmp"/LastTestsFailed*.log "$tmp/RetriedTests.log"
reason=$("$wine" --version 2>&1 | tail -n 1)
echo "*** $dir: Wine cannot start here ($reason)."
echo "*** Only the tests that need no Wine run; the recap lists the rest as not run."
ctest --test-dir "$dir" --output-on-failure -L exports "$@"
status=$?
total=$(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')
ran=$(ctest --test-dir "$dir" -N -L exports | sed -n 's/^Total Tests: //p')
echo "$((${total:-0} - ${ran:-0})) tests not run: $wine cannot start on this machine ($reason)" >"$tmp/NotRun.log"
exit $status
