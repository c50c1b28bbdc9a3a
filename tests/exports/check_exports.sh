#!/bin/sh
# Checks that a built library exports exactly the names of pdxkit.def and
# nothing else.
#   check_exports.sh so  <libpdxkit.so> <pdxkit.def> <nm> [name...]
#   check_exports.sh dll <pdxkit.dll>   <pdxkit.def> <objdump> i386|x86-64
# The .so exports the names given after <nm> as well (those only it has).
# For the DLL the ordinals must match the .def file (those it skips left
# empty), the image must be PE32 for i386 or PE32+ for x86-64, and it may
# import only system DLLs: the HID, configuration-manager and setup libraries
# are loaded at run time, never linked.
set -u
export LC_ALL=C
kind=$1 lib=$2 def=$3 tool=$4 machine=${5:-}
shift 4
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

[ -f "$lib" ] || { echo "FAIL: $lib does not exist"; exit 1; }

# "name ordinal" per export of the .def file, sorted by name.
sed -n 's/^[[:space:]]\{1,\}\([A-Za-z_][A-Za-z0-9_]*\)\(@[0-9]\{1,\}\)\{0,1\}[[:space:]]\{1,\}@\([0-9]\{1,\}\).*/\1 \3/p' "$def" |
  sort >"$tmp/def"
[ -s "$tmp/def" ] || fail "$def lists no exports"

case $kind in
so)
  { cut -d' ' -f1 "$tmp/def"; for name in "$@"; do echo "$name"; done; } | sort >"$tmp/expected"
  "$tool" -D --defined-only "$lib" >"$tmp/nm" || { echo "FAIL: $tool failed"; exit 1; }
  # Lines are "address type name[@version]"; only names matter.
  awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' "$tmp/nm" | sort -u >"$tmp/actual"
  ;;
dll)
  cp "$tmp/def" "$tmp/expected"
  "$tool" -p "$lib" >"$tmp/pe" || { echo "FAIL: $tool -p failed"; exit 1; }
  "$tool" -f "$lib" >"$tmp/header" || { echo "FAIL: $tool -f failed"; exit 1; }
  case $machine in
  i386) format=pei-i386 architecture=i386 ;;
  x86-64) format=pei-x86-64 architecture=i386:x86-64 ;;
  *) echo "FAIL: machine must be i386 or x86-64, not \"$machine\""; exit 2 ;;
  esac
  grep -q "file format $format\$" "$tmp/header" || fail "not a $format image: $(grep 'file format' "$tmp/header")"
  grep -q "^architecture: $architecture," "$tmp/header" || fail "architecture is not $architecture"
  # binutils prints the export address table as "[   0] +base[   1] 2930
  # Export RVA" (entries whose address is 0 are left out) and the name table
  # as "[  28] Name", where 28 is the ordinal minus the ordinal base.
  awk -v names="$tmp/actual" -v eat="$tmp/eat" '
    /^Export Address Table -- Ordinal Base/ { base = $NF + 0; table = "eat"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { table = "names"; next }
    /^[ \t]*$/ { table = "" }
    table == "eat" && match($0, /\+base\[ *[0-9]+\] +[0-9a-fA-F]+/) {
      field = substr($0, RSTART, RLENGTH); sub(/^\+base\[ */, "", field)
      split(field, parts, /\] +/)
      print parts[1] + 0, (parts[2] ~ /^0+$/) ? "empty" : "used" > eat
    }
    table == "names" && /^[ \t]*\[ *[0-9]+\] +[A-Za-z_]/ {
      index_field = $0; sub(/^[ \t]*\[ */, "", index_field); sub(/\].*/, "", index_field)
      print $NF, index_field + base | "sort > \"" names "\""
    }' "$tmp/pe"
  touch "$tmp/eat" "$tmp/actual"
  # Exactly the .def's ordinals are used; those it skips stay empty.
  cut -d' ' -f2 "$tmp/def" | sort -n >"$tmp/def-ordinals"
  grep ' used$' "$tmp/eat" | cut -d' ' -f1 | sort -n >"$tmp/used-ordinals"
  cmp -s "$tmp/def-ordinals" "$tmp/used-ordinals" ||
    fail "used ordinals $(tr '\n' ' ' <"$tmp/used-ordinals")differ from the .def's $(tr '\n' ' ' <"$tmp/def-ordinals")"
  # Imports.
  sed -n 's/^[[:space:]]*DLL Name: //p' "$tmp/pe" | tr -d '\r' >"$tmp/imports"
  while read -r dll; do
    case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll | msvcrt.dll) ;;
    hid.dll | cfgmgr32.dll | setupapi.dll) fail "imports $dll, which must be loaded at run time" ;;
    *) fail "imports $dll, which is not a system DLL we allow" ;;
    esac
  done <"$tmp/imports"
  grep -qi '^kernel32.dll$' "$tmp/imports" || fail "does not import KERNEL32.dll"
  ;;
*)
  echo "usage: $0 so <library> <pdxkit.def> <nm> [name...] | dll <library> <pdxkit.def> <objdump> <i386|x86-64>"
  exit 2
  ;;
esac

if ! cmp -s "$tmp/expected" "$tmp/actual"; then
  fail "exports differ from $def (< expected, > actual):"
  diff "$tmp/expected" "$tmp/actual" | grep '^[<>]'
fi
[ $status -eq 0 ] && echo "exports of $(basename "$lib") match $(basename "$def")"
exit $status
