#!/bin/sh
# The house style, checked: every tracked C/C++ file against .clang-format,
# and the library, its runtime and the Linux HID stack against .clang-tidy
# (names and a few bug-prone patterns), using the compile commands of the
# Linux build tree given as $1.
set -u
build=${1:-build/linux}
status=0

files=$(git ls-files '*.c' '*.cpp' '*.h')
if ! clang-format --dry-run --Werror $files; then
    echo "lint: files above differ from .clang-format (fix: clang-format -i FILE)" >&2
    status=1
fi

if [ ! -f "$build/compile_commands.json" ]; then
    echo "lint: no $build/compile_commands.json (configure the Linux build first)" >&2
    exit 1
fi
# clang-tidy prints the files it checks; only findings are of interest.
out=$(run-clang-tidy -quiet -j "${JOBS:-2}" -p "$build" "$PWD/(core|io|jni|platform)/" 2>&1)
if printf '%s\n' "$out" | grep -E '(warning|error):' >/dev/null; then
    printf '%s\n' "$out" | grep -vE '^(clang-tidy|[0-9]+ warnings? generated|Suppressed|Use -header-filter)' >&2
    echo "lint: clang-tidy findings above" >&2
    status=1
fi
[ $status -eq 0 ] && echo "lint: clean"
exit $status
