#!/bin/sh
# Lays out what a Windows user downloads:
#   make-dist.sh <dist dir> <32-bit build tree> <x64 build tree>
# <dist>/windows/x86 and windows/x64 each hold pdxkit.dll, its import library
# (libpdxkit.dll.a) and the .def it was linked from (for MSVC's lib /def);
# beside them the header, the jar and packaging/README-windows.md.
set -eu
dist=$1 win=$2 win64=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$dist"
mkdir -p "$dist/windows/x86" "$dist/windows/x64" "$dist/include"
cp "$win/bin/pdxkit.dll" "$win/libpdxkit.dll.a" "$source_dir/pdxkit.def" "$dist/windows/x86/"
# The x64 build links from the undecorated .def it made from pdxkit.def.
cp "$win64/bin/pdxkit.dll" "$win64/libpdxkit.dll.a" "$win64/pdxkit.def" "$dist/windows/x64/"
cp "$source_dir/include/pdxkit.h" "$dist/include/"
cp "$win/java/pdxkit.jar" "$dist/"
cp "$source_dir/packaging/README-windows.md" "$dist/README.md"
echo "Windows distribution in $dist"
