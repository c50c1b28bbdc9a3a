#!/bin/sh
# Checks that a built library exports exactly the names of pdxkit.def and
# nothing else.
#   check_exports.sh so  <libpdxkit.so> <pdxkit.def> <nm>
#   check_exports.sh dll <pdxkit.dll>   <pdxkit.def> <objdump>
# For the DLL the ordinals must match the .def file (6 and 7 left empty), the
# image must be PE32 for i386, and it may import only system DLLs: the HID,
# configuration-manager and setup libraries are loaded at run time, never
# linked.
set -u
export LC_ALL=C
kind=$1 lib=$2 def=$3 tool=$4
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

[ -f "$lib" ] || { echo "FAIL: $lib does not exist"; exit 1; }

# "name ordinal" per export of the .def file, sorted by name.
sed -n 's/^[[:space:]]\{1,\}\([A-Za-z_][A-Za-z0-9_]*\)\(@[0-9]\{1,\}\)\{0,1\}[[:space:]]\{1,\}@\([0-9]\{1,\}\).*/\1 \3/p' "$def" |
  sort >"$tmp/def"
[ "$(wc -l <"$tmp/def")" -eq 31 ] || fail "$def lists $(wc -l <"$tmp/def") exports, expected 31"

case $kind in
so)
  { cut -d' ' -f1 "$tmp/def"; echo PdxKitGetLastError; echo PdxKitSetLastError; } | sort >"$tmp/expected"
  "$tool" -D --defined-only "$lib" >"$tmp/nm" || { echo "FAIL: $tool failed"; exit 1; }
  # Lines are "address type name[@version]"; only names matter.
  awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' "$tmp/nm" | sort -u >"$tmp/actual"
  ;;
dll)
  cp "$tmp/def" "$tmp/expected"
  "$tool" -p "$lib" >"$tmp/pe" || { echo "FAIL: $tool -p failed"; exit 1; }
  "$tool" -f "$lib" >"$tmp/header" || { echo "FAIL: $tool -f failed"; exit 1; }
  grep -q 'file format pei-i386' "$tmp/header" || fail "not a PE32 i386 image: $(grep 'file format' "$tmp/header")"
  grep -q '^architecture: i386' "$tmp/header" || fail "architecture is not i386"
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
  used=$(grep -c ' used$' "$tmp/eat")
  [ "$used" -eq 31 ] || fail "export address table has $used used entries, expected 31"
  for ord in 6 7; do
    if grep -q "^$ord used$" "$tmp/eat"; then fail "ordinal $ord is not empty"; fi
  done
  highest=$(grep ' used$' "$tmp/eat" | cut -d' ' -f1 | sort -n | tail -n 1)
  [ "$highest" = 33 ] || fail "highest ordinal is $highest, expected 33"
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
  echo "usage: $0 so|dll <library> <pdxkit.def> <nm|objdump>"
  exit 2
  ;;
esac

if ! cmp -s "$tmp/expected" "$tmp/actual"; then
  fail "exports differ from $def (< expected, > actual):"
  diff "$tmp/expected" "$tmp/actual" | grep '^[<>]'
fi
[ $status -eq 0 ] && echo "exports of $(basename "$lib") match $(basename "$def")"
exit $status
