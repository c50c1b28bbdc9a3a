#!/bin/sh
# Recap of `make test`: the runs given as arguments failed; for each, the
# tests ctest recorded as failed in its build tree. Tests that were run again
# after Wine's own client/server link broke (tools/ctest-wine.sh) are listed
# whatever the outcome, and so are the build trees whose tests could not run
# at all on this machine (tools/ctest-no-wine.sh). Exits 1 when any run
# failed, 0 otherwise.
for log in build/*/Testing/Temporary/RetriedTests.log; do
  [ -f "$log" ] || continue
  echo "make test: run again after a known fault of the set-up under Wine (${log%%/Testing/*}):"
  sed 's/^/    /' "$log"
done
for log in build/*/Testing/Temporary/NotRun.log; do
  [ -f "$log" ] || continue
  echo "make test: NOT RUN on this machine (${log%%/Testing/*}): $(cat "$log")"
done
if [ $# -eq 0 ]; then
  echo "make test: every run passed (lint, linux, win, win64, dist, asan, tsan)"
  exit 0
fi
# Why a test failed, in a few lines: its failed assertions and the lines
# that follow each, and what the test's scripts said of the failure, from
# ctest's log of the run. A long log is cut to its end, so these lines are
# what a reader of the end sees.
why() { # why <build dir> <test name>
  for log in "$1"/Testing/Temporary/LastTest.log "$1"/Testing/Temporary/LastTest-first.log; do
    [ -f "$log" ] || continue
    awk -v t="Test: $2" '
      index($0, t) && substr($0, index($0, t) + length(t)) == "" { on = 1; next }
      on && /^<end of output>/ { exit }
      on && (/Failure$/ || /^[a-z-]+: .*(fail|did not|no |cannot|blocked)/) { left = 4 }
      on && left > 0 { print; left-- }
    ' "$log"
  done | head -n 24 | sed "s|^|    ${2%%  #*}: |"
}
echo "make test: FAILED runs:$*"
for run in "$@"; do
  case $run in
    test-linux) dir=build/linux ;;
    test-win) dir=build/win ;;
    test-win64) dir=build/win64 ;;
    test-asan) dir=${ASAN_BUILD:-build/asan} ;;
    test-tsan) dir=${TSAN_BUILD:-build/tsan} ;;
    lint) echo "  lint: the style checks found the files above (tools/lint.sh)"; continue ;;
    test-dist) echo "  test-dist: the distribution's layout or exports are wrong (see above)"; continue ;;
    *) continue ;;
  esac
  logs=$(ls "$dir"/Testing/Temporary/LastTestsFailed*.log 2>/dev/null)
  if [ -n "$logs" ]; then
    echo "  $run, failed tests:"
    cat $logs | sed 's/^/    /'
    cat $logs | while IFS= read -r line; do why "$dir" "${line#*:}"; done
  else
    echo "  $run: no test failure recorded (build or set-up failed; see above)"
  fi
done
exit 1
