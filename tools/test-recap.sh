#!/bin/sh
# Recap of `make test`: the runs given as arguments failed; for each, the
# tests ctest recorded as failed in its build tree. Exits 1 when any run
# failed, 0 otherwise.
if [ $# -eq 0 ]; then
  echo "make test: every run passed (linux, win, win64, dist, asan, tsan)"
  exit 0
fi
echo "make test: FAILED runs:$*"
for run in "$@"; do
  case $run in
    test-linux) dir=build/linux ;;
    test-win) dir=build/win ;;
    test-win64) dir=build/win64 ;;
    test-asan) dir=${ASAN_BUILD:-build/asan} ;;
    test-tsan) dir=${TSAN_BUILD:-build/tsan} ;;
    test-dist) echo "  test-dist: the distribution's layout or exports are wrong (see above)"; continue ;;
    *) continue ;;
  esac
  logs=$(ls "$dir"/Testing/Temporary/LastTestsFailed*.log 2>/dev/null)
  if [ -n "$logs" ]; then
    echo "  $run, failed tests:"
    cat $logs | sed 's/^/    /'
  else
    echo "  $run: no test failure recorded (build or set-up failed; see above)"
  fi
done
exit 1
