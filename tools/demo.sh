#!/bin/sh
# The demonstration `make demo` runs: pdxkit against two simulated chips.
set -e
pdxkit=${1:-build/linux/bin/pdxkit}
world="2 devices, product 0x2A10 and 0x2A11, serials A1B2C3D4 and none"

step() { printf '\n== %s\n$ pdxkit %s\n' "$1" "$2"; }

step "The library" "info"
"$pdxkit" info

step "Two simulated chips: $world" "--simulate \"$world\" list"
"$pdxkit" --simulate "$world" list

step "Pin changes as they happen (the simulated inputs do a random walk)" \
     "--simulate ... --drive random:10 monitor --count 40"
"$pdxkit" --simulate "$world" --drive random:10 monitor --count 40

step "Write the output latches of chip 1 and see the new pin state come back" \
     "--simulate ... write -d 1 -p 0 --read-back 1000 00 A5 5A 0F F0"
"$pdxkit" --simulate "$world" write -d 1 -p 0 --read-back 1000 00 A5 5A 0F F0

step "Ask chip 2 who it is on the special-function pipe (command 0x02)" \
     "--simulate ... write -d 2 -p 1 --read-back 1000 -n 16 00 02"
"$pdxkit" --simulate "$world" write -d 2 -p 1 --read-back 1000 -n 16 00 02

step "Echo on the special-function pipe of chip 1 (command 0x01)" \
     "--simulate ... write -d 1 -p 1 --read-back 1000 -n 8 00 01 DE AD BE EF"
"$pdxkit" --simulate "$world" write -d 1 -p 1 --read-back 1000 -n 8 00 01 DE AD BE EF

printf '\nDone: everything above ran against simulated chips; without --simulate the same\ncommands talk to real ones.\n'
