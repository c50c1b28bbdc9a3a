#!/bin/sh
# For a Windows build tree whose Wine cannot start on this machine: some
# kernels run 64-bit programs only (32-bit emulation switched off, so every
# i386 executable, 32-bit Wine's own loader included, fails with "Exec format
# error"). The build itself and the check that needs no Wine (the export
# table, run from its own directory: the other directories list their tests
# by running the programs) still run; every other test is recorded as not
# run, with the reason, in Testing/Temporary/NotRun.log, which the recap of
# `make test` shows. The same tests of the other Windows build, and all of
# them on a machine that runs 32-bit programs, cover that code.
# Usage: tools/ctest-no-wine.sh BUILD_DIR WINE [ctest arguments...]
dir=$1 wine=$2
shift 2
tmp=$dir/Testing/Temporary
mkdir -p "$tmp"
rm -f "$tmp"/LastTestsFailed*.log "$tmp/RetriedTests.log"
reason=$("$wine" --version 2>&1 | tail -n 1)
echo "*** $dir: Wine cannot start here ($reason)."
echo "*** Only the export-table check runs; the recap lists the rest as not run."
echo "every test but the export-table check: $wine cannot start on this machine ($reason)" >"$tmp/NotRun.log"
ctest --test-dir "$dir/tests/exports" --output-on-failure "$@" && exit 0
cp "$dir/tests/exports/Testing/Temporary/LastTestsFailed.log" "$tmp/" 2>/dev/null
exit 1
